// Pooled writing: the writer packs queued packets into one stream write.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "lib/common/aLink.h"
#include "lib/common/aLinkManagerInternal.h"

namespace {

// A transport that never has bytes to read and records every write.
struct Recorder {
    std::mutex m;
    std::vector<std::vector<uint8_t>> writes;
};

aErr recGet(uint8_t*, void*) { return aErrNotReady; }
aErr recPut(const uint8_t* byte, void* ref)
{
    auto* r = static_cast<Recorder*>(ref);
    std::lock_guard<std::mutex> l(r->m);
    r->writes.push_back({*byte});
    return aErrNone;
}
aErr recWrite(const uint8_t* bytes, size_t n, void* ref)
{
    auto* r = static_cast<Recorder*>(ref);
    std::lock_guard<std::mutex> l(r->m);
    r->writes.emplace_back(bytes, bytes + n);
    return aErrNone;
}

} // namespace

TEST(EnginePooled, FirstPooledWriteCarries678OfSevenHundredQueuedPackets)
{
    Recorder rec;
    aStream* stream = aStream_Create(recGet, recPut, recWrite, nullptr, &rec);
    ASSERT_NE(stream, nullptr);
    aLinkRef h = sCreate(0xFFFFFFFFu, 0, 0);
    ASSERT_EQ(aLink_Init(h, stream), h);
    const uint8_t data[4] = {0x30, 0x81, 0x20, 0x00};
    aPacket* p = aPacket_CreateWithData(0x02, 4, data);
    for (int i = 0; i < 700; ++i)
        ASSERT_EQ(aLink_PutPacket(h, p), aErrNone);
    aPacket_Destroy(&p);
    ASSERT_EQ(aLink_EnablePooledPackets(h, true), aErrNone);
    ASSERT_EQ(aLink_Start(h), aErrNone);

    size_t total = 0;
    // All 700 packets and the route request that the start queues behind them.
    for (int i = 0; i < 300 && total < 700 * 6 + 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::lock_guard<std::mutex> l(rec.m);
        total = 0;
        for (auto& w : rec.writes)
            total += w.size();
    }
    aLink_Destroy(&h);
    std::lock_guard<std::mutex> l(rec.m);
    ASSERT_GE(rec.writes.size(), 2u);
    EXPECT_EQ(rec.writes[0].size(), 678u * 6);  // 4068 bytes: one more would not fit
    total = 0;
    for (auto& w : rec.writes)
        total += w.size();
    EXPECT_EQ(total, 700u * 6 + 3 + 3);
    EXPECT_EQ(std::vector<uint8_t>(rec.writes[0].begin(), rec.writes[0].begin() + 6),
              (std::vector<uint8_t>{0x02, 0x04, 0x30, 0x81, 0x20, 0x00}));
    const auto& last = rec.writes.back();
    EXPECT_EQ(std::vector<uint8_t>(last.end() - 3, last.end()), (std::vector<uint8_t>{0xAF, 0x01, 0x00}));
}
