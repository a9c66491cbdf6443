// Link: stream subscriptions. The stream filter takes every stream packet out of
// the engine link's receive path on the reader thread, caches the last value of
// each subscribed key for getUEI and queues callbacks for the worker thread.

#include <chrono>

#include "lib/object/Link.h"
#include "lib/object/LinkImpl.h"

namespace Corvane {
namespace Velmarine {

namespace {

constexpr uint8_t kCmdStream = 0x5D;
constexpr uint8_t kStreamOptionEnable = 1;
constexpr uint8_t kStreamOptionDisable = 2;
constexpr uint8_t kW = Link::kStreamWildcard;

// Data size of a single-packet sample, by sample type (0: not a sample).
constexpr uint8_t kSampleSize[8] = {0, 14, 15, 17, 0, 15, 16, 18};

uint8_t sValueWidth(uint8_t type)
{
    switch (type) {
    case Link::STREAM_PACKET_BYTE:
    case Link::STREAM_PACKET_BYTE_SUBINDEX:
        return 1;
    case Link::STREAM_PACKET_SHORT:
    case Link::STREAM_PACKET_SHORT_SUBINDEX:
        return 2;
    default:
        return 4;
    }
}

bool sElementMatches(uint8_t wanted, uint8_t have)
{
    return wanted == kW || wanted == have;
}

// The key with the elements selected by mask (bit 0 index, bit 1 option,
// bit 2 command, bit 3 subindex) replaced by the wildcard.
uint64_t sWildcardForm(uint64_t key, unsigned mask)
{
    const uint8_t m = Link::getStreamKeyElement(key, Link::STREAM_KEY_MODULE);
    uint8_t c = Link::getStreamKeyElement(key, Link::STREAM_KEY_CMD);
    uint8_t o = Link::getStreamKeyElement(key, Link::STREAM_KEY_OPTION);
    uint8_t i = Link::getStreamKeyElement(key, Link::STREAM_KEY_INDEX);
    uint8_t s = Link::getStreamKeyElement(key, Link::STREAM_KEY_SUBINDEX);
    if (mask & 1) i = kW;
    if (mask & 2) o = kW;
    if (mask & 4) c = kW;
    if (mask & 8) s = kW;
    return Link::createStreamKey(m, c, o, i, s);
}

// Runs on the engine's reader thread for every received packet.
uint8_t sStreamFilter(const aPacket* packet, void* ref)
{
    if (!Link::isStreamPacket(packet)) return 0;
    auto* d = static_cast<Link::impl*>(ref);
    const uint8_t subindex = Link::isSubindexType(packet) ? packet->data[4] : 0;
    const uint64_t key = Link::createStreamKey(packet->address, packet->data[0], packet->data[1] & ueiOPTION_MASK,
                                               packet->data[2] & ueiSPECIFIER_INDEX_MASK, subindex);
    LinkStreamState& s = d->streams;
    std::lock_guard<std::mutex> lock(s.mutex);

    uint32_t value = 0;
    auto exact = s.entries.find(key);
    if (exact != s.entries.end()) {
        s.queueAsyncCallback(exact->second, packet);
        if (Link::getStreamSample(packet, nullptr, &value, nullptr) == aErrNone) {
            exact->second.value = value;
            exact->second.fresh = true;
        }
    }
    bool wildMatched = false;
    for (unsigned mask = 1; mask <= 15; ++mask) {
        auto it = s.entries.find(sWildcardForm(key, mask));
        if (it == s.entries.end()) continue;
        wildMatched = true;
        s.queueAsyncCallback(it->second, packet);
    }
    if (exact == s.entries.end() && wildMatched &&
        Link::getStreamSample(packet, nullptr, &value, nullptr) == aErrNone) {
        StreamEntry e;
        e.key = key;
        e.fresh = true;
        e.value = value;
        s.entries.emplace(key, std::move(e));
    }
    return 1;
}

uint8_t sStreamPacketOf(const aPacket* packet, void* ref)
{
    if (!Link::isStreamPacket(packet)) return 0;
    const uint64_t want = *static_cast<const uint64_t*>(ref);
    return packet->address == Link::getStreamKeyElement(want, Link::STREAM_KEY_MODULE) &&
                   sElementMatches(Link::getStreamKeyElement(want, Link::STREAM_KEY_CMD), packet->data[0]) &&
                   sElementMatches(Link::getStreamKeyElement(want, Link::STREAM_KEY_OPTION),
                                   packet->data[1] & ueiOPTION_MASK) &&
                   sElementMatches(Link::getStreamKeyElement(want, Link::STREAM_KEY_INDEX),
                                   packet->data[2] & ueiSPECIFIER_INDEX_MASK)
               ? 1
               : 0;
}

} // namespace

// ---- callback queue and worker ----

LinkStreamState::~LinkStreamState()
{
    stopWorker();
}

void LinkStreamState::queueAsyncCallback(const StreamEntry& entry, const aPacket* packet)
{
    if (!entry.callback) return;
    asyncPacket item;
    item.callback = entry.callback;
    item.reference = entry.reference;
    item.packet = aPacket_Copy(packet);
    if (!item.packet) return;
    if (!queue.push(item)) aPacket_Destroy(&item.packet);
}

void LinkStreamState::asyncWork(LocklessQueue_SPSC<asyncPacket, kStreamQueueSlots>* queue,
                                std::shared_ptr<std::atomic<bool>> stop)
{
    asyncPacket item;
    while (!stop->load(std::memory_order_acquire)) {
        // The signal is checked before every item: a worker told to stop from
        // inside a callback must not take another item from the queue.
        while (!stop->load(std::memory_order_acquire) && queue->pop(item)) {
            item.callback(item.packet, item.reference);
            aPacket_Destroy(&item.packet);
            item = asyncPacket{};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void LinkStreamState::startWorker()
{
    if (worker.joinable()) return;
    stop = std::make_shared<std::atomic<bool>>(false);
    worker = std::thread(asyncWork, &queue, stop);
}

void LinkStreamState::stopWorker()
{
    if (!worker.joinable()) return;
    stop->store(true, std::memory_order_release);
    if (worker.get_id() == std::this_thread::get_id())
        worker.detach();
    else
        worker.join();
    stop.reset();
    dropQueued();
}

void LinkStreamState::dropQueued()
{
    asyncPacket item;
    while (queue.pop(item)) aPacket_Destroy(&item.packet);
}

// ---- filter installation ----

aErr Link::impl::installStreamFilter(bool install)
{
    if (linkId == 0) return aErrConnection;
    if (install) {
        aErr err = aLink_InstallUserPacketFilter(linkId, sStreamFilter, this);
        if (err == aErrNone) streams.startWorker();
        return err;
    }
    aErr err = aLink_InstallUserPacketFilter(linkId, nullptr, nullptr);
    if (err == aErrNone) {
        {
            std::lock_guard<std::mutex> lock(streams.mutex);
            streams.entries.clear();
        }
        streams.stopWorker();
    }
    return err;
}

// ---- keys and packets ----

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex)
{
    return (uint64_t{subindex} << 32) | (uint64_t{module} << 24) | (uint64_t{command} << 16) |
           (uint64_t{option} << 8) | uint64_t{index};
}

uint8_t Link::getStreamKeyElement(uint64_t key, STREAM_KEY element)
{
    switch (element) {
    case STREAM_KEY_MODULE:
        return static_cast<uint8_t>(key >> 24);
    case STREAM_KEY_CMD:
        return static_cast<uint8_t>(key >> 16);
    case STREAM_KEY_OPTION:
        return static_cast<uint8_t>(key >> 8);
    case STREAM_KEY_INDEX:
        return static_cast<uint8_t>(key);
    case STREAM_KEY_SUBINDEX:
        return static_cast<uint8_t>(key >> 32);
    }
    return 0;
}

bool Link::isStreamPacket(const aPacket* packet)
{
    return aVALIDPACKET(packet) && aUEI_isStreamPacket(packet);
}

Link::STREAM_PACKET Link::getStreamPacketType(const aPacket* packet)
{
    if (!isStreamPacket(packet)) return STREAM_PACKET_NONE;
    if (packet->data[packet->dataSize - 1] != 0) return STREAM_PACKET_MULTI;
    const uint8_t type = packet->data[3];
    if (type == 0 || type > STREAM_PACKET_INT_SUBINDEX) return STREAM_PACKET_NONE;
    return static_cast<STREAM_PACKET>(type);
}

bool Link::isStreamSample(const aPacket* packet)
{
    const STREAM_PACKET type = getStreamPacketType(packet);
    return type != STREAM_PACKET_NONE && type != STREAM_PACKET_MULTI && packet->dataSize == kSampleSize[type];
}

bool Link::isSubindexType(const aPacket* packet)
{
    const STREAM_PACKET type = getStreamPacketType(packet);
    return type >= STREAM_PACKET_BYTE_SUBINDEX && type <= STREAM_PACKET_INT_SUBINDEX;
}

aErr Link::getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex)
{
    if (!isStreamPacket(packet)) return aErrPacket;
    const STREAM_PACKET type = getStreamPacketType(packet);
    if (type == STREAM_PACKET_MULTI) return aErrSize;
    if (type == STREAM_PACKET_NONE) return aErrUnknown;
    if (!isStreamSample(packet)) return aErrPacket;
    const uint8_t* p = packet->data + 4;
    const bool sub = type >= STREAM_PACKET_BYTE_SUBINDEX;
    if (subindex) *subindex = sub ? *p : 0;
    if (sub) ++p;
    uint64_t ts = 0;
    for (int i = 0; i < 8; ++i) ts = (ts << 8) | *p++;
    uint32_t v = 0;
    for (uint8_t i = 0; i < sValueWidth(type); ++i) v = (v << 8) | *p++;
    if (timestamp) *timestamp = ts;
    if (value) *value = v;
    return aErrNone;
}

void Link::getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low)
{
    if (high) *high = static_cast<uint32_t>(timestamp >> 32);
    if (low) *low = static_cast<uint32_t>(timestamp);
}

// ---- subscriptions ----

aErr Link::registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                  streamCallback callback, void* reference)
{
    if ((module & 1) || module == kW) return aErrParam;
    const uint64_t key = createStreamKey(module, command, option, index, kW);
    LinkStreamState& s = m_impl->streams;
    auto removeMatching = [&] {
        std::lock_guard<std::mutex> lock(s.mutex);
        for (uint64_t k : filterActiveStreamKeys(module, command, option, index, kW, false)) s.entries.erase(k);
        return s.entries.empty();
    };

    bool empty;
    if (enable) {
        std::lock_guard<std::mutex> lock(s.mutex);
        StreamEntry& e = s.entries[key];
        e.key = key;
        e.callback = std::move(callback);
        e.reference = reference;
        empty = false;
    } else {
        empty = removeMatching();
    }

    // The map lock is never held here: the filter takes it under the engine's
    // filter lock, which installing takes too.
    aErr err = m_impl->installStreamFilter(!empty);
    if (err == aErrNone) {
        uei request{};
        request.module = module;
        request.command = kCmdStream;
        request.option = static_cast<uint8_t>((enable ? kStreamOptionEnable : kStreamOptionDisable) | ueiOPTION_SET);
        request.specifier = ueiSPECIFIER_REQUEST;
        request.type = ueiTypeInt;
        request.value.intVal = static_cast<uint32_t>(key);
        err = sendUEI(request);
        if (err == aErrNone) {
            request.option |= ueiOPTION_GET;
            request.specifier = 0;
            err = receiveUEI(module, kCmdStream, request.option, 0, &request);
            if (err == aErrNone && (request.specifier & ueiSPECIFIER_ERROR))
                err = static_cast<aErr>(request.value.byteVal);
        }
    }
    if (err == aErrNone && !enable && empty) {
        // Without the filter, samples the module sent before it took the request
        // would sit in the receive queue and pass for replies to later reads.
        uint64_t stale = createStreamKey(module, command, option, index, kW);
        aLink_DrainPackets(m_impl->linkId, sStreamPacketOf, &stale);
    }
    if (err != aErrNone && removeMatching() && m_impl->linkId != 0 && s.hasWorker())
        m_impl->installStreamFilter(false);  // nothing left to filter for
    return err;
}

aErr Link::enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable)
{
    return registerStreamCallback(module, command, option, index, enable, nullptr, nullptr);
}

aErr Link::isLinkStreaming(uint8_t module, uint8_t* streaming)
{
    if (!streaming) return aErrParam;
    uei request{};
    request.module = module;
    request.command = kCmdStream;
    request.option = kStreamOptionEnable | ueiOPTION_GET;
    request.specifier = ueiSPECIFIER_REQUEST;
    request.type = ueiTypeVoid;
    if (aErr err = sendUEI(request)) return err;
    request.option = kStreamOptionEnable;
    request.specifier = 0;
    if (aErr err = receiveUEI(module, kCmdStream, request.option, 0, &request)) return err;
    if (request.specifier & ueiSPECIFIER_ERROR) return static_cast<aErr>(request.value.byteVal);
    *streaming = request.value.byteVal;
    return aErrNone;
}

aErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                          uei* value)
{
    LinkStreamState& s = m_impl->streams;
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.entries.find(createStreamKey(module, command, option, index, subindex));
    if (it == s.entries.end()) return aErrNotFound;
    if (value) value->value.intVal = it->second.value;
    if (!it->second.fresh) return aErrStreamStale;
    it->second.fresh = false;
    return aErrNone;
}

std::vector<uint64_t> Link::filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                                   uint8_t subindex, bool lock)
{
    LinkStreamState& s = m_impl->streams;
    std::unique_lock<std::mutex> guard(s.mutex, std::defer_lock);
    if (lock) guard.lock();
    std::vector<uint64_t> keys;
    for (const auto& [key, entry] : s.entries) {
        if (sElementMatches(module, getStreamKeyElement(key, STREAM_KEY_MODULE)) &&
            sElementMatches(command, getStreamKeyElement(key, STREAM_KEY_CMD)) &&
            sElementMatches(option, getStreamKeyElement(key, STREAM_KEY_OPTION)) &&
            sElementMatches(index, getStreamKeyElement(key, STREAM_KEY_INDEX)) &&
            sElementMatches(subindex, getStreamKeyElement(key, STREAM_KEY_SUBINDEX)))
            keys.push_back(key);
    }
    return keys;
}

aErr Link::getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                           StreamStatusEntry* entries, std::size_t capacity, std::size_t* count)
{
    if (!isConnected()) return aErrConnection;
    if (!entries || !count || capacity == 0) return aErrParam;
    *count = 0;
    LinkStreamState& s = m_impl->streams;
    std::lock_guard<std::mutex> lock(s.mutex);
    for (uint64_t key : filterActiveStreamKeys(module, command, option, index, subindex, false)) {
        // Wildcard registrations are subscriptions, not values.
        bool wildcard = false;
        for (int e = STREAM_KEY_MODULE; e <= STREAM_KEY_SUBINDEX; ++e)
            wildcard = wildcard || getStreamKeyElement(key, static_cast<STREAM_KEY>(e)) == kW;
        if (wildcard) continue;
        if (*count == capacity) return aErrSize;
        entries[*count] = StreamStatusEntry{key, s.entries.at(key).value};
        ++*count;
    }
    return aErrNone;
}

} // namespace Velmarine
} // namespace Corvane
