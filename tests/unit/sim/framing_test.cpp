// The simulator's framed serial line against the literal frame layout.
#include <gtest/gtest.h>

#include "sim/module/framing.h"

namespace {

using vmsim::FrameDecoder;
using vmsim::Packet;
using Bytes = std::vector<uint8_t>;

TEST(SimFraming, FramesMatchTheLiteralLineBytes)
{
    struct Case {
        Packet packet;
        Bytes line;
    } cases[] = {
        {{0x02, {0x05}}, {0x05, 0x02, 0x01, 0x05, 0xB4, 0x00}},
        {{0x02, {}}, {0x02, 0x02, 0x02, 0x91, 0x00}},
        {{0xAD, {}}, {0x02, 0xAD, 0x02, 0x67, 0x00}},
        {{0x02, {0x03, 0x09, 0x00, 0x40, 0xF5, 0x84, 0x9A}},
         {0x05, 0x02, 0x07, 0x03, 0x09, 0x06, 0x40, 0xF5, 0x84, 0x9A, 0x73, 0x00}},
    };
    for (auto& c : cases) {
        EXPECT_EQ(vmsim::frame_packet(c.packet), c.line);
        FrameDecoder dec;
        Packet got;
        for (std::size_t i = 0; i + 1 < c.line.size(); ++i)
            ASSERT_EQ(dec.feed(c.line[i], &got), FrameDecoder::Result::Pending);
        ASSERT_EQ(dec.feed(0x00, &got), FrameDecoder::Result::Packet);
        EXPECT_EQ(got, c.packet);
    }
}

TEST(SimFraming, LargestPacketCrossesIntactIn33LineBytes)
{
    Packet p{0x04, {}};
    for (int i = 0; i < 28; ++i)
        p.data.push_back(static_cast<uint8_t>(i * 9)); // includes zero bytes
    auto line = vmsim::frame_packet(p);
    EXPECT_EQ(line.size(), 33u);
    FrameDecoder dec;
    Packet got;
    FrameDecoder::Result r = FrameDecoder::Result::Pending;
    for (uint8_t b : line)
        r = dec.feed(b, &got);
    ASSERT_EQ(r, FrameDecoder::Result::Packet);
    EXPECT_EQ(got, p);
}

TEST(SimFraming, DamagedFrameIsRejectedAndTheNextOneIsReceived)
{
    FrameDecoder dec;
    Packet got;
    // Wrong CRC byte (B5 instead of B4), then a lone delimiter, then a good frame.
    Bytes bad{0x05, 0x02, 0x01, 0x05, 0xB5, 0x00};
    FrameDecoder::Result r{};
    for (uint8_t b : bad)
        r = dec.feed(b, &got);
    EXPECT_EQ(r, FrameDecoder::Result::Bad);
    EXPECT_EQ(dec.feed(0x00, &got), FrameDecoder::Result::Pending);
    for (uint8_t b : Bytes{0x02, 0x02, 0x02, 0x91, 0x00})
        r = dec.feed(b, &got);
    EXPECT_EQ(r, FrameDecoder::Result::Packet);
    EXPECT_EQ(got, (Packet{0x02, {}}));
    // A size byte that disagrees with the frame length is no packet either.
    // [02 02 05] claims two data bytes but carries one; its CRC is right (E1).
    Bytes wrong_size{0x05, 0x02, 0x02, 0x05, 0xE1, 0x00};
    for (uint8_t b : wrong_size)
        r = dec.feed(b, &got);
    EXPECT_EQ(r, FrameDecoder::Result::Bad);
}

TEST(SimRawStream, AssemblerRecoversFromBytesOutOfStep)
{
    vmsim::Assembler a;
    std::vector<Packet> got;
    // A zero address byte and a size of 29 are skipped; good packets around them survive.
    for (uint8_t b : Bytes{0x00, 0x02, 0x1D, 0xAD, 0x00, 0x02, 0x02, 0x49, 0xFF})
        if (auto p = a.feed(b))
            got.push_back(*p);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (Packet{0xAD, {}}));
    EXPECT_EQ(got[1], (Packet{0x02, {0x49, 0xFF}}));
    EXPECT_EQ(a.errors(), 2u);
}

} // namespace
