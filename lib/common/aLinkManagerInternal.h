#pragma once
// The process-wide table of engine links and the per-link record the engine
// keeps. Internal to the link engine: callers outside see only handles.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

#include "lib/common/aLink.h"
#include "lib/common/aPacket.h"
#include "lib/common/packetfifo.h"

struct aPacketLog;

#define aLINK_CHECK 0xCEED

typedef enum {
    kSyncStateSynced = 0,
    kSyncStateStart = 1,
    kSyncStateByte1 = 2,
    kSyncStateByte2 = 3,
    kSyncStateByte3 = 4,
    kSyncStateByte4 = 5,
} aSyncState;

typedef void (*aLinkHBObserver)(bool answered);

// One engine link. The fields polled across threads are atomics; the rest is
// owned by whoever the comments name.
struct aLinkRecord {
    uint16_t check = 0;
    aLinkRef id = 0;
    std::atomic<bool> running{false};
    std::atomic<int32_t> state{kLinkStateNoStream};
    aPacketFifoId inFifo = 0;
    aPacket* partial = nullptr;  // reader thread only while running
    aPacketFifoId outFifo = 0;
    std::thread reader;
    std::thread writer;
    std::atomic<bool> inRunning{false};
    std::atomic<bool> outRunning{false};
    aStream* stream = nullptr;
    std::atomic<int32_t> hbState{0};
    aLinkHBObserver hbObserver = nullptr;
    std::atomic<int32_t> syncState{kSyncStateSynced};
    uint8_t syncAddress = 0;  // reader thread only
    std::chrono::steady_clock::time_point lastBurst{};  // reader thread only
    // The mutexes live as long as the record, so the reader and writer can
    // take them without racing the enable that creates the log.
    aPacketLog* packetLog = nullptr;     // guarded by packetLogMutex
    int32_t packetLogSize = 0;           // guarded by packetLogMutex
    std::mutex packetLogMutex;
    aPacketFilter userFilter = nullptr;  // guarded by userFilterMutex
    void* userFilterRef = nullptr;
    std::mutex userFilterMutex;
    std::atomic<bool> pooled{false};
    // Steady-clock time of the writer's last write, in clock ticks.
    std::atomic<int64_t> lastWrite{0};
};

struct aLinkEntry {
    aLinkRef id = 0;
    aLinkRef companion = 0;
    void* server = nullptr;
    uint32_t identifier0 = 0;
    uint32_t identifier1 = 0;
    uint32_t identifier2 = 0;
    int32_t type = 0;
    int16_t useCount = 0;
    aLinkRecord* link = nullptr;
    aLinkEntry* next = nullptr;
};

aLinkRef sCreate2(uint32_t identifier0, uint32_t identifier1, uint32_t identifier2, int32_t type);
aLinkRef sCreate(uint32_t identifier0, uint32_t identifier1, int32_t type);
aLinkEntry* sLookupEntryByID(aLinkRef id);
aLinkEntry* sLookupEntryByIdentifier(uint32_t identifier0, int32_t type);
aLinkEntry* sLookupEntryByTrident(uint32_t identifier0, uint32_t identifier1, uint32_t identifier2);
aLinkEntry* sExtractEntry(aLinkRef id);
// Returns the new use count (0 for a null entry).
int sChangeUseCount(aLinkEntry* entry, int delta);
aLinkRecord* sGetLink(aLinkRef id);
// Frees an extracted entry and its (already torn down) link record.
void sFreeEntry(aLinkEntry* entry);

// Stops the pipe threads of a link; internal to the engine.
extern "C" aErr aLink_Stop(aLinkRecord* link);

// The pipe threads and the synchronisation start (aLinkPipes.cpp).
void sInPipeProcess(aLinkRecord* link);
void sOutPipeProcess(aLinkRecord* link);
void sStartSync(aLinkRecord* link);

// Records one entry in the link's packet log when it has one.
void aLink_PacketDebug_Record(aLinkRecord* link, uint8_t kind, const uint8_t* bytes, uint32_t length);
// Drops the link's packet log (reset and destroy).
void aLink_PacketDebug_Drop(aLinkRecord* link);
