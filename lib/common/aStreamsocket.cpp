// Outgoing TCP connections to modules on the network.
//
// The reader (get) and the writer (write) share one connection and either may
// find it broken and reconnect. The descriptor number never changes while the
// stream lives: a new connection is moved onto it with dup2, so the other side
// never uses a closed or reused descriptor.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "lib/common/aStream.h"

namespace {

constexpr uint16_t kSocketCheck = 0xDEAD;
constexpr int kWriteAttempts = 10;
constexpr int kWriteWaitMs = 60;
constexpr auto kCloseSettle = std::chrono::milliseconds(10);
// Received bytes are taken from the socket a bufferful at a time and handed
// out one by one: one system call per arrival instead of two per byte.
constexpr size_t kReceiveBuffer = 512;

struct SocketState {
    uint16_t check;
    uint16_t port;
    struct sockaddr_in address;
    std::atomic<int> fd{-1};
    std::atomic<bool> connected{false};
    // Bumped by every successful (re)connection, so that a side that saw the
    // old connection fail does not tear down the one the other side just made.
    std::atomic<unsigned> generation{0};
    std::mutex connectLock;
    // Bytes received but not yet handed out; touched only by the reading side.
    uint8_t received[kReceiveBuffer];
    size_t receivedNext = 0;
    size_t receivedEnd = 0;
};

SocketState* state(void* ref)
{
    auto* s = static_cast<SocketState*>(ref);
    return s && s->check == kSocketCheck ? s : nullptr;
}

bool brokenConnection(int err)
{
    return err == ECONNRESET || err == ENOTCONN || err == ETIMEDOUT || err == EPIPE;
}

aErr configure(int fd)
{
    int on = 1;
    struct timeval none{0, 0};
    struct linger reset{1, 0};  // closing resets the connection at once
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset) != 0)
        return aErrIO;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return aErrIO;
    return aErrNone;
}

// Connects, or replaces the current connection. Called with connectLock held.
aErr connectLocked(SocketState* s)
{
    int current = s->fd.load();
    if (current >= 0) {
        s->connected = false;
        // Drop the old connection now, but keep the descriptor number until a
        // new connection takes it over.
        shutdown(current, SHUT_RDWR);
        std::this_thread::sleep_for(kCloseSettle);
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return aErrIO;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&s->address), sizeof s->address) != 0) {
        int err = errno;
        close(fd);
        if (err == ECONNRESET || err == EAGAIN || err == ETIMEDOUT || err == ECONNREFUSED)
            return aErrConnection;
        return aErrIO;
    }
    aErr err = configure(fd);
    if (err != aErrNone) {
        close(fd);
        return err;
    }
    if (current >= 0) {
        if (dup2(fd, current) < 0) {
            close(fd);
            return aErrIO;
        }
        close(fd);
    } else {
        s->fd = fd;
    }
    s->connected = true;
    s->generation++;
    return aErrNone;
}

// Reconnects after the connection seen in generation `seen` failed.
aErr reconnect(SocketState* s, unsigned seen)
{
    std::lock_guard<std::mutex> lock(s->connectLock);
    if (s->generation.load() != seen && s->connected)
        return aErrNone;  // the other side has already done it
    return connectLocked(s);
}

// One byte if one is waiting. Bytes already received are handed out first,
// even when the connection they came on has been replaced since: they arrived
// before it failed, just as if they had been read one by one at once.
aErr takeByte(SocketState* s, uint8_t* pByte, bool mayReconnect)
{
    if (s->receivedNext < s->receivedEnd) {
        *pByte = s->received[s->receivedNext++];
        return aErrNone;
    }
    const unsigned seen = s->generation.load();
    const int fd = s->fd.load();
    ssize_t n = recv(fd, s->received, sizeof s->received, MSG_DONTWAIT);
    if (n > 0) {
        s->receivedNext = 1;
        s->receivedEnd = static_cast<size_t>(n);
        *pByte = s->received[0];
        return aErrNone;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return aErrNotReady;
    if (n < 0 && !brokenConnection(errno))
        return aErrConnection;
    // Reset, timed out, or closed by the peer (n == 0): a module that drops the
    // connection will not send on it again, so connect anew at once rather than
    // wait for a write to fail.
    if (!mayReconnect)
        return aErrNotReady;
    s->connected = false;
    if (reconnect(s, seen) != aErrNone)
        return aErrConnection;
    return takeByte(s, pByte, false);
}

aErr sSocketGet(uint8_t* pByte, void* ref)
{
    SocketState* s = state(ref);
    if (!s || !pByte)
        return aErrParam;
    if (!s->connected)
        return aErrConnection;
    return takeByte(s, pByte, true);
}

void waitWritable(int fd)
{
    struct pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, kWriteWaitMs);
}

aErr sSocketWrite(const uint8_t* pData, size_t length, void* ref)
{
    SocketState* s = state(ref);
    if (!s || !pData)
        return aErrParam;
    if (!s->connected)
        return aErrConnection;

    size_t sent = 0;
    int attempts = 0;
    aErr failure = aErrNone;
    while (sent < length) {
        if (attempts >= kWriteAttempts)
            return failure;  // bytes unsent: never reported as success
        const unsigned seen = s->generation.load();
        if (!s->connected) {
            ++attempts;
            failure = aErrConnection;
            if (reconnect(s, seen) == aErrNone)
                sent = 0;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(kWriteWaitMs));
            continue;
        }
        ssize_t n = send(s->fd.load(), pData + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        const int err = n < 0 ? errno : EAGAIN;
        ++attempts;
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
            failure = aErrTimeout;
            waitWritable(s->fd.load());
        } else if (brokenConnection(err)) {
            failure = aErrConnection;
            s->connected = false;
            if (reconnect(s, seen) == aErrNone) {
                // What went out on the old connection is lost with it; a new
                // connection gets the whole write, so it starts on a packet
                // boundary.
                sent = 0;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(kWriteWaitMs));
        } else {
            failure = aErrIO;
            std::this_thread::sleep_for(std::chrono::milliseconds(kWriteWaitMs));
        }
    }
    return aErrNone;
}

aErr sSocketPut(const uint8_t* pByte, void* ref)
{
    return sSocketWrite(pByte, 1, ref);
}

aErr sSocketWait(uint32_t ms, void* ref)
{
    SocketState* s = state(ref);
    if (!s)
        return aErrParam;
    if (s->receivedNext < s->receivedEnd)
        return aErrNone;
    if (!s->connected) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return aErrTimeout;
    }
    struct pollfd p{s->fd.load(), POLLIN, 0};
    int rc = poll(&p, 1, static_cast<int>(ms));
    return rc > 0 ? aErrNone : aErrTimeout;
}

aErr sSocketDelete(void* ref)
{
    SocketState* s = state(ref);
    if (!s)
        return aErrParam;
    {
        std::lock_guard<std::mutex> lock(s->connectLock);
        int fd = s->fd.exchange(-1);
        if (fd >= 0) {
            bool wasConnected = s->connected.exchange(false);
            close(fd);
            if (wasConnected)
                std::this_thread::sleep_for(kCloseSettle);
        }
    }
    s->check = 0;
    delete s;
    return aErrNone;
}

} // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** pStream)
{
    if (!pStream)
        return aErrResource;
    *pStream = nullptr;
    auto* s = new (std::nothrow) SocketState{};
    if (!s)
        return aErrResource;
    s->check = kSocketCheck;
    s->port = port;
    s->address.sin_family = AF_INET;
    s->address.sin_port = htons(port);
    s->address.sin_addr.s_addr = address;
    aErr err;
    {
        std::lock_guard<std::mutex> lock(s->connectLock);
        err = connectLocked(s);
    }
    aStream* stream = err == aErrNone ? aStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, s)
                                      : nullptr;
    if (!stream) {
        sSocketDelete(s);
        return aErrResource;
    }
    aStream_SetWaitProc(stream, sSocketWait);
    *pStream = stream;
    return aErrNone;
}
