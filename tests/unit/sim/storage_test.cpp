// Module queries, debug echo, factory data and store slots of the simulated module.
#include "tests/unit/sim/sim_fixture.h"

namespace {

using simtest::Bench;
using simtest::Bytes;

TEST(SimQueries, BuildUeiSupportClassCountsAndEcho)
{
    Bench b("module serial=1 transport=tcp hb=0 build=0x01020304 deny=12");
    EXPECT_EQ(b.one({0x49, 0xFF}), (Bytes{0x49, 0xFF, 1, 2, 3, 4}));
    struct Case {
        uint8_t cmd, opt, idx, flags, status;
    } cases[] = {
        {3, 9, 0, 0x40, 0},     // serial number can be read
        {3, 9, 0, 0x80, 12},    // ... not written
        {3, 2, 0, 0x80, 0},     // router address can be written
        {3, 11, 0, 0x40, 7},    // reset cannot be read
        {3, 5, 0, 0x40, 29},    // no such option
        {3, 12, 0, 0x40, 29},   // denied option
        {3, 9, 1, 0x40, 26},    // no second system entity
        {0x5F, 10, 0, 0x80, 28} // no upgrade entity here
    };
    for (auto& c : cases)
        EXPECT_EQ(b.one({0x49, 1, c.cmd, c.opt, c.idx, c.flags}), (Bytes{0x49, 1, c.cmd, c.opt, c.idx, c.status}));
    EXPECT_EQ(b.one({0x49, 4, 3}), (Bytes{0x49, 4, 3, 1}));
    EXPECT_EQ(b.one({0x49, 4, 8}), (Bytes{0x49, 4, 8, 0}));
    EXPECT_EQ(b.one({0x49, 5, 3, 0}), (Bytes{0x49, 5, 3, 0, 0}));
    EXPECT_EQ(b.one({0x17, 1, 2, 0, 0xFF}), (Bytes{0x17, 1, 2, 0, 0xFF}));
}

Bytes pattern(std::size_t n)
{
    Bytes v;
    for (std::size_t i = 0; i < n; ++i)
        v.push_back(static_cast<uint8_t>(i * 7 + 1));
    return v;
}

TEST(SimFactoryData, WriteThenReadRoundTrip)
{
    Bench b("module serial=1 transport=tcp hb=0");
    const Bytes data = pattern(27);
    Bytes first{0x5E, 0x40 | 0x10 | 3};
    first.insert(first.end(), data.begin(), data.begin() + 26);
    EXPECT_EQ(b.one(first), (Bytes{0x5E, 3}));
    EXPECT_EQ(b.one({0x5E, 0x10 | 3, data[26]}), (Bytes{0x5E, 3}));
    EXPECT_EQ(b.one({0x5E, 0x20, 0, 27}), (Bytes{0x5E, 0}));
    ASSERT_NE(b.top().factory_record(3), nullptr);
    EXPECT_EQ(*b.top().factory_record(3), data);

    // Read back: a full packet (26 bytes after the header), then the rest.
    auto r1 = b.one({0x5E, 0x40 | 3});
    ASSERT_EQ(r1.size(), 28u);
    auto r2 = b.one({0x5E, 3});
    EXPECT_EQ(r2, (Bytes{0x5E, 3, data[26]}));
    EXPECT_EQ(Bytes(r1.begin() + 2, r1.end()), Bytes(data.begin(), data.begin() + 26));
    EXPECT_EQ(b.one({0x5E, 0x20, 0, 27}), (Bytes{0x5E, 0}));
}

TEST(SimFactoryData, ExactMultipleEndsWithAnEmptyChunkAndErrorsCarryBit7)
{
    Bench b("module serial=1 transport=tcp hb=0 factory=2:" + std::string(52, 'A'));
    EXPECT_EQ(b.one({0x5E, 0x40 | 2}).size(), 28u);
    EXPECT_EQ(b.one({0x5E, 2}), (Bytes{0x5E, 2}));
    // Close with a count the module did not send: aErrSize.
    EXPECT_EQ(b.one({0x5E, 0x20, 0, 25}), (Bytes{0x5E, 0x80, 14}));
    // A record that does not exist: aErrNotFound.
    EXPECT_EQ(b.one({0x5E, 0x40 | 9}), (Bytes{0x5E, 0x89, 3}));
    // A write whose close announces fewer bytes than arrived is not stored.
    EXPECT_EQ(b.one({0x5E, 0x50 | 4, 1, 2, 3}), (Bytes{0x5E, 4}));
    EXPECT_EQ(b.one({0x5E, 0x20, 0, 2}), (Bytes{0x5E, 0x80, 14}));
    EXPECT_EQ(b.top().factory_record(4), nullptr);
}

TEST(SimStoreSlots, LoadAndUnloadRoundTripWithByteSums)
{
    Bench b("module serial=1 transport=tcp hb=0 slots=100,40");
    EXPECT_EQ(b.one({4, 1, 0, 1}), (Bytes{4, 1, 0, 1, 0, 40}));
    EXPECT_EQ(b.one({4, 2, 0, 1}), (Bytes{4, 2, 0, 1, 0, 0}));
    auto open = b.one({4, 4, 0, 1});
    ASSERT_EQ(open.size(), 5u);
    const uint8_t h = open[4];
    const Bytes data = pattern(30);
    Bytes chunk{4, 7, h};
    chunk.insert(chunk.end(), data.begin(), data.begin() + 25);
    uint8_t sum = 0;
    for (int i = 0; i < 25; ++i)
        sum = static_cast<uint8_t>(sum + data[i]);
    EXPECT_EQ(b.one(chunk), (Bytes{4, 7, h, sum}));
    Bytes rest{4, 7, h};
    rest.insert(rest.end(), data.begin() + 25, data.end());
    EXPECT_EQ(b.one(rest).size(), 4u);
    EXPECT_EQ(b.one({4, 8, h}), (Bytes{4, 8, h, 0}));
    EXPECT_EQ(*b.top().slot(1), data);
    EXPECT_EQ(b.one({4, 2, 0, 1}), (Bytes{4, 2, 0, 1, 0, 30}));

    auto ropen = b.one({4, 3, 0, 1});
    const uint8_t rh = ropen.at(4);
    auto c1 = b.one({4, 6, rh});
    auto c2 = b.one({4, 6, rh});
    ASSERT_EQ(c1.size(), 28u);
    ASSERT_EQ(c2.size(), 8u);
    Bytes back(c1.begin() + 3, c1.end());
    back.insert(back.end(), c2.begin() + 3, c2.end());
    EXPECT_EQ(back, data);
    EXPECT_EQ(b.one({4, 8, rh}), (Bytes{4, 8, rh, 0}));
}

TEST(SimStoreSlots, ErrorsAndInjectedWrongSum)
{
    Bench b("module serial=1 transport=tcp hb=0 slots=10 bad_sum");
    EXPECT_EQ(b.one({4, 1, 0, 5}), (Bytes{4, 0x81, 0, 5, 26}));   // no slot 5
    EXPECT_EQ(b.one({4, 1, 1, 0}), (Bytes{4, 0x81, 1, 0, 26}));   // no store 1
    EXPECT_EQ(b.one({4, 6, 77}), (Bytes{4, 0x86, 77, 3}));        // unknown handle
    const uint8_t h = b.one({4, 4, 0, 0}).at(4);
    EXPECT_EQ(b.one({4, 4, 0, 0}), (Bytes{4, 0x84, 0, 0, 5}));    // already open
    EXPECT_EQ(b.one({4, 7, h, 1, 2, 3}), (Bytes{4, 7, h, 7}));    // sum 6, reported 7
    EXPECT_EQ(b.one({4, 7, h, 1, 1, 1, 1, 1, 1, 1, 1}), (Bytes{4, 0x87, h, 15})); // over capacity
    EXPECT_EQ(b.one({4, 8, h}), (Bytes{4, 8, h, 0}));
}

} // namespace
