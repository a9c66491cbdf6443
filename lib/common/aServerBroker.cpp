// The server's broker: takes client packets from the frontend, hands them to
// the sync worker one by one, and returns each reply to the client that is
// waiting for it. It also copies stream batches to every client that enabled
// a stream, and answers discovery beacons.
//
// Replies are matched to requests by order alone: the sync worker carries out
// one request at a time, and the broker keeps the identities of the clients
// waiting for replies in the order their requests went out.

#include <cerrno>
#include <deque>
#include <vector>

#include "lib/common/aDefs.h"
#include "lib/common/aServerInternal.h"

namespace {

constexpr int kPollMs = 1000;
constexpr uint8_t kStreamCommand = 0x5D;
constexpr uint8_t kStreamEnable = 0x81;
constexpr uint8_t kStreamEnableLength = 7;

class Broker {
public:
    explicit Broker(aServer* server) : s_(server) {}
    ~Broker()
    {
        for (zframe_t* f : streaming_)
            zframe_destroy(&f);
        flushWaiting();
    }

    void fromFrontend();
    void fromSyncWorker();
    void fromStreamFilter();
    void flushWaiting()
    {
        for (zframe_t* f : waiting_)
            zframe_destroy(&f);
        waiting_.clear();
    }

private:
    bool toSyncWorker(const aPacket& packet);
    void noteStreamEnable(zframe_t* identity, const aPacket& packet);

    aServer* s_;
    std::vector<zframe_t*> streaming_;  // never shrinks
    std::deque<zframe_t*> waiting_;     // clients waiting for replies, oldest first
};

bool Broker::toSyncWorker(const aPacket& packet)
{
    zframe_t* frame = aServer_PacketToFrame(&packet);
    if (frame == nullptr)
        return false;
    if (zframe_send(&frame, s_->syncBroker, ZFRAME_DONTWAIT) != 0) {
        zframe_destroy(&frame);
        aDebug_Printf(aDEBUG_SERVER, "server broker: request not passed on\n");
        return false;
    }
    return true;
}

void Broker::noteStreamEnable(zframe_t* identity, const aPacket& packet)
{
    if (packet.dataSize != kStreamEnableLength || packet.data[0] != kStreamCommand ||
        packet.data[1] != kStreamEnable)
        return;
    for (zframe_t* known : streaming_)
        if (zframe_eq(known, identity))
            return;
    streaming_.push_back(zframe_dup(identity));
}

void Broker::fromFrontend()
{
    zmsg_t* msg = zmsg_recv(s_->frontend);
    if (msg == nullptr)
        return;
    zframe_t* identity = zmsg_pop(msg);
    zframe_t* data = zmsg_pop(msg);
    aPacket packet;
    const bool ok = identity != nullptr && data != nullptr && zmsg_size(msg) == 0 &&
                    aServer_FrameToPacket(data, &packet);
    zmsg_destroy(&msg);
    zframe_destroy(&data);
    if (!ok) {
        zframe_destroy(&identity);
        return;
    }

    noteStreamEnable(identity, packet);

    std::vector<aPacket> set;
    if (aServerPools_Offer(s_->pools, identity, &packet, &set)) {
        // A completed set goes out as one burst with one reply for all of it.
        bool lastSent = false;
        for (const aPacket& piece : set)
            lastSent = toSyncWorker(piece);
        if (lastSent)
            waiting_.push_back(identity);
        else
            zframe_destroy(&identity);
        return;
    }

    const bool routeForcing = packet.address == cmdFORCEROUTE;
    if (routeForcing && packet.dataSize == 1) {
        // Clients may not force the routing of a module others share.
        zframe_destroy(&identity);
        return;
    }
    // A client is waited for only once its request is on its way, so a
    // request that could not be passed on cannot take someone else's reply.
    if (toSyncWorker(packet) && !routeForcing)
        waiting_.push_back(identity);
    else
        zframe_destroy(&identity);
}

void Broker::fromSyncWorker()
{
    zmsg_t* msg = zmsg_recv(s_->syncBroker);
    if (msg == nullptr)
        return;
    zframe_t* first = zmsg_pop(msg);
    zframe_t* command = nullptr;
    if (first != nullptr && zframe_size(first) == 0) {
        command = zmsg_pop(msg);
        zframe_destroy(&first);
    }
    zmsg_destroy(&msg);
    if (waiting_.empty()) {
        zframe_destroy(&first);
        zframe_destroy(&command);
        return;
    }
    zframe_t* identity = waiting_.front();
    waiting_.pop_front();

    if (first == nullptr) {
        // A server command.
        const bool known = command != nullptr && zframe_size(command) == aSERVER_CMD_LENGTH;
        const uint8_t* c = known ? zframe_data(command) : nullptr;
        if (known && c[0] == SERVER_CMD_DROPPED_PACKET) {
            zframe_destroy(&identity);
        } else if (known && c[0] == SERVER_CMD_INCOMING_PACKETS) {
            const uint16_t n = static_cast<uint16_t>(c[1] << 8 | c[2]);
            s_->expectedReplies = n;
            if (n == 0) {
                zframe_destroy(&identity);
            } else {
                for (uint16_t i = 1; i < n; ++i)
                    waiting_.push_front(zframe_dup(identity));
                waiting_.push_front(identity);
            }
        } else {
            waiting_.push_front(identity);  // unknown command: nothing changes
        }
        zframe_destroy(&command);
        return;
    }

    zmsg_t* reply = zmsg_new();
    zmsg_append(reply, &identity);
    zmsg_append(reply, &first);
    zmsg_send(&reply, s_->frontend);
    zmsg_destroy(&reply);
    if (s_->expectedReplies > 0)
        --s_->expectedReplies;
}

void Broker::fromStreamFilter()
{
    zframe_t* batch = zframe_recv(s_->streamBroker);
    if (batch == nullptr)
        return;
    for (zframe_t* identity : streaming_) {
        zmsg_t* msg = zmsg_new();
        zmsg_addmem(msg, zframe_data(identity), zframe_size(identity));
        zmsg_addmem(msg, zframe_data(batch), zframe_size(batch));
        zmsg_send(&msg, s_->frontend);
        zmsg_destroy(&msg);
    }
    zframe_destroy(&batch);
}

// A pipe message: the flush signal, or the order to end.
bool sIsFlushSignal(zmsg_t* msg)
{
    zframe_t* f = msg != nullptr && zmsg_size(msg) == 1 ? zmsg_first(msg) : nullptr;
    return f != nullptr && zframe_size(f) == 8 && zframe_data(f)[0] == aSERVER_SIGNAL_FLUSH;
}

} // namespace

void aServer_BrokerActor(zsock_t* pipe, void* ref)
{
    auto* s = static_cast<aServer*>(ref);
    zsock_signal(pipe, 0);
    zpoller_t* poller = zpoller_new(pipe, s->syncBroker, s->frontend, s->streamBroker, nullptr);
    if (poller == nullptr)
        return;
    // Ctrl+C is the application's business; the server stops when destroyed.
    zpoller_set_nonstop(poller, true);
    if (s->discoveryKind == kDiscoveryBeacon && s->discovery != nullptr)
        zpoller_add(poller, s->discovery);
    {
        Broker broker(s);
        for (;;) {
            void* which = zpoller_wait(poller, kPollMs);
            if (which == pipe) {
                zmsg_t* msg = zmsg_recv(pipe);
                const bool flush = sIsFlushSignal(msg);
                zmsg_destroy(&msg);
                if (!flush)
                    break;
                broker.flushWaiting();
            } else if (which == s->frontend) {
                broker.fromFrontend();
            } else if (which == s->syncBroker) {
                broker.fromSyncWorker();
            } else if (which == s->streamBroker) {
                broker.fromStreamFilter();
            } else if (which != nullptr && which == s->discovery) {
                aServer_HandleBeacon(s);
            } else if (which == nullptr && zpoller_terminated(poller) && zmq_errno() == ETERM) {
                break;
            }
            aServer_CheckPublishing(s);
        }
    }
    zpoller_destroy(&poller);
}
