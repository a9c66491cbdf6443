#pragma once
// Private stream-subscription state of a Link: the subscriptions by stream key,
// the callback queue fed by the engine's reader thread and the worker thread
// that empties it.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "lib/common/aPacket.h"
#include "lib/common/spscqueue.h"
#include "lib/object/Link.h"

namespace Corvane {
namespace Velmarine {

struct StreamEntry {
    uint64_t key = 0;
    bool fresh = false;  // a value arrived that has not been read yet
    Link::streamCallback callback;
    void* reference = nullptr;
    uint32_t value = 0;  // the last value
};

// One callback waiting for the worker, with its own copy of the packet.
struct asyncPacket {
    Link::streamCallback callback;
    void* reference = nullptr;
    aPacket* packet = nullptr;
};

constexpr std::size_t kStreamQueueSlots = 500;

struct LinkStreamState {
    LinkStreamState() = default;
    ~LinkStreamState();
    LinkStreamState(const LinkStreamState&) = delete;
    LinkStreamState& operator=(const LinkStreamState&) = delete;

    std::mutex mutex;  // guards entries
    std::map<uint64_t, StreamEntry> entries;

    // Reader thread only (under mutex): copies the packet and queues the
    // callback; a full queue drops it.
    void queueAsyncCallback(const StreamEntry& entry, const aPacket* packet);

    // Starts the worker when none runs.
    void startWorker();
    // Stops the worker and waits for it, unless called from the worker itself
    // (a callback that removes the last subscription), which then ends on its own
    // after that callback. Callbacks still queued are dropped.
    void stopWorker();
    bool hasWorker() const { return worker.joinable(); }

private:
    static void asyncWork(LocklessQueue_SPSC<asyncPacket, kStreamQueueSlots>* queue,
                          std::shared_ptr<std::atomic<bool>> stop);
    void dropQueued();

    LocklessQueue_SPSC<asyncPacket, kStreamQueueSlots> queue;
    std::thread worker;
    // One stop signal per worker, so a worker left to end on its own never sees
    // the signal of its successor.
    std::shared_ptr<std::atomic<bool>> stop;
};

} // namespace Velmarine
} // namespace Corvane
