// The pure parts of the ISP host: rate choice, timing, return codes, copy sizes,
// the sector table and the UU codec (checked against the simulator's own codec).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "recovery/NXPSerial.h"
#include "sim/lpc/uucodec.h"

TEST(NxpHelpers, RateSelectionTakesTheFirstSupportedRateAtOrAbove) {
    struct Case {
        unsigned request, index;
    } cases[] = {{100000, 6}, {9600, 2}, {1000000, 2}, {1, 0}, {2400, 0}, {57600, 5}, {230400, 7}, {230401, 2}};
    for (auto c : cases) {
        EXPECT_EQ(NXPSerialClass::RateIndex(c.request), c.index) << c.request;
    }
    EXPECT_EQ(NXPSerialClass::SUPPORTED_RATES[6], 115200u);
}

TEST(NxpHelpers, WaitTimeCountsNineBitTimesForTheTextAndItsLineEnd) {
    EXPECT_EQ(NXPSerialClass::WAIT_TIME_MS(14, 115200), 2u);
    EXPECT_EQ(NXPSerialClass::WAIT_TIME_MS(4, 9600), 6u);
    EXPECT_EQ(NXPSerialClass::WAIT_TIME_MS(0, 2400), 8u);
}

TEST(NxpHelpers, ErrorTextByReturnCode) {
    struct Case {
        const char* line;
        const char* text;
    } cases[] = {
        {"0\r\n", "CMD_SUCCESS"},
        {"9\r\n", "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION"},
        {"19", "CODE_READ_PROTECTION_ENABLED"},
        {"0x13", "CODE_READ_PROTECTION_ENABLED"},  // automatic base
        {"20", "Unknown error"},
        {"42", "Unknown error"},
        {"-1", "Unknown error"},
    };
    for (auto c : cases) EXPECT_STREQ(NXPSerialClass::GetErrorText(c.line), c.text) << c.line;
}

TEST(NxpHelpers, ErrorIndexWithEchoPointsAtTheCodeBeforeTheLineEnd) {
    NXPSerialClass nxp;  // echo starts on, as the chip does
    EXPECT_EQ(nxp.GetErrorIndex(3), 0u);
    EXPECT_EQ(nxp.GetErrorIndex(5), 2u);
    EXPECT_EQ(nxp.GetErrorIndex(2), 0u);
}

TEST(NxpHelpers, CopyLengthRoundsUpToACopySize) {
    struct Case {
        unsigned count, length;
    } cases[] = {{1, 256}, {100, 256}, {256, 256}, {257, 512}, {1000, 1024}, {1808, 4096}, {4096, 4096}, {5000, 5000}};
    for (auto c : cases) EXPECT_EQ(NXPSerialClass::CopyLength(c.count), c.length) << c.count;
}

TEST(NxpHelpers, SectorFromAddressFollowsTheFlashLayout) {
    struct Case {
        uint32_t address;
        unsigned sector;
    } cases[] = {{0, 0},       {0xFFF, 0},    {0x1000, 1},  {0xFFFF, 15},       {0x10000, 16},
                 {0x17FFF, 16}, {0x18000, 17}, {0x7FFFF, 29}, {0x80000, 30}, {0xFFFFFFFF, 30}};
    for (auto c : cases) EXPECT_EQ(NXPSerialClass::SectorFromAddress(c.address), c.sector) << std::hex << c.address;
}

TEST(NxpHelpers, CopyToFlashRefusesBadAddressesAndSizesWithoutAConnection) {
    NXPSerialClass nxp;
    EXPECT_EQ(nxp.CopyToFlash(0x1080, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam);
    EXPECT_EQ(nxp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 2048), aErrParam);
    EXPECT_EQ(nxp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 5000), aErrParam);
}

TEST(NxpHelpers, UuEncodingOfThreeZeroBytes) {
    const uint8_t zeros[3] = {0, 0, 0};
    char line[8];
    EXPECT_EQ(NXPSerialClass::uuencode(line, zeros, 3), 3u);
    EXPECT_STREQ(line, "#````");
}

TEST(NxpHelpers, UuCodecAgreesWithTheSimulatorsIndependentCodec) {
    std::mt19937 rng(3);
    for (size_t count : {1u, 2u, 4u, 44u, 45u}) {
        std::vector<uint8_t> data(count);
        for (auto& b : data) b = uint8_t(rng());
        char line[80];
        NXPSerialClass::uuencode(line, data.data(), count);
        EXPECT_EQ(std::string(line), lpcsim::uu_encode_line(data.data(), count)) << count;

        std::vector<uint8_t> back(64, 0xEE);
        std::string sent = line;
        sent += "\r\n";
        EXPECT_EQ(NXPSerialClass::uudecode(back.data(), back.size(), sent.c_str()), count);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
        EXPECT_EQ(back[count], 0xEE) << "decoding stores exactly the announced bytes";
    }
    // Zero fields may also come as spaces.
    uint8_t out[3] = {1, 1, 1};
    EXPECT_EQ(NXPSerialClass::uudecode(out, 3, "#    "), 3u);
    EXPECT_EQ(out[0] | out[1] | out[2], 0);
}

TEST(NxpHelpers, UuDecodeRefusesLinesLargerThanTheRoomAndStopsAtShortLines) {
    uint8_t data[45] = {};
    char line[80];
    NXPSerialClass::uuencode(line, data, 45);
    uint8_t room[44];
    EXPECT_EQ(NXPSerialClass::uudecode(room, sizeof room, line), 0u);
    uint8_t out[45];
    EXPECT_EQ(NXPSerialClass::uudecode(out, sizeof out, "M````\r\n"), 3u);
}
