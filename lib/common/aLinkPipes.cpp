// The two threads of an engine link: the reader assembles received bytes into
// packets, keeps the byte stream in step with the module and answers its
// heartbeats; the writer sends queued packets, one by one or pooled.

#include <algorithm>
#include <chrono>
#include <thread>

#include "lib/common/aDefs.h"
#include "lib/common/aLinkManagerInternal.h"
#include "lib/common/aPacketDebug.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSyncBurst = 6;
constexpr uint32_t kReadFailurePauseMs = 100;
constexpr uint32_t kWriterWaitMs = 1000;
constexpr uint32_t kPoolBuffer = 4096;
constexpr uint32_t kPoolFillLimit = kPoolBuffer - aPACKET_MAX_WIRE;
// How long an idle reader sleeps in one piece while waiting for bytes: short
// enough to notice a stop or a requested sync at once, long enough to cost
// nothing while the link is idle.
constexpr uint32_t kIdleSliceMs = 10;
// How long after a write the reader keeps looking for the reply without waiting.
constexpr int64_t kReplySpinNs = 200000;
// How long after a write the writer keeps looking for the next packet without waiting.
constexpr int64_t kNextRequestSpinNs = 200000;
// A sync burst that got no complete answer within this quiet time is repeated.
constexpr auto kResyncQuiet = std::chrono::milliseconds(100);

// Sleeps up to ms, returning early once the link stops running.
void sPause(aLinkRecord* link, uint32_t ms)
{
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (link->running && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void sLogPacket(uint32_t bit, const char* who, aLinkRef id, const aPacket* p)
{
    aDebug_Printf(bit, " %s(%d) ADDR:%02X, LEN:%02X, [%02X %02X %02X ...]\n", who, static_cast<int>(id),
                  p->address, p->dataSize, p->data[0], p->data[1], p->data[2]);
}

// Answers a module heartbeat [0, v] with [0, v + 2]; heartbeats never reach the
// received queue. Returns whether the packet was taken.
bool sHandleHBBackChannel(aLinkRecord* link, const aPacket* packet)
{
    if (packet->dataSize != 2 || packet->data[0] != cmdHB)
        return false;
    aDebug_Printf(aDEBUG_PACKETS, " sHandleHBBackChannel(%d) ==> received HB packet [data size = %d][%d,%d]\n",
                  static_cast<int>(link->id), packet->dataSize, packet->data[0], packet->data[1]);
    if (link->hbState != 0)
        return false;
    const uint8_t v = packet->data[1];
    if (v == 0) {
        link->hbState = 2;
        aDebug_Printf(aDEBUG_PACKETS, " sHandleHBBackChannel(%d) %s\n", static_cast<int>(link->id), "sending HB UP");
    } else if (v == 1) {
        link->hbState = 3;
        aDebug_Printf(aDEBUG_PACKETS, " sHandleHBBackChannel(%d) %s\n", static_cast<int>(link->id), "sending HB DOWN");
    }
    const uint8_t answer[2] = {cmdHB, static_cast<uint8_t>(v + 2)};
    aPacket* reply = aPacket_CreateWithData(packet->address, 2, answer);
    if (reply == nullptr) {
        // One missed answer; leaving hbState set would send every later
        // heartbeat to the received queue unanswered.
        link->hbState = 0;
        if (link->hbObserver != nullptr)
            link->hbObserver(false);
        return true;
    }
    aPacketFifo_Put(link->outFifo, reply);
    aPacket_Destroy(&reply);
    link->hbState = 0;
    if (link->hbObserver != nullptr)
        link->hbObserver(((v + 2) & 1) != 0);
    return true;
}

// Hands a complete packet to the user filter, the heartbeat handler or the
// received queue, then clears the partial packet for the next one.
aErr sHandlePacket(aLinkRecord* link)
{
    aPacket* packet = link->partial;
    if (!aPacket_IsComplete(packet))
        return aErrNone;
    sLogPacket(aDEBUG_PACKETS, "sHandlePacket", link->id, packet);
    uint8_t wire[aPACKET_MAX_WIRE];
    uint32_t n = 0;
    if (aPacket_GetBytes(packet, wire, sizeof wire, &n) == aErrNone)
        aLink_PacketDebug_Record(link, aPACKETLOG_RECEIVED, wire, n);

    bool consumed = false;
    {
        std::lock_guard<std::mutex> lock(link->userFilterMutex);
        if (link->userFilter != nullptr)
            consumed = link->userFilter(packet, link->userFilterRef) == 1;
    }
    aErr result = aErrNone;
    if (!consumed && !sHandleHBBackChannel(link, packet))
        result = aPacketFifo_Put(link->inFifo, packet);
    aPacket_Reset(packet);
    return result;
}

void sRestartSync(aLinkRecord* link);

// One received byte while synchronising: the link is in step again after
// A 00 A 00, two empty answers from the same even, non-zero address.
void sSyncByte(aLinkRecord* link, uint8_t byte)
{
    aDebug_Printf(aDEBUG_LINK, "sByte %d\n", byte);
    switch (link->syncState) {
    case kSyncStateByte1:
        if (byte != 0 && (byte & 1) == 0) {
            link->syncAddress = byte;
            link->syncState = kSyncStateByte2;
        } else {
            sRestartSync(link);
        }
        break;
    case kSyncStateByte2:
        aDebug_Printf(aDEBUG_LINK, "sync2\n");
        link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
        break;
    case kSyncStateByte3:
        aDebug_Printf(aDEBUG_LINK, "sync3\n");
        link->syncState = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart;
        break;
    case kSyncStateByte4:
        aDebug_Printf(aDEBUG_LINK, "sync4\n");
        if (byte == 0) {
            aDebug_Printf(aDEBUG_LINK, "synced\n");
            link->syncState = kSyncStateSynced;
            link->state = kLinkStateRunning;
        } else {
            link->syncState = kSyncStateStart;
        }
        break;
    default:
        aDebug_Printf(aDEBUG_LINK, "sync default\n");
        sRestartSync(link);
        break;
    }
}

// A mismatch while the answers to a recent burst are still arriving starts
// over on those answers instead of sending another burst: every burst brings
// six answers, so answering each mismatch with a burst would multiply the
// traffic on a confused line. A quiet line gets a new burst from the reader.
void sRestartSync(aLinkRecord* link)
{
    if (Clock::now() - link->lastBurst < kResyncQuiet) {
        link->syncState = kSyncStateByte1;
        return;
    }
    sStartSync(link);
}

void sWritePacket(aLinkRecord* link, const aPacket* packet)
{
    uint8_t wire[aPACKET_MAX_WIRE];
    uint32_t n = 0;
    if (aPacket_GetBytes(packet, wire, sizeof wire, &n) != aErrNone)
        return;
    sLogPacket(aDEBUG_PACKETS, "sOutPipeProcess", link->id, packet);
    // Stamped before the write, so that the reader never sees a reply arrive
    // ahead of the write it answers.
    link->lastWrite = Clock::now().time_since_epoch().count();
    const aErr e = aStream_Write(link->stream, wire, n);
    if (e != aErrNone)
        aDebug_Printf(aDEBUG_LINK, "sOutPipeProcess error writing: %d\n", e);
    aLink_PacketDebug_Record(link, aPACKETLOG_SENT, wire, n);
}

// Writes the packet and as many queued ones as fit into one buffer.
void sWritePooled(aLinkRecord* link, aPacket* first)
{
    uint8_t buffer[kPoolBuffer];
    uint32_t used = 0;
    aPacket* packet = first;
    while (packet != nullptr) {
        uint32_t n = 0;
        if (aPacket_GetBytes(packet, buffer + used, kPoolBuffer - used, &n) == aErrNone) {
            aLink_PacketDebug_Record(link, aPACKETLOG_SENT, buffer + used, n);
            used += n;
        }
        aPacket_Destroy(&packet);
        if (used > kPoolFillLimit)
            break;
        packet = aPacketFifo_Get(link->outFifo);
    }
    if (used == 0)
        return;
    link->lastWrite = Clock::now().time_since_epoch().count();
    const aErr e = aStream_Write(link->stream, buffer, used);
    if (e != aErrNone)
        aDebug_Printf(aDEBUG_LINK, "sOutPipeProcess error writing pooled: %d\n", e);
}

} // namespace

void sStartSync(aLinkRecord* link)
{
    aDebug_Printf(aDEBUG_LINK, "syncStart\n");
    link->state = kLinkStateSyncing;
    link->syncState = kSyncStateStart;
    aPacket_Reset(link->partial);
    const uint8_t none[1] = {0};
    aPacket* sync = aPacket_CreateWithData(cmdSYNC, 0, none);
    if (sync == nullptr)
        return;
    aErr e = aErrNone;
    for (int i = 0; i < kSyncBurst; ++i)
        e = aPacketFifo_Put(link->outFifo, sync);
    aPacket_Destroy(&sync);
    if (e == aErrNone)
        link->syncState = kSyncStateByte1;
    link->lastBurst = Clock::now();
}

void sInPipeProcess(aLinkRecord* link)
{
    link->hbState = 0;
    link->syncAddress = 1;
    link->syncState = kSyncStateSynced;
    link->state = kLinkStateRunning;
    link->inRunning = true;

    auto lastByte = Clock::now();
    int idleReadable = 0;
    while (link->running) {
        uint8_t byte = 0;
        const aErr e = aStream_Read(link->stream, &byte, 1);
        if (e == aErrNotReady) {
            const int32_t state = link->state;
            if (state == kLinkStateSyncing || state == kLinkStateIOError) {
                // A requested sync or an I/O error starts a burst at once; a
                // burst already under way is repeated only after a quiet spell,
                // so slow lines and framed transports get time to answer.
                const auto now = Clock::now();
                const bool inProgress = state == kLinkStateSyncing && link->syncState != kSyncStateSynced;
                if (!inProgress || (now - lastByte >= kResyncQuiet && now - link->lastBurst >= kResyncQuiet)) {
                    aDebug_Printf(aDEBUG_LINK, " sInPipeProcess(%d) -- syncing\n", static_cast<int>(link->id));
                    sStartSync(link);
                }
            }
            // Wait for bytes instead of polling the transport in a tight loop,
            // except right after a write: a reply is then imminent, and being
            // woken from a wait costs about as much again as the module takes
            // to answer, so for a short while read again at once. A busy look
            // (one cheap read each time round) beats polling for readiness in
            // between, which only doubles the system calls. Measured on a
            // request/reply load, keeping up the look after the reply came
            // was faster than ending it there: the next request follows soon.
            // Each turn yields the processor, so that on a busy machine the
            // look never holds off the very threads (the caller, the module's
            // process) that it is waiting for.
            const int64_t sinceWrite = Clock::now().time_since_epoch().count() - link->lastWrite.load();
            if (sinceWrite < kReplySpinNs) {
                std::this_thread::yield();
                continue;
            }
            if (aStream_WaitReadable(link->stream, kIdleSliceMs) == aErrNone) {
                // Readable but still nothing to read (a closed peer, a frame
                // still being gathered): back off a little so that a transport
                // that always reports readable cannot make us spin.
                if (++idleReadable > 2)
                    std::this_thread::sleep_for(std::chrono::microseconds(std::min(idleReadable, 50) * 20));
            } else {
                idleReadable = 0;
            }
            continue;
        }
        idleReadable = 0;
        if (e != aErrNone) {
            aDebug_Printf(aDEBUG_LINK, " sInPipeProcess(%d) IO_ERROR [aStream_Read()==>%d]\n",
                          static_cast<int>(link->id), e);
            link->state = kLinkStateIOError;
            sPause(link, kReadFailurePauseMs);
            continue;
        }
        lastByte = Clock::now();
        if (link->state == kLinkStateSyncing) {
            sSyncByte(link, byte);
            continue;
        }
        const aErr added = aPacket_AddByte(link->partial, byte);
        if (added != aErrNone || (link->partial->address & 1) != 0) {
            aDebug_Printf(aDEBUG_LINK, "Out of sync\n");
            sStartSync(link);
            continue;
        }
        if (sHandlePacket(link) != aErrNone)
            link->state = kLinkStatePacketError;
    }
    aDebug_Printf(aDEBUG_LINK, " sInPipeProcess(%d) terminating\n", static_cast<int>(link->id));
}

void sOutPipeProcess(aLinkRecord* link)
{
    link->outRunning = true;
    while (link->running) {
        aPacket* packet = nullptr;
        // Right after a write the module's answer, and with it the caller's
        // next request, are imminent: look for that request without going to
        // sleep, so that it goes out without waiting for this thread to be
        // woken. Each turn yields the processor to the threads it waits for.
        while (link->running && Clock::now().time_since_epoch().count() - link->lastWrite.load() < kNextRequestSpinNs) {
            packet = aPacketFifo_Get(link->outFifo);
            if (packet != nullptr)
                break;
            std::this_thread::yield();
        }
        if (packet == nullptr)
            packet = aPacketFifo_Await(link->outFifo, kWriterWaitMs);
        if (packet == nullptr)
            continue;
        if (link->pooled) {
            sWritePooled(link, packet);
        } else {
            sWritePacket(link, packet);
            aPacket_Destroy(&packet);
        }
    }
    // Everything queued before the stop still goes out, the route release last.
    while (aPacket* packet = aPacketFifo_Get(link->outFifo)) {
        sWritePacket(link, packet);
        aPacket_Destroy(&packet);
    }
    aDebug_Printf(aDEBUG_LINK, " sOutPipeProcess(%d) terminating\n", static_cast<int>(link->id));
}
