#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "lib/common/aStream.h"
#include "lib/common/cobs.h"
#include "lib/common/crc8.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(Crc8, MaximVectors)
{
    const Bytes a = {0x02, 0x01, 0x05}, b = {0x02, 0x00};
    const std::string check = "123456789";
    EXPECT_EQ(0xB4, crc8_create(a.data(), a.size()));
    EXPECT_EQ(0x91, crc8_create(b.data(), b.size()));
    EXPECT_EQ(0xA1, crc8_create(reinterpret_cast<const uint8_t*>(check.data()), check.size()));
    EXPECT_TRUE(crc8_check(a.data(), a.size(), 0xB4));
    EXPECT_FALSE(crc8_check(a.data(), a.size(), 0xB5));
}

TEST(Cobs, EncodeAndDecode)
{
    Bytes run254(254), run300(300);
    for (size_t i = 0; i < run300.size(); ++i)
        run300[i] = static_cast<uint8_t>(i % 255 + 1);
    for (size_t i = 0; i < run254.size(); ++i)
        run254[i] = static_cast<uint8_t>(i + 1);
    struct Case {
        Bytes raw, encoded;
    } cases[] = {
        {{0x00}, {0x01, 0x01}},
        {{0x00, 0x00}, {0x01, 0x01, 0x01}},
        {{0x11, 0x22, 0x00, 0x33}, {0x03, 0x11, 0x22, 0x02, 0x33}},
        {{0x11, 0x00}, {0x02, 0x11, 0x01}},
        {{0x02, 0x01, 0x05, 0xB4}, {0x05, 0x02, 0x01, 0x05, 0xB4}},
        {{0x02, 0x00, 0x91}, {0x02, 0x02, 0x02, 0x91}},
    };
    for (const auto& c : cases) {
        Bytes enc(COBS_ENCODED_MAX(c.raw.size()));
        enc.resize(cobs_encode(c.raw.data(), c.raw.size(), enc.data()));
        EXPECT_EQ(c.encoded, enc);
        Bytes dec(enc.size());
        dec.resize(cobs_decode(enc.data(), enc.size(), dec.data()));
        EXPECT_EQ(c.raw, dec);
        Bytes inplace = c.raw;
        inplace.resize(COBS_ENCODED_MAX(c.raw.size()));
        inplace.resize(cobs_encode_inplace(inplace.data(), c.raw.size()));
        EXPECT_EQ(c.encoded, inplace);
        inplace.resize(cobs_decode_inplace(inplace.data(), inplace.size()));
        EXPECT_EQ(c.raw, inplace);
    }
    // Long runs need a code byte every 254 data bytes, and nothing but those.
    for (const Bytes* raw : {&run254, &run300}) {
        Bytes enc(COBS_ENCODED_MAX(raw->size()));
        enc.resize(cobs_encode(raw->data(), raw->size(), enc.data()));
        EXPECT_EQ(raw->size() + (raw->size() > 254 ? 2 : 1), enc.size());
        for (uint8_t b : enc)
            EXPECT_NE(0, b);
        Bytes dec(enc.size());
        dec.resize(cobs_decode(enc.data(), enc.size(), dec.data()));
        EXPECT_EQ(*raw, dec);
    }
    // A code byte pointing past the end, or a zero inside, is not an encoding.
    const Bytes bad1 = {0x05, 0x11, 0x22}, bad2 = {0x03, 0x00, 0x11};
    uint8_t out[8];
    EXPECT_EQ(0u, cobs_decode(bad1.data(), bad1.size(), out));
    EXPECT_EQ(0u, cobs_decode(bad2.data(), bad2.size(), out));
}

// An in-memory line: what the framing stream writes, and what it reads.
struct Line {
    std::deque<uint8_t> incoming;
    Bytes outgoing;
    static aErr get(uint8_t* b, void* ref)
    {
        auto* l = static_cast<Line*>(ref);
        if (l->incoming.empty())
            return aErrIO;  // a line failure must read as "nothing yet"
        *b = l->incoming.front();
        l->incoming.pop_front();
        return aErrNone;
    }
    static aErr write(const uint8_t* d, size_t n, void* ref)
    {
        auto* l = static_cast<Line*>(ref);
        l->outgoing.insert(l->outgoing.end(), d, d + n);
        return aErrNone;
    }
    static aErr put(const uint8_t* b, void* ref) { return write(b, 1, ref); }
};

struct Framing : ::testing::Test {
    Line line;
    aStream* s = nullptr;
    void SetUp() override
    {
        ASSERT_EQ(aErrNone, aStream_CreateCobsEncoding(Line::get, Line::put, Line::write, nullptr, &line, &s));
    }
    void TearDown() override { aStream_Destroy(&s); }

    void feed(const Bytes& b) { line.incoming.insert(line.incoming.end(), b.begin(), b.end()); }

    // Gets until the line is drained and nothing more comes; the results as
    // text for compact expectations, e.g. "NR NR 02 01 05 NR ".
    std::string drain()
    {
        std::string out;
        int idle = 0;
        for (int guard = 0; guard < 2000; ++guard) {
            uint8_t b = 0;
            aErr e = aStream_Read(s, &b, 1);
            if (e == aErrNotReady && line.incoming.empty()) {
                if (++idle == 2)
                    break;
            } else {
                idle = 0;
            }
            char item[8];
            if (e == aErrNone)
                snprintf(item, sizeof item, "%02X ", b);
            else
                snprintf(item, sizeof item, "%s ", e == aErrNotReady ? "NR" : e == aErrPacket ? "PK" : "??");
            out += item;
        }
        return out;
    }

    static Bytes frameOf(const Bytes& wire)
    {
        Bytes raw = wire;
        raw.push_back(crc8_create(wire.data(), wire.size()));
        Bytes enc(COBS_ENCODED_MAX(raw.size()));
        enc.resize(cobs_encode(raw.data(), raw.size(), enc.data()));
        enc.push_back(0);
        return enc;
    }
};

TEST_F(Framing, WritesGoldenFrames)
{
    const Bytes p1 = {0x02, 0x01, 0x05}, p2 = {0x02, 0x00};
    ASSERT_EQ(aErrNone, aStream_Write(s, p1.data(), p1.size()));
    EXPECT_EQ((Bytes{0x05, 0x02, 0x01, 0x05, 0xB4, 0x00}), line.outgoing);
    line.outgoing.clear();
    ASSERT_EQ(aErrNone, aStream_Write(s, p2.data(), p2.size()));
    EXPECT_EQ((Bytes{0x02, 0x02, 0x02, 0x91, 0x00}), line.outgoing);

    // Several packets in one write become several frames; a size above 28
    // is not a packet and is dropped.
    line.outgoing.clear();
    const Bytes two = {0x02, 0x00, 0x02, 0x01, 0x05};
    ASSERT_EQ(aErrNone, aStream_Write(s, two.data(), two.size()));
    EXPECT_EQ((Bytes{0x02, 0x02, 0x02, 0x91, 0x00, 0x05, 0x02, 0x01, 0x05, 0xB4, 0x00}), line.outgoing);
    line.outgoing.clear();
    const Bytes bad = {0x02, 0x1D, 0x02, 0x00};
    ASSERT_EQ(aErrNone, aStream_Write(s, bad.data(), bad.size()));
    EXPECT_EQ((Bytes{0x02, 0x02, 0x02, 0x91, 0x00}), line.outgoing);
}

TEST_F(Framing, ByteByByteWritesAreFramedToo)
{
    // One-byte writes go through put: they must build the same frame as a
    // whole-packet write, and nothing may reach the line before it is complete.
    const Bytes p1 = {0x02, 0x01, 0x05};
    for (size_t i = 0; i < p1.size(); ++i) {
        ASSERT_EQ(aErrNone, aStream_Write(s, &p1[i], 1));
        if (i + 1 < p1.size())
            EXPECT_TRUE(line.outgoing.empty()) << "after byte " << i;
    }
    EXPECT_EQ((Bytes{0x05, 0x02, 0x01, 0x05, 0xB4, 0x00}), line.outgoing);

    // Over a transport with write only, and mixed with a multi-byte write.
    aStream* writeOnly = nullptr;
    Line other;
    ASSERT_EQ(aErrNone, aStream_CreateCobsEncoding(nullptr, nullptr, Line::write, nullptr, &other, &writeOnly));
    const uint8_t address = 0x02;
    const Bytes rest = {0x00, 0x02, 0x01, 0x05};
    ASSERT_EQ(aErrNone, aStream_Write(writeOnly, &address, 1));
    EXPECT_TRUE(other.outgoing.empty());
    ASSERT_EQ(aErrNone, aStream_Write(writeOnly, rest.data(), rest.size()));
    EXPECT_EQ((Bytes{0x02, 0x02, 0x02, 0x91, 0x00, 0x05, 0x02, 0x01, 0x05, 0xB4, 0x00}), other.outgoing);
    aStream_Destroy(&writeOnly);
}

TEST_F(Framing, ReadsGoldenFrames)
{
    feed({0x05, 0x02, 0x01, 0x05, 0xB4, 0x00});
    EXPECT_EQ("NR NR NR NR NR NR 02 01 05 NR ", drain());
    feed({0x00, 0x02, 0x02, 0x02, 0x91, 0x00});  // a lone 0x00 between frames is ignored
    EXPECT_EQ("NR NR NR NR NR NR 02 00 NR ", drain());
}

TEST_F(Framing, DamagedFrameIsReportedOnceAndTheNextArrives)
{
    feed({0x05, 0x02, 0x01, 0x05, 0xB5, 0x00});  // wrong CRC
    feed({0x05, 0x02, 0x01, 0x05, 0xB4, 0x00});
    EXPECT_EQ("NR NR NR NR NR PK NR NR NR NR NR NR 02 01 05 NR ", drain());

    // Wrong size byte, and a frame that does not decode.
    feed(frameOf({0x02, 0x03, 0x05}));
    feed({0x09, 0x01, 0x00});
    feed(frameOf({0x04, 0x00}));
    std::string got = drain();
    EXPECT_EQ(2u, std::count(got.begin(), got.end(), 'K')) << got;
    EXPECT_NE(std::string::npos, got.find("04 00 NR")) << got;
}

TEST_F(Framing, LongNoiseIsDiscarded)
{
    Bytes noise(200);
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<uint8_t>('A' + i % 26);
    feed(noise);
    feed({0x00});
    feed(frameOf({0x02, 0x01, 0x05}));
    std::string got = drain();
    EXPECT_EQ(std::string::npos, got.find("??")) << got;
    EXPECT_EQ(" PK NR NR NR NR NR NR 02 01 05 NR ", got.substr(got.size() - 34)) << got;

    // Noise running straight into a frame, short or long: the frame still arrives.
    for (size_t length : {5u, 31u, 200u}) {
        feed(Bytes(noise.begin(), noise.begin() + length));
        Bytes big = {0x03, 0x1C};
        for (uint8_t i = 1; i <= 28; ++i)
            big.push_back(i);
        feed(frameOf(big));
        got = drain();
        EXPECT_NE(std::string::npos, got.find("03 1C 01 02 03")) << length << ": " << got;
        EXPECT_EQ(std::string::npos, got.find("PK")) << length << ": " << got;
    }
}

} // namespace
