#include "lib/common/packetfifo.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>

namespace {

struct aPacketDeleter {
    void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using PacketPtr = std::unique_ptr<aPacket, aPacketDeleter>;

class SerialPacket {
public:
    SerialPacket(uint32_t id, PacketPtr packet) : id_(id), packet_(std::move(packet)) {}
    uint32_t getId() const { return id_; }
    const aPacket* getPacket() const { return packet_.get(); }

private:
    uint32_t id_;
    PacketPtr packet_;
};

struct packetFifo {
    std::deque<SerialPacket> packets;
    std::condition_variable condition;
    std::mutex mutex;
    std::atomic<bool> open{true};
    std::atomic<uint32_t> windowStart{0};
    std::atomic<uint32_t> nextSerial{0};

    // Every removal goes through one of these two so that windowStart always
    // names the oldest queued serial id (or the next one when empty).
    void clearAndSyncWindow()
    {
        packets.clear();
        windowStart = nextSerial.load();
    }
    // Empty exactly when the oldest queued serial is the next one to be given.
    // Read without the lock by readers that only look (a put in progress may
    // be missed, as if the look had come a moment earlier), so that threads
    // polling an empty FIFO never contend for its lock with those filling it.
    bool looksEmpty() const { return windowStart.load() == nextSerial.load(); }
    void syncWindow() { windowStart = packets.empty() ? nextSerial.load() : packets.front().getId(); }
    void eraseAndSyncWindow(std::deque<SerialPacket>::iterator it)
    {
        packets.erase(it);
        syncWindow();
    }
    void eraseAndSyncWindow(std::deque<SerialPacket>::iterator first,
                            std::deque<SerialPacket>::iterator last)
    {
        packets.erase(first, last);
        syncWindow();
    }

    // Copies the entry out and erases it; a failed copy leaves it queued.
    aPacket* take(std::deque<SerialPacket>::iterator it)
    {
        aPacket* copy = aPacket_Copy(it->getPacket());
        if (copy != nullptr)
            eraseAndSyncWindow(it);
        return copy;
    }
};

using FifoRef = std::shared_ptr<packetFifo>;

std::map<aPacketFifoId, FifoRef> gpPacketFifoDictionary;
// Every FIFO operation looks its FIFO up here, from the caller threads and from
// both threads of every link at once: lookups share the lock so that they never
// make each other wait (and sleep); only creation and destruction take it alone.
std::shared_mutex gpPacketFifoDictionaryMutex;
std::atomic<uint64_t> gpSequentialId{1};

// The dictionary lock is held only for the lookup; the FIFO stays alive
// through the returned reference even when destroyed meanwhile.
FifoRef sFind(aPacketFifoId id)
{
    std::shared_lock<std::shared_mutex> lock(gpPacketFifoDictionaryMutex);
    auto it = gpPacketFifoDictionary.find(id);
    return it == gpPacketFifoDictionary.end() ? nullptr : it->second;
}

std::chrono::steady_clock::time_point sDeadline(uint32_t ms)
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

} // namespace

extern "C" {

aPacketFifoId aPacketFifo_Create(void)
{
    try {
        auto fifo = std::make_shared<packetFifo>();
        aPacketFifoId id = gpSequentialId++;
        if (id == 0)
            id = gpSequentialId++;
        std::lock_guard<std::shared_mutex> lock(gpPacketFifoDictionaryMutex);
        gpPacketFifoDictionary.emplace(id, std::move(fifo));
        return id;
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Destroy(aPacketFifoId* id)
{
    if (id == nullptr)
        return aErrParam;
    try {
        FifoRef fifo;
        {
            std::lock_guard<std::shared_mutex> lock(gpPacketFifoDictionaryMutex);
            auto it = gpPacketFifoDictionary.find(*id);
            if (it == gpPacketFifoDictionary.end())
                return aErrNotFound;
            fifo = std::move(it->second);
            gpPacketFifoDictionary.erase(it);
        }
        {
            std::lock_guard<std::mutex> lock(fifo->mutex);
            fifo->clearAndSyncWindow();
            fifo->open = false;
        }
        fifo->condition.notify_all();
        *id = 0;
        return aErrNone;
    } catch (...) {
        return aErrUnknown;
    }
}

aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet)
{
    if (!aVALIDPACKET(packet))
        return aErrParam;
    FifoRef fifo = sFind(id);
    if (!fifo)
        return aErrParam;
    PacketPtr copy(aPacket_Copy(packet));
    if (!copy)
        return aErrParam;
    try {
        bool wake = true;
        {
            std::lock_guard<std::mutex> lock(fifo->mutex);
            const uint32_t serial = fifo->nextSerial++;
            fifo->packets.emplace_back(serial, std::move(copy));
            fifo->windowStart = fifo->packets.front().getId();
            // Nobody is collecting: drop the whole backlog rather than grow without bound.
            if (fifo->packets.size() > aPACKET_FIFO_CAPACITY) {
                fifo->clearAndSyncWindow();
                wake = false;
            }
        }
        if (wake)
            fifo->condition.notify_all();
        return aErrNone;
    } catch (...) {
        return aErrResource;
    }
}

aPacket* aPacketFifo_Get(aPacketFifoId id)
{
    FifoRef fifo = sFind(id);
    if (!fifo)
        return nullptr;
    if (fifo->looksEmpty())
        return nullptr;
    try {
        std::lock_guard<std::mutex> lock(fifo->mutex);
        return fifo->packets.empty() ? nullptr : fifo->take(fifo->packets.begin());
    } catch (...) {
        return nullptr;
    }
}

aPacket* aPacketFifo_Await(aPacketFifoId id, uint32_t msTimeout)
{
    FifoRef fifo = sFind(id);
    if (!fifo)
        return nullptr;
    try {
        const auto deadline = sDeadline(msTimeout);
        std::unique_lock<std::mutex> lock(fifo->mutex);
        fifo->condition.wait_until(lock, deadline,
                                   [&] { return !fifo->packets.empty() || !fifo->open; });
        return fifo->packets.empty() ? nullptr : fifo->take(fifo->packets.begin());
    } catch (...) {
        return nullptr;
    }
}

aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilter predicate, void* ref)
{
    if (predicate == nullptr)
        return nullptr;
    FifoRef fifo = sFind(id);
    if (!fifo)
        return nullptr;
    try {
        std::lock_guard<std::mutex> lock(fifo->mutex);
        for (auto it = fifo->packets.begin(); it != fifo->packets.end(); ++it)
            if (predicate(it->getPacket(), ref) != 0)
                return fifo->take(it);
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilter predicate, void* ref,
                                uint32_t msTimeout)
{
    if (predicate == nullptr)
        return nullptr;
    FifoRef fifo = sFind(id);
    if (!fifo)
        return nullptr;
    try {
        const auto deadline = sDeadline(msTimeout);
        std::unique_lock<std::mutex> lock(fifo->mutex);
        // Each packet is put to the predicate at most once per call, however
        // often puts wake us: predicates may gather state as they look.
        uint32_t lastExamined = fifo->windowStart - 1;
        // Puts reallocate the queue, so only an iterator found under the
        // lock that is still held is ever used.
        bool matched = false;
        auto found = fifo->packets.begin();
        auto check = [&] {
            for (auto it = fifo->packets.begin(); it != fifo->packets.end(); ++it) {
                if (static_cast<int32_t>(it->getId() - lastExamined) <= 0)
                    continue;
                lastExamined = it->getId();
                if (predicate(it->getPacket(), ref) != 0) {
                    found = it;
                    matched = true;
                    return true;
                }
            }
            return !fifo->open;
        };
        fifo->condition.wait_until(lock, deadline, check);
        if (!matched)
            return nullptr;
        return fifo->take(found);
    } catch (...) {
        return nullptr;
    }
}

uint32_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilter predicate, void* ref)
{
    if (predicate == nullptr)
        return 0;
    FifoRef fifo = sFind(id);
    if (!fifo)
        return 0;
    try {
        std::lock_guard<std::mutex> lock(fifo->mutex);
        const size_t before = fifo->packets.size();
        auto keep = fifo->packets.begin();
        for (auto it = fifo->packets.begin(); it != fifo->packets.end(); ++it) {
            if (predicate(it->getPacket(), ref) == 0) {
                if (keep != it)
                    *keep = std::move(*it);
                ++keep;
            }
        }
        fifo->eraseAndSyncWindow(keep, fifo->packets.end());
        return static_cast<uint32_t>(before - fifo->packets.size());
    } catch (...) {
        return 0;
    }
}

uint32_t aPacketFifo_GetLength(aPacketFifoId id)
{
    FifoRef fifo = sFind(id);
    if (!fifo)
        return 0;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    return static_cast<uint32_t>(fifo->packets.size());
}

} // extern "C"
