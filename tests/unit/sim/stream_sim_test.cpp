// Streams of the simulated module: the sample layouts, enabling and disabling
// through command 0x5D, and the pace of the samples on the link.
#include "tests/unit/sim/sim_fixture.h"

#include "sim/module/streams.h"

namespace {

using simtest::Bench;
using simtest::Bytes;
using vmsim::Packet;

uint64_t timestamp_of(const Packet& p)
{
    std::size_t at = p.data[3] >= 5 ? 5 : 4;
    uint64_t t = 0;
    for (std::size_t i = 0; i < 8; ++i)
        t = (t << 8) | p.data[at + i];
    return t;
}

TEST(SimStreams, SampleLayoutOfEveryType)
{
    const uint64_t ts = 0x0102030405060708ull;
    const Bytes tsb{1, 2, 3, 4, 5, 6, 7, 8};
    auto cat = [](std::initializer_list<Bytes> parts) {
        Bytes out;
        for (auto& p : parts)
            out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    struct Case {
        uint8_t type;
        Bytes want;
    } cases[] = {
        {1, cat({{0x0C, 5, 0x42, 1}, tsb, {0xDD, 0}})},
        {2, cat({{0x0C, 5, 0x42, 2}, tsb, {0xCC, 0xDD, 0}})},
        {3, cat({{0x0C, 5, 0x42, 3}, tsb, {0xAA, 0xBB, 0xCC, 0xDD, 0}})},
        {5, cat({{0x0C, 5, 0x42, 5, 7}, tsb, {0xDD, 0}})},
        {6, cat({{0x0C, 5, 0x42, 6, 7}, tsb, {0xCC, 0xDD, 0}})},
        {7, cat({{0x0C, 5, 0x42, 7, 7}, tsb, {0xAA, 0xBB, 0xCC, 0xDD, 0}})},
    };
    const std::size_t sizes[] = {14, 15, 17, 15, 16, 18};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        auto s = vmsim::parse_stream_source("12:5:2:" + std::to_string(cases[i].type) + ":100:0:1:1:7");
        auto p = vmsim::stream_sample(6, s, ts, 0xAABBCCDD);
        ASSERT_EQ(p.size(), 1u);
        EXPECT_EQ(p[0].address, 6);
        EXPECT_EQ(p[0].data, cases[i].want) << "type " << int(cases[i].type);
        EXPECT_EQ(p[0].data.size(), sizes[i]);
    }

    auto s3 = vmsim::parse_stream_source("12:5:2:3");
    auto shortened = vmsim::stream_sample(6, s3, ts, 0xAABBCCDD, true);
    EXPECT_EQ(shortened[0].data, cat({{0x0C, 5, 0x42, 3}, tsb, {0xAA, 0xBB, 0xCC, 0}}));

    auto s4 = vmsim::parse_stream_source("12:5:2:4");
    auto multi = vmsim::stream_sample(6, s4, ts, 0xAABBCCDD);
    ASSERT_EQ(multi.size(), 2u);
    EXPECT_EQ(multi[0].data, cat({{0x0C, 5, 0x42, 4}, tsb, {0xAA, 0xBB, 0xCC, 0xDD, 0x80}}));
    EXPECT_EQ(multi[1].data, (Bytes{0x0C, 5, 0x42, 4, 0x55, 0x44, 0x33, 0x22, 0x01}));
}

TEST(SimStreams, BadSourceDescriptionsAreRefused)
{
    for (const char* v : {"12:5:2", "12:64:2:3", "12:5:32:3", "12:5:2:0", "12:5:2:8", "12:5:2:3:0", "x:5:2:3"})
        EXPECT_THROW(vmsim::parse_stream_source(v), std::runtime_error) << v;
}

TEST(SimStreams, EnabledStreamsSendAtTheirPeriodUntilDisabled)
{
    Bench b("module serial=1 address=2 transport=tcp hb=0 stream=12:5:0:3:50:0:100:10 stream=12:6:0:1:20:2");
    EXPECT_EQ(b.one({0x5D, 0x41, 0x20}), (Bytes{0x5D, 0x01, 0x00, 0})) << "not streaming yet";

    // Option 0xFF enables every option of entity (12, index 0).
    auto r = b.ask({0x5D, 0x81, 0x20, 0x02, 0x0C, 0xFF, 0x00});
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].data, (Bytes{0x5D, 0xC1, 0x00})) << "the acknowledgement comes before the first samples";
    EXPECT_EQ(r[1].data[1], 5);
    EXPECT_EQ(r[1].data.size(), 17u);
    EXPECT_EQ(r[1].data[15], 100) << "first value";
    EXPECT_EQ(r[2].data[1], 6);
    EXPECT_EQ(b.one({0x5D, 0x41, 0x20}), (Bytes{0x5D, 0x01, 0x00, 1}));

    auto t0 = timestamp_of(r[1]);
    auto later = b.advance(50); // option 6: two samples (20, 40) ends its count; option 5: one
    std::vector<Packet> five, six;
    for (auto& p : later)
        (p.data[1] == 5 ? five : six).push_back(p);
    ASSERT_EQ(five.size(), 1u);
    EXPECT_EQ(five[0].data[15], 110);
    EXPECT_EQ(timestamp_of(five[0]) - t0, 50000u) << "timestamps in microseconds";
    EXPECT_EQ(six.size(), 1u) << "count=2 stops option 6 after its second sample";

    // Disabling option 5 stops it; nothing else runs.
    EXPECT_EQ(b.one({0x5D, 0x82, 0x20, 0x02, 0x0C, 0x05, 0x00}), (Bytes{0x5D, 0xC2, 0x00}));
    EXPECT_TRUE(b.advance(200).empty());
    EXPECT_EQ(b.one({0x5D, 0x41, 0x20}), (Bytes{0x5D, 0x01, 0x00, 0}));
}

TEST(SimStreams, RequestErrors)
{
    struct Case {
        const char* lab;
        Bytes request;
        Bytes answer;
    } cases[] = {
        {"", {0x5D, 0x81, 0x20, 0x04, 0x0C, 0x05, 0x00}, {0x5D, 0xC1, 0x80, 2}},   // another module's address
        {"", {0x5D, 0x81, 0x21, 0x02, 0x0C, 0x05, 0x00}, {0x5D, 0xC1, 0x81, 26}},  // index 1
        {"", {0x5D, 0x81, 0x20, 0x02, 0x0C}, {0x5D, 0xC1, 0x80, 14}},              // not a 32-bit value
        {"", {0x5D, 0x83, 0x20, 0x02, 0x0C, 0x05, 0x00}, {0x5D, 0xC3, 0x80, 29}},  // option 3
        {" stream_deny=5", {0x5D, 0x81, 0x20, 0x02, 0x0C, 0x05, 0x00}, {0x5D, 0xC1, 0x80, 5}},
    };
    for (auto& c : cases) {
        Bench b(std::string("module serial=1 address=2 transport=tcp hb=0 stream=12:5:0:3") + c.lab);
        EXPECT_EQ(b.one(c.request), c.answer);
        EXPECT_TRUE(b.advance(500).empty()) << "a refused request starts nothing";
    }
}

TEST(SimStreams, BusModulesStreamOverTheRoutersLink)
{
    Bench b("router serial=AAAA0001 address=4 transport=tcp hb=0\n"
            "bus serial=B0000010 address=0x10 stream=20:1:3:2:100:1:0x1234\n");
    auto r = b.ask(0x10, {0x5D, 0x81, 0x20, 0x10, 20, 1, 3});
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], (Packet{0x10, {0x5D, 0xC1, 0x00}}));
    EXPECT_EQ(r[1].address, 0x10);
    EXPECT_EQ((Bytes{r[1].data.begin(), r[1].data.begin() + 4}), (Bytes{20, 1, 0x43, 2}));
    EXPECT_EQ((Bytes{r[1].data.end() - 3, r[1].data.end()}), (Bytes{0x12, 0x34, 0}));
}

} // namespace
