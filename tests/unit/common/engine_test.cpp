// The link engine against a scripted module over a real TCP connection on
// loopback and over a framed pseudo-terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "lib/common/aLink.h"
#include "tests/unit/common/engine_peer.h"

using peer::Bytes;
using peer::Module;

namespace {

using Clock = std::chrono::steady_clock;

bool waitStatus(aLinkRef h, int32_t state, int ms = 3000)
{
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < until) {
        if (aLink_GetStatus(h) == state)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return aLink_GetStatus(h) == state;
}

Bytes wireOf(aPacket* p)
{
    if (p == nullptr)
        return {};
    Bytes b(p->dataSize + 2u);
    b[0] = p->address;
    b[1] = p->dataSize;
    for (size_t i = 0; i < p->dataSize; ++i)
        b[i + 2] = p->data[i];
    aPacket_Destroy(&p);
    return b;
}

aErr putWire(aLinkRef h, const Bytes& wire)
{
    aPacket* p = aPacket_CreateWithData(wire[0], wire[1], wire.data() + 2);
    aErr e = aLink_PutPacket(h, p);
    aPacket_Destroy(&p);
    return e;
}

uint8_t commandIs(const aPacket* p, void* ref)
{
    return p->dataSize > 0 && p->data[0] == *static_cast<uint8_t*>(ref);
}

// Waits for a reply while the link may still be finding its step again.
aPacket* awaitReply(aLinkRef h, uint8_t cmd, int ms)
{
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < until) {
        if (aLink_GetStatus(h) == kLinkStateRunning) {
            if (aPacket* p = aLink_AwaitFirst(h, commandIs, &cmd, 50))
                return p;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return nullptr;
}

size_t count(const std::vector<Bytes>& packets, const Bytes& wanted)
{
    size_t n = 0;
    for (const auto& p : packets)
        n += p == wanted;
    return n;
}

const Bytes kRouteOn{0xAF, 0x01, 0x01};
const Bytes kRouteOff{0xAF, 0x01, 0x00};
const Bytes kSync{0xAD, 0x00};

// One module and one TCP link to it, created the way the object layer does.
struct TcpLink : ::testing::Test {
    std::unique_ptr<Module> module{Module::tcp()};
    aLinkRef h = 0;
    uint32_t serial = 0;

    void SetUp() override
    {
        static uint32_t next = 0x5E000000;
        serial = ++next;
        h = aLink_CreateTCPIP(serial, module->loopback(), module->port());
        ASSERT_NE(h, 0u);
        ASSERT_TRUE(module->waitPackets([](auto& p) { return !p.empty(); }));
        ASSERT_EQ(aLink_Sync(h), aErrNone);
        module->clear();
    }
    void TearDown() override
    {
        if (h != 0)
            aLink_Destroy(&h);
    }
};

} // namespace

TEST(EngineTcp, CreatesSynchronisesFromTheBurstAndDrainsTheSurplus)
{
    std::unique_ptr<Module> module(Module::tcp());
    aLinkRef h = aLink_CreateTCPIP(0x5D000001, module->loopback(), module->port());
    ASSERT_NE(h, 0u);
    EXPECT_EQ(aLink_GetStatus(h), kLinkStateRunning);
    ASSERT_TRUE(module->waitPackets([](auto& p) { return !p.empty(); }));
    EXPECT_EQ(module->received(), kRouteOn);  // nothing else at creation

    // The module answers every sync with 02 00: the first two bring the link in
    // step, the other four are surplus and must not be left as replies.
    ASSERT_EQ(aLink_Sync(h), aErrNone);
    EXPECT_EQ(aLink_GetStatus(h), kLinkStateRunning);
    Bytes expected = kRouteOn;
    for (int i = 0; i < 6; ++i)
        expected.insert(expected.end(), kSync.begin(), kSync.end());
    EXPECT_EQ(module->received(), expected);
    EXPECT_EQ(aLink_GetPacket(h), nullptr);

    module->clear();
    EXPECT_EQ(aLink_Destroy(&h), aErrNone);
    EXPECT_EQ(h, 0u);
    ASSERT_TRUE(module->waitPackets([](auto& p) { return !p.empty(); }));
    EXPECT_EQ(module->received(), kRouteOff);
}

TEST_F(TcpLink, AnswersHeartbeatsWithoutQueueingThem)
{
    module->sendPacket({0x02, 0x02, 0x00, 0x00});
    module->sendPacket({0x02, 0x02, 0x00, 0x01});
    module->sendPacket({0x02, 0x02, 0x00, 0x05});
    module->sendPacket({0x02, 0x03, 0x00, 0x01, 0x05});  // command 0 but not a heartbeat
    ASSERT_TRUE(module->waitPackets([](auto& p) { return p.size() >= 3; }));
    EXPECT_EQ(module->packets(), (std::vector<Bytes>{{0x02, 0x02, 0x00, 0x02},
                                                     {0x02, 0x02, 0x00, 0x03},
                                                     {0x02, 0x02, 0x00, 0x07}}));
    EXPECT_EQ(wireOf(aLink_AwaitPacket(h, 2000)), (Bytes{0x02, 0x03, 0x00, 0x01, 0x05}));
    EXPECT_EQ(aLink_GetPacket(h), nullptr);
}

TEST_F(TcpLink, DeliversRepliesByPredicateAndLeavesOthersQueued)
{
    module->setResponder([](const Bytes& req) -> std::vector<Bytes> {
        if (req[0] != 0x02)
            return {};
        // An unrelated stream value first, then the reply to the request.
        return {{0x02, 0x05, 0x0C, 0x05, 0x41, 0x00, 0x01}, {0x02, 0x04, req[2], 0x48, 0x00, 0x07}};
    });
    ASSERT_EQ(putWire(h, {0x02, 0x03, 0x03, 0x48, 0x20}), aErrNone);
    uint8_t cmd = 0x03;
    EXPECT_EQ(wireOf(aLink_AwaitFirst(h, commandIs, &cmd, 2000)), (Bytes{0x02, 0x04, 0x03, 0x48, 0x00, 0x07}));
    cmd = 0x0C;
    EXPECT_EQ(aLink_DrainPackets(h, commandIs, &cmd), 1u);
    // Nothing matches: the wait ends at its time-out.
    cmd = 0x7E;
    const auto t0 = Clock::now();
    EXPECT_EQ(aLink_AwaitFirst(h, commandIs, &cmd, 150), nullptr);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(140));
}

TEST_F(TcpLink, UserFilterConsumesOnlyWhenItAnswersOne)
{
    struct Seen {
        std::atomic<int> calls{0};
        std::atomic<uint8_t> answer{1};
    } seen;
    auto filter = [](const aPacket*, void* ref) -> uint8_t {
        auto* s = static_cast<Seen*>(ref);
        ++s->calls;
        return s->answer;
    };
    ASSERT_EQ(aLink_InstallUserPacketFilter(h, filter, &seen), aErrNone);
    module->sendPacket({0x02, 0x01, 0x10});
    module->sendPacket({0x02, 0x02, 0x00, 0x00});  // the filter sees heartbeats first
    for (int i = 0; i < 300 && seen.calls < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(seen.calls, 2);
    EXPECT_EQ(aLink_AwaitPacket(h, 100), nullptr);
    EXPECT_TRUE(module->packets().empty());  // a consumed heartbeat is not answered
    ASSERT_EQ(aLink_InstallUserPacketFilter(h, nullptr, nullptr), aErrNone);

    seen.answer = 2;
    ASSERT_EQ(aLink_InstallUserPacketFilter(h, filter, &seen), aErrNone);
    module->sendPacket({0x02, 0x01, 0x11});
    EXPECT_EQ(wireOf(aLink_AwaitPacket(h, 2000)), (Bytes{0x02, 0x01, 0x11}));
    ASSERT_EQ(aLink_InstallUserPacketFilter(h, nullptr, nullptr), aErrNone);
}

TEST_F(TcpLink, ResynchronisesWhenTheStreamIsOutOfStep)
{
    const Bytes cases[] = {
        {0x03},        // odd address byte
        {0x00},        // address 0
        {0x02, 0x1D},  // size above 28
    };
    for (const auto& bad : cases) {
        module->clear();
        module->sendRaw(bad);
        ASSERT_TRUE(module->waitPackets([](auto& p) { return count(p, kSync) >= 6; })) << int(bad.back());
        ASSERT_TRUE(waitStatus(h, kLinkStateRunning)) << int(bad.back());
        // In step again: a request gets its reply through.
        module->setResponder([](const Bytes&) -> std::vector<Bytes> { return {{0x02, 0x01, 0x42}}; });
        // The surplus sync answers are ordinary empty packets; skip them.
        ASSERT_EQ(putWire(h, {0x02, 0x01, 0x42}), aErrNone);
        EXPECT_EQ(wireOf(awaitReply(h, 0x42, 2000)), (Bytes{0x02, 0x01, 0x42}));
        module->setResponder(nullptr);
    }
}

TEST_F(TcpLink, SyncFailsWhenTheModuleNeverAnswers)
{
    module->setAnswerSync(false);
    EXPECT_EQ(aLink_Sync(h), aErrNotReady);
    EXPECT_EQ(aLink_GetStatus(h), kLinkStateSyncing);
    uint8_t cmd = 0;
    const auto t0 = Clock::now();
    EXPECT_EQ(aLink_AwaitFirst(h, commandIs, &cmd, 5000), nullptr);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(500));  // at once: not in step
    // Bursts repeat while waiting, but not back to back.
    const size_t bursts = count(module->packets(), kSync) / 6;
    EXPECT_GE(bursts, 2u);
    EXPECT_LE(bursts, 40u);
    module->setAnswerSync(true);
    EXPECT_TRUE(waitStatus(h, kLinkStateRunning));
}

TEST_F(TcpLink, AnswersFromTwoAddressesNeverCountAsInStep)
{
    // 02 00 04 00 ...: two empty packets, but not from the same module.
    module->setSyncAddresses({0x02, 0x04});
    EXPECT_EQ(aLink_Sync(h), aErrNotReady);
    EXPECT_EQ(aLink_GetStatus(h), kLinkStateSyncing);
    module->setSyncAddresses({0x04});
    EXPECT_TRUE(waitStatus(h, kLinkStateRunning));
}

TEST_F(TcpLink, RecoversFromADroppedConnection)
{
    module->setResponder([](const Bytes& req) -> std::vector<Bytes> {
        if (req[0] == 0x02)
            return {{0x02, 0x01, 0x55}};
        return {};
    });
    module->dropConnection();
    uint8_t cmd = 0x55;
    aPacket* reply = nullptr;
    // The stream reconnects by itself; requests lost on the dead connection
    // are the caller's to repeat, as with any missing reply.
    for (int attempt = 0; attempt < 20 && reply == nullptr; ++attempt) {
        putWire(h, {0x02, 0x01, 0x55});
        waitStatus(h, kLinkStateRunning, 1000);
        reply = aLink_AwaitFirst(h, commandIs, &cmd, 300);
    }
    EXPECT_EQ(wireOf(reply), (Bytes{0x02, 0x01, 0x55}));
    EXPECT_GE(module->connections(), 2);  // the reply came over a new connection
}

TEST_F(TcpLink, StopsWithTheRouteReleaseAsLastBytes)
{
    for (int i = 0; i < 5; ++i)
        putWire(h, {0x02, 0x01, static_cast<uint8_t>(0x60 + i)});
    EXPECT_EQ(aLink_Destroy(&h), aErrNone);
    ASSERT_TRUE(module->waitPackets([](auto& p) { return p.size() >= 6; }));
    auto rx = module->received();
    ASSERT_GE(rx.size(), 3u);
    EXPECT_EQ(Bytes(rx.end() - 3, rx.end()), kRouteOff);
    EXPECT_EQ(module->packets().size(), 6u);  // everything queued went out first
}

TEST(EngineSerial, RunsOverAFramedPseudoTerminal)
{
    std::unique_ptr<Module> module(Module::pty());
    ASSERT_FALSE(module->ptyName().empty());
    aLinkRef h = aLink_CreateSerial(0x5D000002, module->ptyName().c_str(), 115200);
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(module->waitPackets([](auto& p) { return !p.empty(); }));
    EXPECT_EQ(module->received(), (Bytes{0x05, 0xAF, 0x01, 0x01, 0x33, 0x00}));

    // Heartbeats are answered on the framed line too.
    module->clear();
    module->sendRaw({0x03, 0x02, 0x02, 0x01, 0x02, 0x48, 0x00});  // 02 02 00 00
    ASSERT_TRUE(module->waitPackets([](auto& p) { return !p.empty(); }));
    EXPECT_EQ(module->received(), (Bytes{0x03, 0x02, 0x02, 0x03, 0x02, 0xF4, 0x00}));  // 02 02 00 02

    // A 28-byte packet in each direction.
    module->clear();
    Bytes out{0x02, 0x1C};
    for (uint8_t i = 1; i <= 28; ++i)
        out.push_back(i);
    ASSERT_EQ(putWire(h, out), aErrNone);
    ASSERT_TRUE(module->waitPackets([](auto& p) { return !p.empty(); }));
    EXPECT_EQ(module->received(),
              (Bytes{0x20, 0x02, 0x1C, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A,
                     0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,
                     0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x10, 0x00}));
    module->sendRaw({0x20, 0x04, 0x1C, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49,
                     0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F, 0x50, 0x51, 0x52, 0x53, 0x54, 0x55,
                     0x56, 0x57, 0x58, 0x59, 0x5A, 0x5B, 0x5C, 0x0B, 0x00});
    Bytes in{0x04, 0x1C};
    for (uint8_t i = 0; i < 28; ++i)
        in.push_back(static_cast<uint8_t>(0x41 + i));
    EXPECT_EQ(wireOf(aLink_AwaitPacket(h, 2000)), in);

    // Line noise longer than any frame is a damaged frame: the link finds its
    // step again with a sync burst, answered in frames, and packets flow on.
    module->clear();
    Bytes noise(100, 0x5A);
    noise.push_back(0x00);
    module->sendRaw(noise);
    ASSERT_TRUE(module->waitPackets([](auto& p) { return count(p, kSync) >= 6; }));
    const Bytes burst = module->received();
    ASSERT_GE(burst.size(), 5u);
    EXPECT_EQ(Bytes(burst.begin(), burst.begin() + 5), (Bytes{0x02, 0xAD, 0x02, 0x67, 0x00}));
    ASSERT_TRUE(waitStatus(h, kLinkStateRunning));
    aLink_DrainPackets(h, [](const aPacket*, void*) -> uint8_t { return 1; }, nullptr);
    module->sendRaw({0x07, 0x02, 0x03, 0x10, 0x20, 0x30, 0x3E, 0x00});
    EXPECT_EQ(wireOf(awaitReply(h, 0x10, 3000)), (Bytes{0x02, 0x03, 0x10, 0x20, 0x30}));

    module->clear();
    EXPECT_EQ(aLink_Destroy(&h), aErrNone);
    ASSERT_TRUE(module->waitPackets([](auto& p) { return !p.empty(); }));
    auto rx = module->received();
    ASSERT_GE(rx.size(), 6u);
    EXPECT_EQ(Bytes(rx.end() - 6, rx.end()), (Bytes{0x03, 0xAF, 0x01, 0x02, 0x6D, 0x00}));
}
