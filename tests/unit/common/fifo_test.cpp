// Packet FIFO: order, predicate takes and waits, capacity, destruction.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "lib/common/packetfifo.h"

namespace {

using Clock = std::chrono::steady_clock;

aPacket* make(uint8_t tag)
{
    const uint8_t d[1] = {tag};
    return aPacket_CreateWithData(0x02, 1, d);
}

aErr put(aPacketFifoId id, uint8_t tag)
{
    aPacket* p = make(tag);
    aErr e = aPacketFifo_Put(id, p);
    aPacket_Destroy(&p);
    return e;
}

// Returns the tag of a taken packet (and releases it), or -1 for none.
int tagOf(aPacket* p)
{
    if (p == nullptr)
        return -1;
    int t = p->data[0];
    aPacket_Destroy(&p);
    return t;
}

struct Fifo {
    aPacketFifoId id = aPacketFifo_Create();
    ~Fifo()
    {
        if (id != 0)
            aPacketFifo_Destroy(&id);
    }
};

// Accepts one tag and counts how often it was asked about each tag.
struct Asked {
    uint8_t accept;
    std::map<int, int> count;
};

uint8_t askedFilter(const aPacket* p, void* ref)
{
    auto* a = static_cast<Asked*>(ref);
    a->count[p->data[0]]++;
    return p->data[0] == a->accept;
}

uint8_t acceptAll(const aPacket*, void*) { return 1; }

long msSince(Clock::time_point t0)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

} // namespace

TEST(Fifo, KeepsOrderAndCopies)
{
    Fifo f;
    ASSERT_NE(f.id, 0u);
    for (uint8_t t : {'A', 'B', 'C'})
        ASSERT_EQ(put(f.id, t), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 3u);
    EXPECT_EQ(tagOf(aPacketFifo_Get(f.id)), 'A');
    EXPECT_EQ(tagOf(aPacketFifo_Get(f.id)), 'B');
    EXPECT_EQ(tagOf(aPacketFifo_Get(f.id)), 'C');
    EXPECT_EQ(aPacketFifo_Get(f.id), nullptr);
}

TEST(Fifo, RefusesInvalidPacketsAndUnknownIds)
{
    Fifo f;
    aPacket bogus{};
    EXPECT_EQ(aPacketFifo_Put(f.id, &bogus), aErrParam);
    EXPECT_EQ(aPacketFifo_Put(f.id, nullptr), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 0u);
    EXPECT_EQ(put(0, 'A'), aErrParam);
    EXPECT_EQ(aPacketFifo_Get(0), nullptr);
    EXPECT_EQ(aPacketFifo_DrainPackets(0, acceptAll, nullptr), 0u);
}

TEST(Fifo, GetFirstTakesTheMatchAndLeavesTheRestInOrder)
{
    Fifo f;
    for (uint8_t t : {'A', 'B', 'C'})
        put(f.id, t);
    Asked asked{'B', {}};
    EXPECT_EQ(tagOf(aPacketFifo_GetFirst(f.id, askedFilter, &asked)), 'B');
    EXPECT_EQ(asked.count['C'], 0);  // the walk stops at the first accepted packet
    EXPECT_EQ(tagOf(aPacketFifo_Get(f.id)), 'A');
    EXPECT_EQ(tagOf(aPacketFifo_Get(f.id)), 'C');
}

TEST(Fifo, AwaitFirstAsksAboutEachPacketOncePerCall)
{
    Fifo f;
    put(f.id, 'A');
    put(f.id, 'C');
    Asked asked{'M', {}};
    std::thread producer([&] {
        for (uint8_t t : {'x', 'y', 'z'}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            put(f.id, t);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        put(f.id, 'M');
    });
    aPacket* got = aPacketFifo_AwaitFirst(f.id, askedFilter, &asked, 5000);
    producer.join();
    EXPECT_EQ(tagOf(got), 'M');
    for (int t : {'A', 'C', 'x', 'y', 'z', 'M'})
        EXPECT_EQ(asked.count[t], 1) << char(t);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 5u);  // the rejected ones stay for others

    // Puts that never match wake the waiter; it still ends empty-handed at
    // its deadline and takes nothing.
    std::thread noise([&] {
        for (uint8_t t : {'p', 'q', 'r'}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            put(f.id, t);
        }
    });
    Asked none{'#', {}};
    EXPECT_EQ(aPacketFifo_AwaitFirst(f.id, askedFilter, &none, 150), nullptr);
    noise.join();
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 8u);
}

TEST(Fifo, AwaitTimesOutOrReturnsAPutAtOnce)
{
    Fifo f;
    auto t0 = Clock::now();
    EXPECT_EQ(aPacketFifo_Await(f.id, 100), nullptr);
    EXPECT_GE(msSince(t0), 95);

    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        put(f.id, 'P');
    });
    t0 = Clock::now();
    EXPECT_EQ(tagOf(aPacketFifo_Await(f.id, 5000)), 'P');
    EXPECT_LT(msSince(t0), 2000);
    producer.join();
}

TEST(Fifo, The1001stPutEmptiesTheQueue)
{
    Fifo f;
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(put(f.id, static_cast<uint8_t>(i)), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 1000u);
    EXPECT_EQ(put(f.id, 'X'), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 0u);
    // Still usable afterwards, and waiters see new packets normally.
    put(f.id, 'Y');
    Asked asked{'Y', {}};
    EXPECT_EQ(tagOf(aPacketFifo_AwaitFirst(f.id, askedFilter, &asked, 100)), 'Y');
}

TEST(Fifo, DrainRemovesMatchesAndKeepsOrder)
{
    Fifo f;
    for (uint8_t t : {'A', 'B', 'A', 'C', 'A'})
        put(f.id, t);
    Asked asked{'A', {}};
    EXPECT_EQ(aPacketFifo_DrainPackets(f.id, askedFilter, &asked), 3u);
    EXPECT_EQ(tagOf(aPacketFifo_Get(f.id)), 'B');
    EXPECT_EQ(tagOf(aPacketFifo_Get(f.id)), 'C');
    put(f.id, 'D');
    put(f.id, 'E');
    EXPECT_EQ(aPacketFifo_DrainPackets(f.id, acceptAll, nullptr), 2u);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 0u);
}

TEST(Fifo, DestroyReleasesWaitersAtOnce)
{
    aPacketFifoId id = aPacketFifo_Create();
    std::atomic<long> waited{-1};
    std::atomic<bool> gotNull{false};
    std::atomic<bool> firstGotNull{false};
    std::thread waiter([&] {
        auto t0 = Clock::now();
        gotNull = aPacketFifo_Await(id, 10000) == nullptr;
        waited = msSince(t0);
    });
    std::thread firstWaiter([&] {
        Asked asked{'Z', {}};
        firstGotNull = aPacketFifo_AwaitFirst(id, askedFilter, &asked, 10000) == nullptr;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    aPacketFifoId copy = id;
    EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone);
    EXPECT_EQ(id, 0u);
    waiter.join();
    firstWaiter.join();
    EXPECT_TRUE(gotNull);
    EXPECT_TRUE(firstGotNull);
    EXPECT_LT(waited, 2000);
    EXPECT_EQ(aPacketFifo_Destroy(&copy), aErrNotFound);
    EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
    EXPECT_EQ(put(copy, 'A'), aErrParam);
}

TEST(FifoDeathTest, IdsStartAtOneInAFreshProcess)
{
    // Re-executed on its own, so no other test has taken ids before.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(static_cast<int>(aPacketFifo_Create())), ::testing::ExitedWithCode(1), "");
}
