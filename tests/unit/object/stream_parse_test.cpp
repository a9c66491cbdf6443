// Stream keys, sample packets and the callback queue, without a module.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "lib/common/spscqueue.h"
#include "lib/object/Link.h"

namespace {

using Corvane::Velmarine::Link;

TEST(StreamKey, ElementsLiveInTheirBits)
{
    const uint64_t key = Link::createStreamKey(6, 12, 5, 3, 9);
    EXPECT_EQ(key, 0x00000009060C0503ull);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_MODULE), 6);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_CMD), 12);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_OPTION), 5);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_INDEX), 3);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_SUBINDEX), 9);
    EXPECT_EQ(Link::createStreamKey(0xFE, 0xFF, 0xFF, 0xFF, 0xFF) >> 40, 0u) << "bits 40-63 stay clear";

    uint32_t high = 0, low = 0;
    Link::getTimestampParts(0x0102030405060708ull, &high, &low);
    EXPECT_EQ(high, 0x01020304u);
    EXPECT_EQ(low, 0x05060708u);
}

aPacket* packetOf(std::vector<uint8_t> data)
{
    return aPacket_CreateWithData(6, static_cast<uint8_t>(data.size()), data.data());
}

std::vector<uint8_t> sample(uint8_t type, std::vector<uint8_t> value, int subindex = -1, uint8_t sequence = 0)
{
    std::vector<uint8_t> d{12, 5, 0x43, type};
    if (subindex >= 0) d.push_back(static_cast<uint8_t>(subindex));
    for (uint8_t b = 1; b <= 8; ++b) d.push_back(b);  // timestamp 0x0102030405060708
    d.insert(d.end(), value.begin(), value.end());
    d.push_back(sequence);
    return d;
}

TEST(StreamSample, PacketsAreClassifiedAndParsed)
{
    using P = Link::STREAM_PACKET;
    struct Case {
        const char* what;
        std::vector<uint8_t> data;
        P type;
        bool isSample;
        aErr parsed;
        uint32_t value;
        uint8_t subindex;
    } cases[] = {
        {"byte", sample(1, {0xAB}), P::STREAM_PACKET_BYTE, true, aErrNone, 0xAB, 0},
        {"short", sample(2, {0xAB, 0xCD}), P::STREAM_PACKET_SHORT, true, aErrNone, 0xABCD, 0},
        {"int", sample(3, {0xAB, 0xCD, 0xEF, 0x01}), P::STREAM_PACKET_INT, true, aErrNone, 0xABCDEF01, 0},
        {"byte+sub", sample(5, {0xAB}, 7), P::STREAM_PACKET_BYTE_SUBINDEX, true, aErrNone, 0xAB, 7},
        {"short+sub", sample(6, {0xAB, 0xCD}, 7), P::STREAM_PACKET_SHORT_SUBINDEX, true, aErrNone, 0xABCD, 7},
        {"int+sub", sample(7, {0xAB, 0xCD, 0xEF, 0x01}, 7), P::STREAM_PACKET_INT_SUBINDEX, true, aErrNone,
         0xABCDEF01, 7},
        {"int one byte short", sample(3, {0xAB, 0xCD, 0xEF}), P::STREAM_PACKET_INT, false, aErrPacket, 0, 0},
        {"byte with an int's length", sample(1, {0xAB, 0xCD, 0xEF, 0x01}), P::STREAM_PACKET_BYTE, false, aErrPacket,
         0, 0},
        {"continues", sample(3, {1, 2, 3, 4}, -1, 0x80), P::STREAM_PACKET_MULTI, false, aErrSize, 0, 0},
        {"second chunk", sample(3, {1, 2, 3, 4}, -1, 0x01), P::STREAM_PACKET_MULTI, false, aErrSize, 0, 0},
        {"type 0", sample(0, {1, 2, 3, 4}), P::STREAM_PACKET_NONE, false, aErrUnknown, 0, 0},
        {"type 8", sample(8, {1, 2, 3, 4}), P::STREAM_PACKET_NONE, false, aErrUnknown, 0, 0},
        {"not a stream value", {12, 5, 0x03, 1, 2}, P::STREAM_PACKET_NONE, false, aErrPacket, 0, 0},
        {"a get request", {12, 0x45, 0x43, 1, 2}, P::STREAM_PACKET_NONE, false, aErrPacket, 0, 0},
        {"a raw command", {0x5F, 5, 0x43, 1, 2}, P::STREAM_PACKET_NONE, false, aErrPacket, 0, 0},
        {"four bytes", {12, 5, 0x43, 1}, P::STREAM_PACKET_NONE, false, aErrPacket, 0, 0},
    };
    for (const auto& c : cases) {
        aPacket* p = packetOf(c.data);
        ASSERT_NE(p, nullptr) << c.what;
        EXPECT_EQ(Link::getStreamPacketType(p), c.type) << c.what;
        EXPECT_EQ(Link::isStreamSample(p), c.isSample) << c.what;
        uint64_t ts = 0;
        uint32_t value = 0;
        uint8_t sub = 0xEE;
        EXPECT_EQ(Link::getStreamSample(p, &ts, &value, &sub), c.parsed) << c.what;
        if (c.parsed == aErrNone) {
            EXPECT_EQ(ts, 0x0102030405060708ull) << c.what;
            EXPECT_EQ(value, c.value) << c.what;
            EXPECT_EQ(sub, c.subindex) << c.what;
            EXPECT_EQ(Link::getStreamSample(p, nullptr, nullptr, nullptr), aErrNone) << "outputs are optional";
        }
        aPacket_Destroy(&p);
    }
    EXPECT_EQ(Link::getStreamSample(nullptr, nullptr, nullptr, nullptr), aErrPacket);
}

TEST(StreamQueue, HoldsOneLessThanItsSlotsInOrder)
{
    LocklessQueue_SPSC<int, 4> q;
    int out = 0;
    EXPECT_FALSE(q.pop(out));
    for (int round = 0; round < 5; ++round) {  // wraps the indices several times
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(q.push(round * 10 + i));
        EXPECT_FALSE(q.push(99)) << "full at N - 1 items";
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(q.pop(out));
            EXPECT_EQ(out, round * 10 + i);
        }
        EXPECT_FALSE(q.pop(out));
    }
}

TEST(StreamQueue, OneProducerOneConsumerKeepOrder)
{
    constexpr int kItems = 50000;
    LocklessQueue_SPSC<int, 500> q;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::thread producer([&] {
        for (int i = 0; i < kItems && std::chrono::steady_clock::now() < deadline;)
            if (q.push(i)) ++i;
    });
    int expected = 0, out = 0;
    bool ordered = true;
    while (expected < kItems && std::chrono::steady_clock::now() < deadline) {
        if (!q.pop(out)) continue;
        ordered = ordered && out == expected;
        ++expected;
    }
    producer.join();
    EXPECT_EQ(expected, kItems);
    EXPECT_TRUE(ordered);
}

} // namespace
