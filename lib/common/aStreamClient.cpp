// The network client stream: bytes of whole packets to and from a shared
// network server over message sockets.
//
// The link engine reads a stream on one thread and writes it on another,
// while a message socket may be used by one thread only. So the stream never
// touches the server socket itself: it writes into one local socket pair and
// reads from another, and a worker thread moves frames between those pairs
// and the server.

#include "lib/common/aStreamClient.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <new>
#include <thread>

#include "lib/common/aDefs.h"

namespace {

constexpr uint16_t kClientCheck = 0xC1E7;
constexpr int kPollMs = 1000;
constexpr int kSendAttempts = 100;
constexpr auto kSendRetryPause = std::chrono::milliseconds(1);

struct ClientStream {
    uint16_t check = 0;
    zsock_t* server = nullptr;        // DEALER to the frontend; worker only
    zsock_t* outBound = nullptr;      // written by the stream (writer thread)
    zsock_t* outConnected = nullptr;  // read by the worker
    zsock_t* inBound = nullptr;       // read by the stream (reader thread)
    zsock_t* inConnected = nullptr;   // written by the worker
    zpoller_t* poller = nullptr;      // on inBound, for get
    zactor_t* worker = nullptr;
    zframe_t* current = nullptr;      // the frame being read byte by byte
    size_t position = 0;
    size_t size = 0;
    // Steady-clock time of the last write, in clock ticks (writer thread).
    std::atomic<int64_t> lastWrite{0};
};

// How long after a write the reader looks for the reply without sleeping: a
// reply is imminent then, and being woken from a poll costs about as much
// again as the reply's whole way through the server.
constexpr auto kReplySpin = std::chrono::microseconds(1000);

int64_t sNow()
{
    return std::chrono::steady_clock::now().time_since_epoch().count();
}

// Sends without blocking, retrying a full queue for a short while. The frame
// is consumed either way; false when it could not be sent.
bool sSendPatiently(zframe_t** frame, zsock_t* socket)
{
    for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
        if (zframe_send(frame, socket, ZFRAME_DONTWAIT) == 0)
            return true;
        std::this_thread::sleep_for(kSendRetryPause);
    }
    zframe_destroy(frame);
    return false;
}

// czmq catches Ctrl+C for itself once any socket exists. Hand the interrupt
// on to whatever the application (or the default action) does with it.
void sPassOnInterrupt()
{
    if (!zsys_interrupted)
        return;
    zsys_interrupted = 0;
    zsys_handler_reset();
    raise(SIGINT);
    zsys_catch_interrupts();
}

void sWorker(zsock_t* pipe, void* args)
{
    auto* s = static_cast<ClientStream*>(args);
    zpoller_t* poller = zpoller_new(pipe, s->server, s->outConnected, nullptr);
    zsock_signal(pipe, 0);
    if (poller == nullptr)
        return;
    for (;;) {
        void* which = zpoller_wait(poller, kPollMs);
        const bool interrupted = zsys_interrupted != 0;
        sPassOnInterrupt();
        if (which == pipe)
            break;
        if (which == s->server) {
            zframe_t* frame = zframe_recv(s->server);
            if (frame != nullptr && !sSendPatiently(&frame, s->inConnected))
                aDebug_Printf(aDEBUG_CLIENT, "client stream: incoming frame lost\n");
        } else if (which == s->outConnected) {
            zframe_t* frame = zframe_recv(s->outConnected);
            if (frame != nullptr && zframe_send(&frame, s->server, ZFRAME_DONTWAIT) != 0) {
                aDebug_Printf(aDEBUG_CLIENT, "client stream: outgoing frame lost\n");
                zframe_destroy(&frame);
            }
        } else if (which == nullptr && zpoller_terminated(poller) && !interrupted) {
            break;
        }
    }
    zpoller_destroy(&poller);
}

void sRelease(ClientStream* s)
{
    if (s->worker != nullptr)
        zactor_destroy(&s->worker);
    if (s->poller != nullptr)
        zpoller_destroy(&s->poller);
    zsock_destroy(&s->server);
    zsock_destroy(&s->outBound);
    zsock_destroy(&s->outConnected);
    zsock_destroy(&s->inBound);
    zsock_destroy(&s->inConnected);
    zframe_destroy(&s->current);
    s->check = 0;
    delete s;
}

// A bound socket and a second one connected to it. The pair never leaves the
// process, so it is an in-process pipe: a loopback TCP pair would cost two
// more trips through the messaging library's I/O thread on every frame, which
// is most of a request's way through the server.
aErr sMakePair(zsock_t** bound, zsock_t** connected)
{
    static std::atomic<uint64_t> pairs{0};
    *bound = zsock_new(ZMQ_DEALER);
    *connected = zsock_new(ZMQ_DEALER);
    if (*bound == nullptr || *connected == nullptr)
        return aErrMemory;
    const uint64_t n = pairs++;
    if (zsock_bind(*bound, "inproc://velmarine-client-%llu", static_cast<unsigned long long>(n)) != 0)
        return aErrConnection;
    if (zsock_connect(*connected, "inproc://velmarine-client-%llu", static_cast<unsigned long long>(n)) != 0)
        return aErrConnection;
    return aErrNone;
}

aErr sGet(uint8_t* byte, void* ref)
{
    auto* s = static_cast<ClientStream*>(ref);
    if (s == nullptr || s->check != kClientCheck || s->inBound == nullptr)
        return aErrIO;
    while (s->current == nullptr) {
        const int64_t spinUntil = s->lastWrite.load() + std::chrono::steady_clock::duration(kReplySpin).count();
        while (sNow() < spinUntil && (zsock_events(s->inBound) & ZMQ_POLLIN) == 0)
            std::this_thread::yield();
        void* which = zpoller_wait(s->poller, kPollMs);
        if (which == nullptr)
            return zpoller_expired(s->poller) ? aErrNotReady : aErrUnknown;
        if (which != s->inBound)
            return aErrUnknown;
        s->current = zframe_recv(s->inBound);
        if (s->current == nullptr)
            return aErrIO;
        s->position = 0;
        s->size = zframe_size(s->current);
        if (s->size == 0) {
            // Servers send no empty frames; one would otherwise block the stream.
            zframe_destroy(&s->current);
            return aErrNotReady;
        }
    }
    if (s->position >= s->size)
        return aErrIndexRange;
    *byte = zframe_data(s->current)[s->position++];
    if (s->position >= s->size)
        zframe_destroy(&s->current);
    return aErrNone;
}

aErr sPut(const uint8_t*, void*)
{
    // Frames carry whole packets: single bytes have no place on this stream.
    return aErrUnimplemented;
}

aErr sWrite(const uint8_t* data, size_t length, void* ref)
{
    auto* s = static_cast<ClientStream*>(ref);
    if (s == nullptr || s->check != kClientCheck || s->outBound == nullptr)
        return aErrNone;
    s->lastWrite = sNow();
    zframe_t* frame = zframe_new(data, length);
    if (frame != nullptr && !sSendPatiently(&frame, s->outBound))
        aDebug_Printf(aDEBUG_CLIENT, "client stream: write of %zu bytes lost\n", length);
    // A lost frame shows as a missing reply, which the caller waits for anyway.
    return aErrNone;
}

aErr sDelete(void* ref)
{
    auto* s = static_cast<ClientStream*>(ref);
    if (s == nullptr || s->check != kClientCheck || s->server == nullptr)
        return aErrIO;
    sRelease(s);
    return aErrNone;
}

} // namespace

extern "C" aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** pStream)
{
    if (pStream == nullptr)
        return aErrParam;
    *pStream = nullptr;
    auto* s = new (std::nothrow) ClientStream;
    if (s == nullptr)
        return aErrMemory;
    s->check = kClientCheck;

    aErr err = sMakePair(&s->outBound, &s->outConnected);
    if (err == aErrNone)
        err = sMakePair(&s->inBound, &s->inConnected);
    if (err == aErrNone) {
        char text[INET_ADDRSTRLEN] = {};
        in_addr in{};
        in.s_addr = address;
        inet_ntop(AF_INET, &in, text, sizeof text);
        s->server = zsock_new(ZMQ_DEALER);
        if (s->server == nullptr)
            err = aErrMemory;
        else if (zsock_connect(s->server, "tcp://%s:%d", text, static_cast<int>(port)) != 0)
            err = aErrConnection;
    }
    if (err == aErrNone) {
        s->poller = zpoller_new(s->inBound, nullptr);
        if (s->poller == nullptr)
            err = aErrMemory;
    }
    if (err == aErrNone) {
        s->worker = zactor_new(sWorker, s);
        if (s->worker == nullptr)
            err = aErrMemory;
    }
    aStream* stream = nullptr;
    if (err == aErrNone) {
        stream = aStream_Create(sGet, sPut, sWrite, sDelete, s);
        if (stream == nullptr)
            err = aErrResource;
    }
    if (err != aErrNone) {
        aDebug_Printf(aDEBUG_CLIENT, "aStream_CreateClient failed: %d\n", err);
        sRelease(s);
        return err;
    }
    *pStream = stream;
    return aErrNone;
}
