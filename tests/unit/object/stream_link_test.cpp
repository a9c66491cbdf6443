// Stream subscriptions of a Link against simulated modules that stream on
// loopback TCP: the value cache behind getUEI, wildcard callbacks on the
// worker thread, samples that cannot be parsed, refusals and teardown.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

#include "lib/object/Entity.h"
#include "lib/object/Link.h"
#include "tests/unit/object/sim_module.h"

namespace {

using namespace std::chrono_literals;
using Corvane::Velmarine::EntityClass;
using Corvane::Velmarine::Link;
using Corvane::Velmarine::Module;
using objtest::connectTo;
using Status = Link::StreamStatusEntry;

constexpr uint8_t kW = Link::kStreamWildcard;
constexpr uint8_t kCmd = 12;  // an entity class the simulated modules stream but do not answer reads of
constexpr aErr kNoSuchEntity = aErrInvalidEntity;

constexpr uint32_t kOneShot = 0x57000001;  // one sample per value and enable
constexpr uint32_t kFast = 0x57000002;     // samples every 5 ms
constexpr uint32_t kShort = 0x57000003;    // samples one value byte short
constexpr uint32_t kRefuses = 0x57000004;  // refuses stream requests with code 5
constexpr uint32_t kRouter = 0x57000005;

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 3000ms)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

std::size_t statusCount(Link& link, uint8_t module)
{
    Status entries[16];
    std::size_t count = 0;
    link.getStreamStatus(module, kW, kW, kW, kW, entries, 16, &count);
    return count;
}

uint8_t sStreamPacket(const aPacket* packet, void*)
{
    return Link::isStreamPacket(packet) ? 1 : 0;
}

// True when a stream packet reached the link's ordinary receive queue.
bool streamPacketQueued(Link& link)
{
    aPacket* p = aLink_GetFirst(link.getLinkId(), sStreamPacket, nullptr);
    bool found = p != nullptr;
    if (p) aPacket_Destroy(&p);
    return found;
}

class StreamLab : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        sim = new netlab::SimProcess(
            "module serial=57000001 address=6 transport=tcp hb=0 stream=12:5:0:3:60000:1:0x11223344 "
            "stream=12:6:0:1:60000:1:0x7F stream=12:9:0:7:60000:1:100:1:1 stream=12:9:0:7:60000:1:200:1:2\n"
            "module serial=57000002 address=6 transport=tcp hb=0 stream=12:5:0:3:5 stream=12:6:1:2:5 "
            "stream=12:7:0:7:5:0:1:1:3\n"
            "module serial=57000003 address=6 transport=tcp hb=0 short_sample stream=12:5:0:3:5\n"
            "module serial=57000004 address=6 transport=tcp hb=0 stream_deny=5 stream=12:5:0:3:5\n"
            "router serial=57000005 address=4 transport=tcp hb=0\n"
            "bus serial=57000006 address=0x10 stream=12:5:0:3:2\n",
            {}, {"--no-discovery"});
    }
    static void TearDownTestSuite()
    {
        delete sim;
        sim = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(sim->ready()) << sim->error(); }

    static netlab::SimProcess* sim;
};
netlab::SimProcess* StreamLab::sim = nullptr;

TEST_F(StreamLab, TheFirstSampleIsReadFreshThenStaleUntilTheStreamIsDisabled)
{
    auto m = connectTo(*sim, kOneShot, 6);
    Link& link = *m->getLink();
    EntityClass e;
    e.init(m.get(), kCmd, 0);
    uint32_t value = 0;
    EXPECT_EQ(e.getUEI32(5, &value), kNoSuchEntity) << "nothing streamed yet: the module is asked";

    ASSERT_EQ(e.setStreamEnabled(true), aErrNone);
    ASSERT_TRUE(waitFor([&] { return statusCount(link, 6) == 4; })) << statusCount(link, 6);

    EXPECT_EQ(e.getUEI32(5, &value), aErrNone);
    EXPECT_EQ(value, 0x11223344u);
    value = 0;
    EXPECT_EQ(e.getUEI32(5, &value), aErrStreamStale);
    EXPECT_EQ(value, 0x11223344u);
    uint8_t byte = 0;
    EXPECT_EQ(e.getUEI8(6, &byte), aErrNone);
    EXPECT_EQ(byte, 0x7F);
    EXPECT_EQ(e.getUEI32(9, 2, &value), aErrNone);
    EXPECT_EQ(value, 200u);
    EXPECT_EQ(e.getUEI32(9, 1, &value), aErrNone);
    EXPECT_EQ(value, 100u);
    EXPECT_EQ(e.getUEI32(8, &value), kNoSuchEntity) << "an option nobody streamed still goes to the module";

    Status one[1] = {};
    std::size_t count = 0;
    EXPECT_EQ(e.getStreamStatus(one, 1, &count), aErrSize);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(Link::getStreamKeyElement(one[0].key, Link::STREAM_KEY_MODULE), 6);
    EXPECT_EQ(e.getStreamStatus(nullptr, 1, &count), aErrParam);
    EXPECT_EQ(e.getStreamStatus(one, 0, &count), aErrParam);

    // Disabling the entity removes every option and subindex of it.
    ASSERT_EQ(e.setStreamEnabled(false), aErrNone);
    EXPECT_EQ(statusCount(link, 6), 0u);
    EXPECT_TRUE(link.filterActiveStreamKeys(6, kW, kW, kW, kW).empty());
    EXPECT_EQ(e.getUEI32(5, &value), kNoSuchEntity);
    EXPECT_TRUE(sim->wait_event("stream-disable 12 255 0", 2000ms));
}

TEST_F(StreamLab, WildcardSubscriptionsCallBackOnTheWorkerWithoutHoldingUpTheReader)
{
    auto m = connectTo(*sim, kFast, 6);
    Link& link = *m->getLink();

    struct Seen {
        std::mutex mutex;
        std::set<std::thread::id> threads;
        std::set<std::tuple<uint8_t, uint8_t, uint8_t>> keys;  // option, index, subindex
        std::atomic<int> calls{0};
        std::atomic<bool> slow{true};
    } seen;
    auto callback = [](const aPacket* packet, void* ref) -> uint8_t {
        auto* s = static_cast<Seen*>(ref);
        if (s->slow.exchange(false)) std::this_thread::sleep_for(300ms);  // a slow first callback
        uint8_t sub = 0;
        Link::getStreamSample(packet, nullptr, nullptr, &sub);
        std::lock_guard<std::mutex> lock(s->mutex);
        s->threads.insert(std::this_thread::get_id());
        s->keys.emplace(packet->data[1], packet->data[2] & 0x1F, sub);
        ++s->calls;
        return 0;
    };
    ASSERT_EQ(link.registerStreamCallback(6, kCmd, kW, kW, true, callback, &seen), aErrNone);

    // While the first callback sleeps, samples keep arriving and are cached.
    ASSERT_TRUE(waitFor([&] { return statusCount(link, 6) == 3; }, 250ms)) << "the reader waited for a callback";
    uint8_t streaming = 0;
    EXPECT_EQ(link.isLinkStreaming(6, &streaming), aErrNone);
    EXPECT_EQ(streaming, 1);

    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(seen.mutex);
        return seen.keys.size() == 3;
    }));
    {
        std::lock_guard<std::mutex> lock(seen.mutex);
        EXPECT_EQ(seen.keys, (std::set<std::tuple<uint8_t, uint8_t, uint8_t>>{{5, 0, 0}, {6, 1, 0}, {7, 0, 3}}));
        ASSERT_EQ(seen.threads.size(), 1u) << "one worker runs every callback";
        EXPECT_NE(*seen.threads.begin(), std::this_thread::get_id());
    }

    ASSERT_EQ(link.registerStreamCallback(6, kCmd, kW, kW, false, nullptr, nullptr), aErrNone);
    EXPECT_EQ(statusCount(link, 6), 0u);
    std::this_thread::sleep_for(50ms);
    const int calls = seen.calls;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(seen.calls, calls) << "no callbacks after unsubscribing";
    EXPECT_FALSE(streamPacketQueued(link)) << "samples sent before the module stopped are not left as replies";
    EXPECT_EQ(link.isLinkStreaming(6, &streaming), aErrNone);
    EXPECT_EQ(streaming, 0);
}

TEST_F(StreamLab, SamplesNobodyCachesAreStillConsumed)
{
    // Samples one byte short: callbacks get them, no value is stored.
    {
        auto m = connectTo(*sim, kShort, 6);
        Link& link = *m->getLink();
        std::atomic<int> calls{0};
        std::atomic<int> size{0};
        auto callback = [&](const aPacket* packet, void*) -> uint8_t {
            size = packet->dataSize;
            ++calls;
            return 0;
        };
        EntityClass e;
        e.init(m.get(), kCmd, 0);
        ASSERT_EQ(e.registerOptionCallback(5, true, callback, nullptr), aErrNone);
        ASSERT_TRUE(waitFor([&] { return calls >= 3; }));
        EXPECT_EQ(size, 16);
        uei v{};
        EXPECT_EQ(link.getStreamValue(6, kCmd, 5, 0, 0, &v), aErrNotFound);
        EXPECT_EQ(statusCount(link, 6), 0u);
        EXPECT_FALSE(streamPacketQueued(link));
        EXPECT_EQ(e.registerOptionCallback(5, false, nullptr, nullptr), aErrNone);
    }
    // A stream this Link never subscribed to (enabled behind its back).
    auto m = connectTo(*sim, kFast, 6);
    Link& link = *m->getLink();
    ASSERT_EQ(link.enableStream(6, kCmd, 5, 0, true), aErrNone);
    uei request{};
    request.module = 6;
    request.command = 0x5D;
    request.option = 0x81;
    request.specifier = 0x20;
    request.type = ueiTypeInt;
    request.value.intVal = 0x060C0601;  // module 6, command 12, option 6, index 1
    ASSERT_EQ(link.sendUEI(request), aErrNone);
    request.option = 0xC1;
    request.specifier = 0;
    ASSERT_EQ(link.receiveUEI(6, 0x5D, 0xC1, 0, &request), aErrNone);
    ASSERT_TRUE(waitFor([&] { return statusCount(link, 6) == 1; }));
    std::this_thread::sleep_for(100ms);  // about 20 samples of option 6
    EXPECT_TRUE(link.filterActiveStreamKeys(6, kCmd, 6, kW, kW).empty());
    EXPECT_FALSE(streamPacketQueued(link));
    EXPECT_EQ(statusCount(link, 6), 1u);
}

TEST_F(StreamLab, RefusedOrImpossibleSubscriptionsLeaveNothingBehind)
{
    auto m = connectTo(*sim, kRefuses, 6);
    Link& link = *m->getLink();
    EntityClass e;
    e.init(m.get(), kCmd, 0);
    EXPECT_EQ(e.setStreamEnabled(true), aErrBusy) << "the module's own code";
    EXPECT_EQ(link.registerStreamCallback(6, kCmd, 5, 0, true, [](const aPacket*, void*) -> uint8_t { return 0; },
                                          nullptr),
              aErrBusy);
    EXPECT_TRUE(link.filterActiveStreamKeys(6, kW, kW, kW, kW).empty());

    EXPECT_EQ(link.enableStream(7, kCmd, 5, 0, true), aErrParam) << "odd module address";
    EXPECT_EQ(link.enableStream(0xFF, kCmd, 5, 0, true), aErrParam);

    Link unconnected("unconnected");
    Status entries[2];
    std::size_t count = 0;
    EXPECT_EQ(unconnected.getStreamStatus(6, kW, kW, kW, kW, entries, 2, &count), aErrConnection);
    EXPECT_EQ(unconnected.enableStream(6, kCmd, 5, 0, true), aErrConnection);
    EXPECT_TRUE(unconnected.filterActiveStreamKeys(6, kW, kW, kW, kW).empty());
    uei v{};
    EXPECT_EQ(unconnected.getStreamValue(6, kCmd, 5, 0, 0, &v), aErrNotFound);
}

TEST_F(StreamLab, ABusModuleLetsGoOfTheRoutersLinkWhileSamplesStillArrive)
{
    auto router = connectTo(*sim, kRouter, 4);
    for (int round = 0; round < 2; ++round) {
        auto onBus = std::make_unique<Module>(0x10, false, static_cast<uint8_t>(0));
        ASSERT_EQ(onBus->setConfig(objtest::directOnly()), aErrNone);
        ASSERT_EQ(onBus->connectThroughLinkModule(router.get()), aErrNone);
        EntityClass e;
        e.init(onBus.get(), kCmd, 0);
        ASSERT_EQ(e.setStreamEnabled(true), aErrNone);
        ASSERT_TRUE(waitFor([&] { return statusCount(*onBus->getLink(), 0x10) == 1; }));
        // The module keeps streaming on the router's link after the bus module's
        // Link is gone: first only disconnected, then destroyed while connected.
        if (round == 0) onBus->disconnect();
        onBus.reset();
        std::this_thread::sleep_for(100ms);
        EXPECT_TRUE(router->isConnected());
    }
}

} // namespace
