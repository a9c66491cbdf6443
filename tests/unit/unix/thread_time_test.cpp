#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "lib/unix/aMutex.h"
#include "lib/unix/aThread.h"
#include "lib/unix/aTime.h"
#include "lib/unix/unix_time_slices.h"

namespace {

TEST(Mutex, NamesAndRefusals)
{
    const std::string longest(255, 'n'), tooLong(256, 'n');
    aMutexRef m = aMutex_Create(longest.c_str());
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(longest, aMutex_Identifier(m));
    EXPECT_EQ(aErrNone, aMutex_Destroy(&m));
    EXPECT_EQ(nullptr, m);
    EXPECT_EQ(nullptr, aMutex_Create(tooLong.c_str()));

    m = aMutex_Create(nullptr);
    ASSERT_NE(nullptr, m);
    EXPECT_STREQ("", aMutex_Identifier(m));
    aMutex_Destroy(&m);

    EXPECT_EQ(aErrParam, aMutex_Lock(nullptr));
    EXPECT_EQ(aErrParam, aMutex_TryLock(nullptr));
    EXPECT_EQ(aErrParam, aMutex_Unlock(nullptr));
    EXPECT_EQ(aErrParam, aMutex_Destroy(&m));
    EXPECT_EQ(aErrParam, aMutex_Destroy(nullptr));
}

struct Shared {
    aMutexRef mutex;
    std::atomic<int> tryResult{-1};
    long counter = 0;
};

void* tryFromOtherThread(void* arg)
{
    auto* s = static_cast<Shared*>(arg);
    s->tryResult = aMutex_TryLock(s->mutex);
    return nullptr;
}

void* count(void* arg)
{
    auto* s = static_cast<Shared*>(arg);
    for (int i = 0; i < 10000; ++i) {
        aMutex_Lock(s->mutex);
        ++s->counter;
        aMutex_Unlock(s->mutex);
    }
    return reinterpret_cast<void*>(0x5);
}

TEST(Mutex, ExcludesOtherThreads)
{
    Shared s;
    s.mutex = aMutex_Create("shared");
    ASSERT_NE(nullptr, s.mutex);

    ASSERT_EQ(aErrNone, aMutex_Lock(s.mutex));
    aThreadRef t = aThread_Create(tryFromOtherThread, &s);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(0, aThread_Destroy(&t));
    EXPECT_EQ(nullptr, t);
    EXPECT_EQ(aErrBusy, s.tryResult.load());
    // A held mutex is not freed under its owner.
    EXPECT_EQ(aErrBusy, aMutex_Destroy(&s.mutex));
    ASSERT_NE(nullptr, s.mutex);
    EXPECT_EQ(aErrNone, aMutex_Unlock(s.mutex));

    std::vector<aThreadRef> threads;
    for (int i = 0; i < 4; ++i)
        threads.push_back(aThread_Create(count, &s));
    for (aThreadRef& th : threads) {
        ASSERT_NE(nullptr, th);
        EXPECT_EQ(0, aThread_Destroy(&th));
    }
    EXPECT_EQ(40000, s.counter);
    EXPECT_EQ(aErrNone, aMutex_Destroy(&s.mutex));
}

TEST(Thread, RefusesNothingToRun)
{
    EXPECT_EQ(nullptr, aThread_Create(nullptr, nullptr));
    aThreadRef none = nullptr;
    EXPECT_NE(0, aThread_Destroy(&none));
    EXPECT_NE(0, aThread_Destroy(nullptr));
}

TEST(Time, LongSleepsAreSliced)
{
    struct Case {
        uint32_t ms;
        std::vector<uint32_t> slices;
    } cases[] = {
        {0, {}},
        {1, {1000}},
        {999, {999000}},
        {1000, {999999, 1}},
        {2500, {999999, 999999, 500002}},
    };
    for (const auto& c : cases) {
        uint32_t got[8] = {};
        size_t n = aTime_SleepSlices(c.ms, got, 8);
        EXPECT_EQ(std::vector<uint32_t>(got, got + n), c.slices) << c.ms << " ms";
    }
    // Over 71 minutes the microseconds no longer fit 32 bits; the sleep must not
    // wrap to a short one (4,295,000,000 us in slices of 999,999).
    EXPECT_EQ(4296u, aTime_SleepSlices(4295000u, nullptr, 0));
}

TEST(Time, TicksFollowSleeping)
{
    uint32_t before = aTime_GetMSTicks();
    EXPECT_EQ(aErrNone, aTime_MSSleep(30));
    uint32_t elapsed = aTime_GetMSTicks() - before;
    EXPECT_GE(elapsed, 29u);
    EXPECT_LT(elapsed, 5000u);
    EXPECT_EQ(aErrNone, aTime_MSSleep(0));
}

} // namespace
