// Runs only inside a private network namespace (scripts/netns.sh): every
// connection goes to a peer on 127.0.0.1 made by the test itself.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "lib/common/aStream.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// A module on the far side of a TCP connection: listens on an ephemeral port of
// the loopback address and serves one connection at a time.
struct Peer {
    int listener = -1;
    int conn = -1;
    uint16_t port = 0;

    Peer()
    {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = kLoopback;
        bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener, 4);
        socklen_t len = sizeof a;
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Peer()
    {
        drop(false);
        stopListening();
    }
    void stopListening()
    {
        if (listener >= 0)
            close(listener);
        listener = -1;
    }
    bool accept(int ms = 2000)
    {
        struct pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return false;
        conn = ::accept(listener, nullptr, nullptr);
        return conn >= 0;
    }
    // Drops the connection, either with a reset or with an orderly close.
    void drop(bool reset)
    {
        if (conn < 0)
            return;
        if (reset) {
            struct linger l{1, 0};
            setsockopt(conn, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        close(conn);
        conn = -1;
    }
    void send(const Bytes& b) { ASSERT_EQ(static_cast<ssize_t>(b.size()), ::send(conn, b.data(), b.size(), 0)); }
    Bytes receive(size_t n, int ms = 2000)
    {
        Bytes out;
        auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (out.size() < n && Clock::now() < deadline) {
            struct pollfd p{conn, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            uint8_t buf[256];
            ssize_t got = recv(conn, buf, std::min(sizeof buf, n - out.size()), 0);
            if (got <= 0)
                break;
            out.insert(out.end(), buf, buf + got);
        }
        return out;
    }
};

// Reads n bytes through the stream using its readiness wait; bounded.
aErr readStream(aStream* s, Bytes& out, size_t n)
{
    out.clear();
    auto deadline = Clock::now() + std::chrono::seconds(2);
    while (out.size() < n && Clock::now() < deadline) {
        uint8_t b;
        aErr e = aStream_Read(s, &b, 1);
        if (e == aErrNone) {
            out.push_back(b);
            continue;
        }
        if (e != aErrNotReady)
            return e;
        aStream_WaitReadable(s, 50);
    }
    return out.size() == n ? aErrNone : aErrTimeout;
}

TEST(SocketStream, RefusedConnectionHandsOutNothing)
{
    Peer closed;
    uint16_t port = closed.port;
    closed.stopListening();
    aStream* s = reinterpret_cast<aStream*>(1);
    EXPECT_EQ(aErrResource, aStream_CreateSocket(kLoopback, port, &s));
    EXPECT_EQ(nullptr, s);
    EXPECT_EQ(aErrResource, aStream_CreateSocket(kLoopback, port, nullptr));
}

TEST(SocketStream, ExchangesBytesAndWaitsWithoutSpinning)
{
    Peer peer;
    aStream* s = nullptr;
    ASSERT_EQ(aErrNone, aStream_CreateSocket(kLoopback, peer.port, &s));
    ASSERT_TRUE(peer.accept());

    uint8_t b;
    EXPECT_EQ(aErrNotReady, aStream_Read(s, &b, 1));
    auto start = Clock::now();
    EXPECT_EQ(aErrTimeout, aStream_WaitReadable(s, 100));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(90));

    // A reply wakes the waiter at once.
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        peer.send({0x02, 0x01, 0x05});
    });
    start = Clock::now();
    EXPECT_EQ(aErrNone, aStream_WaitReadable(s, 2000));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
    later.join();
    Bytes got;
    ASSERT_EQ(aErrNone, readStream(s, got, 3));
    EXPECT_EQ((Bytes{0x02, 0x01, 0x05}), got);

    const Bytes packet = {0x04, 0x02, 0xAF, 0x01};
    ASSERT_EQ(aErrNone, aStream_Write(s, packet.data(), packet.size()));
    EXPECT_EQ(packet, peer.receive(4));
    EXPECT_EQ(aErrNone, aStream_Destroy(&s));
}

TEST(SocketStream, ReconnectsAfterThePeerDropsTheConnection)
{
    for (bool reset : {true, false}) {
        SCOPED_TRACE(reset ? "reset" : "orderly close");
        Peer peer;
        aStream* s = nullptr;
        ASSERT_EQ(aErrNone, aStream_CreateSocket(kLoopback, peer.port, &s));
        ASSERT_TRUE(peer.accept());
        peer.drop(reset);

        // The reader notices and connects again.
        uint8_t b;
        auto deadline = Clock::now() + std::chrono::seconds(2);
        while (peer.conn < 0 && Clock::now() < deadline) {
            EXPECT_EQ(aErrNotReady, aStream_Read(s, &b, 1));
            peer.accept(20);
        }
        ASSERT_GE(peer.conn, 0) << "no new connection";
        peer.send({0x07, 0x00});
        Bytes got;
        ASSERT_EQ(aErrNone, readStream(s, got, 2));
        EXPECT_EQ((Bytes{0x07, 0x00}), got);

        // A writer that finds the connection broken sends the whole write on a
        // new one.
        peer.drop(true);
        const Bytes packet = {0x02, 0x03, 0x03, 0x48, 0x20};
        std::thread acceptor([&] { peer.accept(); });
        aErr e = aStream_Write(s, packet.data(), packet.size());
        acceptor.join();
        EXPECT_EQ(aErrNone, e);
        ASSERT_GE(peer.conn, 0);
        EXPECT_EQ(packet, peer.receive(packet.size()));
        EXPECT_EQ(aErrNone, aStream_Destroy(&s));
    }
}

TEST(SocketStream, WriteThatCannotCompleteReportsFailure)
{
    // The peer is gone for good: the reconnection fails and the write says so
    // after a bounded number of attempts.
    {
        Peer peer;
        aStream* s = nullptr;
        ASSERT_EQ(aErrNone, aStream_CreateSocket(kLoopback, peer.port, &s));
        ASSERT_TRUE(peer.accept());
        peer.stopListening();
        peer.drop(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const Bytes packet = {0x02, 0x00};
        auto start = Clock::now();
        aErr e = aStream_Write(s, packet.data(), packet.size());
        EXPECT_NE(aErrNone, e);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
        // Once unconnected, reads and writes say so until the link is rebuilt.
        uint8_t b;
        EXPECT_EQ(aErrConnection, aStream_Read(s, &b, 1));
        EXPECT_EQ(aErrConnection, aStream_Write(s, packet.data(), packet.size()));
        aStream_Destroy(&s);
    }
    // The peer never reads: once its buffers are full the write gives up
    // instead of claiming success with bytes unsent.
    {
        Peer peer;
        aStream* s = nullptr;
        ASSERT_EQ(aErrNone, aStream_CreateSocket(kLoopback, peer.port, &s));
        ASSERT_TRUE(peer.accept());
        Bytes flood(64u << 20, 0x55);
        auto start = Clock::now();
        EXPECT_EQ(aErrTimeout, aStream_Write(s, flood.data(), flood.size()));
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
        aStream_Destroy(&s);
    }
}

} // namespace
