// The ISP host against a simulated boot ROM on a pseudo-terminal: the exact bytes
// it sends, the chip state it leaves, and its answers to checksum trouble.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "recovery/NXPSerial.h"
#include "tests/unit/recovery/nxp_pty_chip.h"

namespace {

std::vector<uint8_t> randomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(n);
    for (auto& b : out) b = uint8_t(rng());
    return out;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        lines.push_back(l);
    }
    return lines;
}

// A chip that has been synchronised and told to stop echoing, as the recovery drives it.
struct Connected {
    explicit Connected(const lpcsim::ChipConfig& config = {}, bool echoOff = true) : chip(config) {
        EXPECT_EQ(nxp.Connect(chip.path().c_str(), 115200), aErrNone);
        EXPECT_EQ(nxp.Sync(), aErrNone);
        if (echoOff) {
            EXPECT_EQ(nxp.SetEcho(false), aErrNone);
        }
        chip.takeReceived();
    }
    PtyChip chip;
    NXPSerialClass nxp;
};

}  // namespace

TEST(NxpChip, SyncHandshakeAndIdentification) {
    lpcsim::ChipConfig config;
    config.serial = {0x0400A001u, 0x55AA55AAu, 0xFFFFFFFFu, 7u};
    config.partId = 0x26113F37u;
    config.bootMajor = 4;
    config.bootMinor = 1;
    PtyChip chip(config);
    NXPSerialClass nxp;
    ASSERT_EQ(nxp.Connect(chip.path().c_str(), 100000), aErrNone);
    EXPECT_EQ(nxp.rate(), 115200u);
    EXPECT_STREQ(nxp.portName(), chip.path().c_str());
    ASSERT_EQ(nxp.Sync(), aErrNone);
    EXPECT_EQ(chip.takeReceived(), "?Synchronized\r\n14746\r\n");

    ASSERT_EQ(nxp.GetDeviceID(), aErrNone);
    EXPECT_EQ(chip.takeReceived(), "N\r\n");
    EXPECT_EQ(std::vector<uint32_t>(nxp.deviceID(), nxp.deviceID() + 4),
              std::vector<uint32_t>(config.serial.begin(), config.serial.end()));

    long long part = 0;
    ASSERT_EQ(nxp.GetPartNumber(part), aErrNone);
    EXPECT_EQ(part, 0x26113F37ll);
    int major = 0, minor = 0;
    ASSERT_EQ(nxp.GetBootLoaderVersion(major, minor), aErrNone);
    EXPECT_EQ(major, 4);
    EXPECT_EQ(minor, 1);
}

TEST(NxpChip, SilentPortFailsTheHandshakeAndTheIdentification) {
    PtyChip chip({}, /*silent=*/true);
    NXPSerialClass nxp;
    ASSERT_EQ(nxp.Connect(chip.path().c_str(), 115200), aErrNone);
    EXPECT_NE(nxp.Sync(), aErrNone);
    EXPECT_NE(nxp.GetDeviceID(), aErrNone);
}

TEST(NxpChip, ConnectToAMissingPortReportsTheStreamError) {
    NXPSerialClass nxp;
    EXPECT_EQ(nxp.Connect("/dev/does-not-exist-lpc", 115200), aErrNotFound);
}

TEST(NxpChip, EchoFlagFollowsTheChip) {
    Connected c({}, /*echoOff=*/false);
    EXPECT_TRUE(c.nxp.echo());
    EXPECT_EQ(c.nxp.GetErrorIndex(5), 2u);
    ASSERT_EQ(c.nxp.SetEcho(false), aErrNone);
    EXPECT_FALSE(c.nxp.echo());
    EXPECT_EQ(c.nxp.GetErrorIndex(5), 0u);
    EXPECT_EQ(c.chip.takeReceived(), "A 0\r\n");
    ASSERT_EQ(c.nxp.SetEcho(true), aErrNone);
    EXPECT_TRUE(c.nxp.echo());
}

TEST(NxpChip, RefusedCommandsFailAndRangesAreCheckedBeforeSending) {
    Connected c;
    EXPECT_EQ(c.nxp.Prepare(5, 3), aErrParam);
    EXPECT_EQ(c.nxp.Erase(5, 3), aErrParam);
    EXPECT_EQ(c.chip.takeReceived(), "");
    EXPECT_EQ(c.nxp.Prepare(0, 30), aErrParam);  // INVALID_SECTOR
    EXPECT_EQ(c.nxp.Erase(0, 1), aErrParam);     // locked until "U"
    ASSERT_EQ(c.nxp.Unlock(), aErrNone);
    EXPECT_EQ(c.nxp.Erase(0, 1), aErrParam);  // not prepared
    EXPECT_EQ(c.nxp.Write(c.nxp.WRITE_ADDRESS, 6, nullptr), aErrParam);
    EXPECT_EQ(c.chip.takeReceived(), "P 0 30\r\nE 0 1\r\nU 23130\r\nE 0 1\r\n");
}

TEST(NxpChip, WriteSplitsIntoLinesOf45WithAChecksumEveryTwentyLines) {
    struct Case {
        uint32_t count;
        std::vector<size_t> lineBytes;  // decoded bytes per data line, 0 marks a checksum line
    };
    std::vector<size_t> big(20, 45);
    big.push_back(0);
    big.push_back(4);  // 901 rounded up to a multiple of four
    big.push_back(0);
    Case cases[] = {{100, {45, 45, 10, 0}}, {20 * 45 + 4, big}};
    for (const Case& k : cases) {
        Connected c;
        auto data = randomBytes(k.count, k.count);
        ASSERT_EQ(c.nxp.Write(c.nxp.WRITE_ADDRESS, k.count, data.data()), aErrNone);
        auto lines = splitLines(c.chip.takeReceived());
        ASSERT_EQ(lines.size(), k.lineBytes.size() + 1);
        EXPECT_EQ(lines[0], "W 268439552 " + std::to_string(k.count));
        size_t pos = 0, sinceSum = 0;
        for (size_t i = 0; i < k.lineBytes.size(); ++i) {
            const std::string& l = lines[i + 1];
            if (k.lineBytes[i] == 0) {
                uint32_t expect = std::accumulate(data.begin() + long(pos - sinceSum), data.begin() + long(pos), 0u);
                EXPECT_EQ(l, std::to_string(expect)) << "checksum line " << i;
                sinceSum = 0;
            } else {
                EXPECT_EQ(size_t((l[0] - 32) & 0x3F), k.lineBytes[i]) << "line " << i;
                pos += k.lineBytes[i];
                sinceSum += k.lineBytes[i];
            }
        }
    }
}

TEST(NxpChip, WriteRetriesAfterResendAndGivesUpOnTheThird) {
    struct Case {
        unsigned resends;
        aErr result;
    } cases[] = {{2, aErrNone}, {3, aErrTimeout}};
    for (auto k : cases) {
        lpcsim::ChipConfig config;
        config.writeResends = k.resends;
        Connected c(config);
        auto data = randomBytes(200, 9);
        EXPECT_EQ(c.nxp.Write(c.nxp.WRITE_ADDRESS, 200, data.data()), k.result) << k.resends;
        auto lines = splitLines(c.chip.takeReceived());
        size_t sums = 0;
        for (auto& l : lines)
            sums += !l.empty() && std::all_of(l.begin(), l.end(), [](char ch) { return ch >= '0' && ch <= '9'; });
        EXPECT_EQ(sums, std::min(k.resends + 1, 3u)) << "one checksum per attempt";
    }
}

TEST(NxpChip, ProgrammingSequenceLeavesTheDataInFlashAndStartsIt) {
    Connected c;
    auto data = randomBytes(4096 + 1024, 5);
    NXPSerialClass& nxp = c.nxp;
    ASSERT_EQ(nxp.Unlock(), aErrNone);
    ASSERT_EQ(nxp.Prepare(0, 29), aErrNone);
    ASSERT_EQ(nxp.Erase(0, 29), aErrNone);
    for (uint32_t off = 0; off < data.size(); off += 4096) {
        uint32_t chunk = std::min<uint32_t>(4096, uint32_t(data.size()) - off);
        uint32_t flash = 0x10000 + off;
        ASSERT_EQ(nxp.Write(nxp.WRITE_ADDRESS, chunk, data.data() + off), aErrNone);
        ASSERT_EQ(nxp.Prepare(nxp.SectorFromAddress(flash), nxp.SectorFromAddress(flash + chunk - 1)), aErrNone);
        ASSERT_EQ(nxp.CopyToFlash(flash, nxp.WRITE_ADDRESS, nxp.CopyLength(chunk)), aErrNone);
    }
    ASSERT_EQ(nxp.SetEcho(true), aErrNone);
    ASSERT_EQ(nxp.ExecuteFrom(0), aErrNone);
    for (int i = 0; i < 200 && c.chip.events().back() != "go 0 T"; ++i) usleep(5000);
    auto flash = c.chip.flash();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + 0x10000));
    EXPECT_EQ(flash[0x10000 + data.size() - 1], data.back());
    EXPECT_EQ(c.chip.events().back(), "go 0 T");
}

TEST(NxpChip, ReadReturnsMemoryAcrossChecksumBlocksWithAndWithoutEcho) {
    for (bool echoOff : {false, true}) {
        lpcsim::ChipConfig config;
        config.readBadSums = 1;  // the first block arrives damaged and is asked for again
        Connected c(config, echoOff);
        auto data = randomBytes(2000, 11);
        c.chip.withChip([&](lpcsim::LpcChip& chip) { std::copy(data.begin(), data.end(), chip.flash().begin()); });
        std::vector<uint8_t> back(2000);
        ASSERT_EQ(c.nxp.Read(0, 2000, back.data()), aErrNone) << "echo off: " << echoOff;
        EXPECT_EQ(back, data) << "echo off: " << echoOff;
    }
}

TEST(NxpChip, ReadGivesUpAfterThreeBadChecksums) {
    lpcsim::ChipConfig config;
    config.readBadSums = 3;
    Connected c(config);
    std::vector<uint8_t> back(100);
    EXPECT_EQ(c.nxp.Read(0, 100, back.data()), aErrTimeout);
}
