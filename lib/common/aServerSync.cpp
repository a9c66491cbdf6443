// The server's sync worker: carries out one client request at a time on the
// direct link and sends back whatever the module answers next, announced by
// a server command that tells the broker how many reply packets follow.

#include <cerrno>
#include <chrono>
#include <vector>

#include "lib/common/aDefs.h"
#include "lib/common/aServerInternal.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 1000;
constexpr auto kReplyWait = std::chrono::milliseconds(2000);
// The reply wait is cut into slices so that a stopping server is not held up.
constexpr uint32_t kWaitSliceMs = 100;

uint8_t sAnyPacket(const aPacket*, void*)
{
    return 1;
}

void sSendCommand(aServer* s, uint8_t command, uint16_t value)
{
    const uint8_t bytes[aSERVER_CMD_LENGTH] = {command, static_cast<uint8_t>(value >> 8),
                                               static_cast<uint8_t>(value & 0xFF)};
    zmsg_t* msg = zmsg_new();
    zmsg_addmem(msg, nullptr, 0);
    zmsg_addmem(msg, bytes, sizeof bytes);
    zmsg_send(&msg, s->syncWorker);
    zmsg_destroy(&msg);
}

// The next packet the module sends, whatever it is; null after the wait.
aPacket* sAwaitReply(aServer* s)
{
    const auto deadline = Clock::now() + kReplyWait;
    while (!s->stopping) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return nullptr;
        const uint32_t slice = left < kWaitSliceMs ? static_cast<uint32_t>(left) : kWaitSliceMs;
        if (aPacket* packet = aPacketFifo_Await(s->link->inFifo, slice))
            return packet;
    }
    return nullptr;
}

void sCarryOut(aServer* s, const aPacket& request)
{
    // Route forcing and the middle pieces of a byte-string write get no answer.
    const bool replyRequired = request.address != cmdFORCEROUTE && !aServer_IsContinuedChunk(&request);
    if (replyRequired) {
        // Whatever is queued now was sent before this request (a reply that
        // came after its requester was given up on): it answers nobody waiting.
        aPacketFifo_DrainPackets(s->link->inFifo, sAnyPacket, nullptr);
    }
    if (aPacketFifo_Put(s->link->outFifo, &request) != aErrNone) {
        // Only a request someone waits for is reported: a report for any other
        // would take the reply of the client waiting next.
        if (replyRequired)
            sSendCommand(s, SERVER_CMD_DROPPED_PACKET, 0);
        return;
    }
    if (!replyRequired)
        return;

    std::vector<aPacket*> replies;
    for (aPacket* reply = sAwaitReply(s); reply != nullptr;) {
        replies.push_back(reply);
        reply = aServer_IsContinuedChunk(reply) ? sAwaitReply(s) : nullptr;
    }
    if (replies.empty()) {
        sSendCommand(s, SERVER_CMD_DROPPED_PACKET, 0);
        return;
    }
    sSendCommand(s, SERVER_CMD_INCOMING_PACKETS, static_cast<uint16_t>(replies.size()));
    for (aPacket*& reply : replies) {
        zframe_t* frame = aServer_PacketToFrame(reply);
        if (frame != nullptr && zframe_send(&frame, s->syncWorker, 0) != 0)
            zframe_destroy(&frame);
        aPacket_Destroy(&reply);
    }
}

} // namespace

void aServer_SyncActor(zsock_t* pipe, void* ref)
{
    auto* s = static_cast<aServer*>(ref);
    zsock_signal(pipe, 0);
    zpoller_t* poller = zpoller_new(pipe, s->syncWorker, nullptr);
    if (poller == nullptr)
        return;
    zpoller_set_nonstop(poller, true);
    for (;;) {
        void* which = zpoller_wait(poller, kPollMs);
        if (which == pipe)
            break;
        if (which == s->syncWorker) {
            zframe_t* frame = zframe_recv(s->syncWorker);
            aPacket request;
            if (frame != nullptr && aServer_FrameToPacket(frame, &request))
                sCarryOut(s, request);
            zframe_destroy(&frame);
        } else if (which == nullptr && zpoller_terminated(poller) && zmq_errno() == ETERM) {
            break;
        }
    }
    zpoller_destroy(&poller);
}
