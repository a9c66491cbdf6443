// Engine link life cycle: creation per transport, sharing, start, stop,
// synchronisation on request, reset and destruction, and the packet calls.

#include "lib/common/aLink.h"

#include <chrono>
#include <thread>

#include "lib/common/aDefs.h"
#include "lib/common/aLinkManagerInternal.h"
#include "lib/common/aPacketDebug.h"
#include "lib/common/aServer.h"
#include "lib/common/aStreamClient.h"
#include "lib/common/linkSpec.h"
#include "lib/unix/unix_streamusb.h"

namespace {

constexpr int kPollChecks = 200;
constexpr auto kPollInterval = std::chrono::milliseconds(10);
constexpr auto kSyncDrainPause = std::chrono::milliseconds(100);
constexpr int kResetAttempts = 20;
constexpr auto kResetRetryPause = std::chrono::milliseconds(100);

enum { kTypeLegacy = 0, kTypeUSB = 1, kTypeTCPIP = 2, kTypeSerial = 3 };

// Queues [0xAF, on] straight into the link's send queue; a link being
// destroyed is already out of the table but must still release the route.
aErr sQueueForceRoute(aLinkRecord* link, bool on)
{
    const uint8_t data[1] = {static_cast<uint8_t>(on ? 1 : 0)};
    aPacket* packet = aPacket_CreateWithData(cmdFORCEROUTE, 1, data);
    if (packet == nullptr)
        return aErrMemory;
    const aErr err = aPacketFifo_Put(link->outFifo, packet);
    aPacket_Destroy(&packet);
    return err;
}

uint8_t sDrainAll(const aPacket*, void*) { return 1; }
uint8_t sAnyPacket(const aPacket*, void*) { return 1; }

// Fills the record with its queues, partial packet and defaults. Shared by
// aLink_Init and the reset.
bool sInitRecord(aLinkRecord* link, aLinkRef id, aStream* stream)
{
    link->check = aLINK_CHECK;
    link->id = id;
    link->running = false;
    link->state = stream != nullptr ? kLinkStateStopped : kLinkStateNoStream;
    link->stream = stream;
    link->inFifo = aPacketFifo_Create();
    link->outFifo = aPacketFifo_Create();
    link->inRunning = false;
    link->outRunning = false;
    link->hbState = 0;
    link->hbObserver = nullptr;
    link->syncState = kSyncStateSynced;
    link->partial = aPacket_Create();
    aLink_PacketDebug_Drop(link);
    {
        std::lock_guard<std::mutex> lock(link->userFilterMutex);
        link->userFilter = nullptr;
        link->userFilterRef = nullptr;
    }
    link->pooled = false;
    return link->inFifo != 0 && link->outFifo != 0 && link->partial != nullptr;
}

void sDestroyFifos(aLinkRecord* link, aErr* outResult)
{
    if (link->inFifo != 0)
        aPacketFifo_Destroy(&link->inFifo);
    aErr e = aErrNone;
    if (link->outFifo != 0)
        e = aPacketFifo_Destroy(&link->outFifo);
    if (outResult != nullptr)
        *outResult = e;
}

bool sPollFor(auto condition)
{
    for (int i = 0; i < kPollChecks; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(kPollInterval);
    }
    return condition();
}

// A link record that exists and was initialised.
aLinkRecord* sValidLink(aLinkRef handle)
{
    aLinkRecord* link = sGetLink(handle);
    return link != nullptr && link->check == aLINK_CHECK ? link : nullptr;
}

aErr sMakeStream(const aLinkEntry* entry, aStream** stream)
{
    switch (entry->type) {
    case kTypeTCPIP:
        return aStream_CreateSocket(entry->identifier1, static_cast<uint16_t>(entry->identifier2), stream);
    case kTypeUSB:
        return aStream_CreateUSB(entry->identifier0, stream);
    case AETHER:
    case AETHER_USB:
    case AETHER_TCPIP:
    case AETHER_SERIAL:
        return aStream_CreateClient(entry->identifier0, static_cast<uint16_t>(entry->identifier1), stream);
    default:
        // Serial and legacy links cannot be recreated here.
        return aErrParam;
    }
}

// Shared by the USB and TCP/IP creators: an existing link for the same
// module is handed out again unless a server owns it.
bool sShareExisting(uint32_t serialNumber, int32_t type, aLinkRef* out)
{
    aLinkEntry* entry = sLookupEntryByIdentifier(serialNumber, type);
    if (entry == nullptr)
        return false;
    if (entry->server != nullptr) {
        aDebug_Printf(aDEBUG_LINK,
                      "This device is already being used as a \"SERVER\". \nYou must connect by \"CLIENT\" ");
        *out = 0;
        return true;
    }
    sChangeUseCount(entry, +1);
    *out = entry->id;
    return true;
}

// Brings a freshly made entry up with its stream; on any failure the link
// is destroyed and 0 returned.
aLinkRef sFinishCreate(aLinkRef handle, aStream* stream, aErr streamErr, bool sync)
{
    aErr err = streamErr;
    if (aLink_Init(handle, stream) != handle) {
        if (stream != nullptr)
            aStream_Destroy(&stream);  // never handed to a record
        if (err == aErrNone)
            err = aErrConnection;
    }
    if (err == aErrNone && stream == nullptr)
        err = aErrConnection;
    if (err == aErrNone) {
        sChangeUseCount(sLookupEntryByID(handle), +1);
        err = aLink_Start(handle);
        if (err == aErrNone && sync)
            err = aLink_Sync(handle);
    }
    if (err != aErrNone) {
        aLink_Destroy(&handle);
        return 0;
    }
    return handle;
}

} // namespace

extern "C" {

aLinkRef aLink_CreateUSB(uint32_t serialNumber)
{
    aLinkRef shared = 0;
    if (sShareExisting(serialNumber, kTypeUSB, &shared))
        return shared;
    const aLinkRef handle = sCreate(serialNumber, 0, kTypeUSB);
    if (handle == 0)
        return 0;
    aStream* stream = nullptr;
    const aErr e = aStream_CreateUSB(serialNumber, &stream);
    return sFinishCreate(handle, e == aErrNone ? stream : nullptr, e, true);
}

aLinkRef aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port)
{
    aLinkRef shared = 0;
    if (sShareExisting(serialNumber, kTypeTCPIP, &shared))
        return shared;
    const aLinkRef handle = sCreate2(serialNumber, address, port, kTypeTCPIP);
    if (handle == 0)
        return 0;
    aStream* stream = nullptr;
    const aErr e = aStream_CreateSocket(address, port, &stream);
    return sFinishCreate(handle, e == aErrNone ? stream : nullptr, e, false);
}

aLinkRef aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate)
{
    aLinkEntry* existing = sLookupEntryByIdentifier(serialNumber, kTypeSerial);
    if (existing != nullptr) {
        sChangeUseCount(existing, +1);
        return existing->id;
    }
    static constexpr uint32_t kBauds[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    int speed = -1;
    for (int i = 0; i < 8; ++i)
        if (kBauds[i] == baudRate)
            speed = i;
    if (speed < 0 || portName == nullptr)
        return 0;  // checked before an entry exists, so nothing is left behind
    const aLinkRef handle = sCreate(serialNumber, 0, kTypeSerial);
    if (handle == 0)
        return 0;
    aStream* stream = nullptr;
    const aErr e = aStream_CreateSerial_Packetized(portName, static_cast<uint32_t>(speed), false, 0, 0, &stream);
    return sFinishCreate(handle, e == aErrNone ? stream : nullptr, e, false);
}

aLinkRef aLink_Create(aStream* stream)
{
    const aLinkRef handle = sCreate(0xFFFFFFFFu, 0, kTypeLegacy);
    if (handle == 0)
        return 0;
    return sFinishCreate(handle, stream, aErrNone, false);
}

aLinkRef aLink_Init(aLinkRef handle, aStream* stream)
{
    aLinkEntry* entry = sLookupEntryByID(handle);
    if (entry == nullptr || entry->link == nullptr)
        return 0;
    if (!sInitRecord(entry->link, handle, stream))
        return 0;
    return handle;
}

aErr aLink_Start(aLinkRef handle)
{
    aLinkRecord* link = sValidLink(handle);
    if (link == nullptr)
        return aErrParam;
    if (link->running)
        return aErrNone;
    aDebug_Printf(aDEBUG_LINK, " aLink_Start(%d)\n", static_cast<int>(handle));
    link->running = true;
    link->state = kLinkStateStarting;
    link->hbState = 0;
    link->inRunning = false;
    link->outRunning = false;
    aErr err = aErrNone;
    try {
        link->reader = std::thread(sInPipeProcess, link);
        link->writer = std::thread(sOutPipeProcess, link);
    } catch (...) {
        err = aErrResource;
    }
    if (err == aErrNone &&
        !sPollFor([&] { return link->inRunning && link->outRunning && link->state == kLinkStateRunning; }))
        err = aErrIndexRange;
    if (err == aErrResource) {
        link->running = false;
        if (link->reader.joinable())
            link->reader.join();
        link->state = kLinkStateStopped;
    }
    if (err == aErrNone)
        err = aLink_ForceRoute(handle, true);
    aDebug_Printf(aDEBUG_LINK, " leaving aLink_Start(%d)==> error: %d\n", static_cast<int>(handle), err);
    return err;
}

aErr aLink_Stop(aLinkRecord* link)
{
    if (link == nullptr)
        return aErrParam;
    const int32_t state = link->state;
    if (state == kLinkStateStopping || state == kLinkStateStopped)
        return aErrNone;
    aDebug_Printf(aDEBUG_LINK, " aLink_Stop(%d)\n", static_cast<int>(link->id));
    link->state = kLinkStateStopping;
    aErr err = aErrNone;
    if (link->reader.joinable() && link->writer.joinable()) {
        // Clearing running before queuing the route release lets the writer,
        // woken by that very packet, send it and finish without waiting out
        // its idle time-out; it sends everything still queued before ending.
        link->running = false;
        err = sQueueForceRoute(link, false);
        try {
            link->reader.join();
            link->writer.join();
        } catch (...) {
            err = aErrUnknown;
        }
        link->inRunning = false;
        link->outRunning = false;
        aPacket_Reset(link->partial);
        link->state = kLinkStateStopped;
        link->hbState = 0;
    }
    aDebug_Printf(aDEBUG_LINK, " leaving aLink_Stop(%d)==>%d\n", static_cast<int>(link->id), err);
    return err;
}

aErr aLink_Sync(aLinkRef handle)
{
    aLinkRecord* link = sValidLink(handle);
    if (link == nullptr)
        return aErrParam;
    aDebug_Printf(aDEBUG_LINK, " aLink_Sync(%d)\n", static_cast<int>(handle));
    link->syncState = kSyncStateSynced;
    link->state = kLinkStateSyncing;
    const aErr err = sPollFor([&] { return link->state == kLinkStateRunning; }) ? aErrNone : aErrNotReady;
    // The surplus answers to the burst are not replies to anyone.
    aPacketFifo_DrainPackets(link->outFifo, sDrainAll, nullptr);
    std::this_thread::sleep_for(kSyncDrainPause);
    aPacketFifo_DrainPackets(link->inFifo, sDrainAll, nullptr);
    return err;
}

aErr aLink_ForceRoute(aLinkRef handle, bool on)
{
    aLinkEntry* entry = sLookupEntryByID(handle);
    if (entry == nullptr)
        return aErrNotFound;
    if (entry->link == nullptr)
        return aErrParam;
    aDebug_Printf(aDEBUG_LINK, " aLink_ForceRoute(%d)\n", static_cast<int>(handle));
    return sQueueForceRoute(entry->link, on);
}

aErr aLink_Reset(aLinkRef handle)
{
    aLinkEntry* entry = sLookupEntryByID(handle);
    if (entry == nullptr || entry->link == nullptr || entry->link->check != aLINK_CHECK)
        return aErrParam;
    aLinkRecord* link = entry->link;
    aLink_Stop(link);
    sDestroyFifos(link, nullptr);
    if (link->stream != nullptr)
        aStream_Destroy(&link->stream);

    aStream* stream = nullptr;
    aErr err = aErrParam;
    for (int attempt = 0; attempt < kResetAttempts; ++attempt) {
        err = sMakeStream(entry, &stream);
        if (err == aErrNone)
            break;
        stream = nullptr;
        std::this_thread::sleep_for(kResetRetryPause);
    }
    if (err != aErrNone) {
        // Without a transport there is nothing to run: say so and stay put
        // instead of starting threads over a missing stream and queues.
        aDebug_Printf(aDEBUG_LINK, " ERROR - could not recreate stream: %d\n", err);
        link->state = kLinkStateNoStream;
        return err;
    }
    aPacket_Destroy(&link->partial);
    if (!sInitRecord(link, handle, stream))
        return aErrMemory;
    return aLink_Start(handle);
}

aErr aLink_Destroy(aLinkRef* handle)
{
    if (handle == nullptr)
        return aErrParam;
    aDebug_Printf(aDEBUG_LINK, "aLink_Destroy(%d)\n", static_cast<int>(*handle));
    aLinkEntry* entry = sLookupEntryByID(*handle);
    if (entry == nullptr) {
        *handle = 0;
        return aErrParam;
    }
    const int remaining = sChangeUseCount(entry, -1);
    aDebug_Printf(aDEBUG_LINK, "aLink_Destroy use_count: %d\n", remaining);
    if (remaining > 0) {
        *handle = 0;
        return aErrNone;
    }
    const aLinkRef id = entry->id;
    aLinkRecord* link = entry->link;
    if (link == nullptr) {
        sFreeEntry(sExtractEntry(id));
        *handle = 0;
        return aErrUnknown;
    }
    aLink_InstallUserPacketFilter(id, nullptr, nullptr);
    entry = sExtractEntry(id);
    aLink_Stop(link);
    // The server's workers use this link's queues, so it goes before them.
    if (entry->server != nullptr) {
        auto* server = static_cast<aServer*>(entry->server);
        entry->server = nullptr;
        aServer_Destroy(&server);
    }
    if (entry->companion != 0) {
        aLinkRef companion = entry->companion;
        aLink_Destroy(&companion);
    }
    aErr err = aErrNone;
    sDestroyFifos(link, &err);
    aPacket_Destroy(&link->partial);
    aLink_PacketDebug_Drop(link);
    if (link->stream != nullptr)
        aStream_Destroy(&link->stream);
    link->check = 0;
    sFreeEntry(entry);
    *handle = 0;
    return err;
}

int32_t aLink_GetStatus(aLinkRef handle)
{
    aLinkRecord* link = sValidLink(handle);
    return link == nullptr ? kLinkStateNoStream : link->state.load();
}

aErr aLink_PutPacket(aLinkRef handle, const aPacket* packet)
{
    aLinkRecord* link = sValidLink(handle);
    if (link == nullptr)
        return aErrParam;
    return aPacketFifo_Put(link->outFifo, packet);
}

aPacket* aLink_GetPacket(aLinkRef handle)
{
    aLinkRecord* link = sValidLink(handle);
    return link == nullptr ? nullptr : aPacketFifo_Get(link->inFifo);
}

aPacket* aLink_AwaitPacket(aLinkRef handle, uint32_t msTimeout)
{
    aLinkRecord* link = sValidLink(handle);
    return link == nullptr ? nullptr : aPacketFifo_Await(link->inFifo, msTimeout);
}

aPacket* aLink_GetFirst(aLinkRef handle, aPacketFilter predicate, void* ref)
{
    aLinkRecord* link = sValidLink(handle);
    return link == nullptr ? nullptr : aPacketFifo_GetFirst(link->inFifo, predicate, ref);
}

aPacket* aLink_AwaitFirst(aLinkRef handle, aPacketFilter predicate, void* ref, uint32_t msTimeout)
{
    aLinkRecord* link = sValidLink(handle);
    if (link == nullptr)
        return nullptr;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(msTimeout);
    aPacket* found = nullptr;
    while (found == nullptr && link->running && link->state == kLinkStateRunning) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        found = aPacketFifo_AwaitFirst(link->inFifo, predicate, ref, static_cast<uint32_t>(left));
    }
    return found;
}

uint32_t aLink_DrainPackets(aLinkRef handle, aPacketFilter predicate, void* ref)
{
    aLinkRecord* link = sValidLink(handle);
    return link == nullptr ? 0 : aPacketFifo_DrainPackets(link->inFifo, predicate, ref);
}

aErr aLink_InstallUserPacketFilter(aLinkRef handle, aPacketFilter filter, void* ref)
{
    aLinkRecord* link = sValidLink(handle);
    if (link == nullptr)
        return aErrParam;
    std::lock_guard<std::mutex> lock(link->userFilterMutex);
    link->userFilter = filter;
    link->userFilterRef = ref;
    return aErrNone;
}

aErr aLink_EnablePooledPackets(aLinkRef handle, bool on)
{
    aLinkRecord* link = sValidLink(handle);
    if (link == nullptr)
        return aErrParam;
    link->pooled = on;
    return aErrNone;
}

aErr _aLink_GetModuleAddress(aLinkRef handle, uint8_t* address)
{
    if (address == nullptr)
        return aErrParam;
    const uint8_t none[1] = {0};
    aPacket* query = aPacket_CreateWithData(cmdSYNC, 0, none);
    if (query == nullptr)
        return aErrMemory;
    aErr err = aLink_PutPacket(handle, query);
    aPacket_Destroy(&query);
    if (err != aErrNone)
        return err;
    aPacket* reply = aLink_AwaitFirst(handle, sAnyPacket, nullptr, 1000);
    if (reply == nullptr)
        return aErrTimeout;
    err = aErrIO;
    if (reply->dataSize == 0 && reply->address != 0) {
        *address = reply->address;
        err = aErrNone;
    }
    aPacket_Destroy(&reply);
    return err;
}

aErr _aLink_GetModel(aLinkRef handle, uint8_t address, uint8_t* model)
{
    if (model == nullptr)
        return aErrParam;
    const uint8_t get[3] = {cmdSYS, 0x48, 0x20};
    aPacket* query = aPacket_CreateWithData(address, 3, get);
    if (query == nullptr)
        return aErrMemory;
    aErr err = aLink_PutPacket(handle, query);
    aPacket_Destroy(&query);
    if (err != aErrNone)
        return err;
    aPacket* reply = aLink_AwaitFirst(handle, sAnyPacket, nullptr, 1000);
    if (reply == nullptr)
        return aErrTimeout;
    err = aErrIO;
    if (reply->dataSize == 4 && reply->address == address && reply->data[0] == cmdSYS) {
        *model = reply->data[3];
        err = aErrNone;
    }
    aPacket_Destroy(&reply);
    return err;
}

} // extern "C"
