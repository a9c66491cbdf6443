// Packet log ring, the logger thread and the log-file lines of a link.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "lib/common/aLink.h"
#include "lib/common/aLinkManagerInternal.h"
#include "lib/common/aLogger.h"
#include "lib/common/aPacketDebug.h"

namespace {

struct Entry {
    uint8_t kind;
    std::vector<uint8_t> bytes;
    aErr err;
};

Entry get(aPacketLog* log, uint32_t capacity = 64)
{
    Entry e{0, std::vector<uint8_t>(capacity), aErrNone};
    uint32_t len = capacity;
    e.err = aPacketLog_Get(log, &e.kind, &len, e.bytes.data());
    e.bytes.resize(e.err == aErrNone ? len : 0);
    return e;
}

aErr put(aPacketLog* log, uint8_t kind, uint32_t n, uint8_t fill)
{
    std::vector<uint8_t> b(n, fill);
    return aPacketLog_Put(log, kind, n, b.data());
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace

TEST(PacketLogRing, RefusesEntriesThatCanNeverFit)
{
    aPacketLog* log = aPacketLog_Create(16);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(put(log, 1, 14, 0xEE), aErrOverrun);
    EXPECT_EQ(get(log).err, aErrNotFound);  // left as it was
    EXPECT_EQ(put(log, 1, 13, 0xEE), aErrNone);
    auto e = get(log);
    EXPECT_EQ(e.err, aErrNone);
    EXPECT_EQ(e.bytes.size(), 13u);
    aPacketLog_Destroy(&log);
    EXPECT_EQ(log, nullptr);
    EXPECT_EQ(aPacketLog_Destroy(&log), aErrNone);
}

TEST(PacketLogRing, DropsWholeOldestEntriesToMakeRoomAcrossTheWrap)
{
    aPacketLog* log = aPacketLog_Create(16);
    ASSERT_EQ(put(log, 1, 4, 0xA1), aErrNone);
    ASSERT_EQ(put(log, 2, 6, 0xB2), aErrNone);
    ASSERT_EQ(put(log, 3, 2, 0xC3), aErrNone);  // drops the first, keeps the second
    auto b = get(log);
    EXPECT_EQ(b.kind, 2);
    EXPECT_EQ(b.bytes, std::vector<uint8_t>(6, 0xB2));
    auto c = get(log);
    EXPECT_EQ(c.kind, 3);
    EXPECT_EQ(c.bytes, std::vector<uint8_t>(2, 0xC3));
    EXPECT_EQ(get(log).err, aErrNotFound);
    // Many entries later, across many wraps, the newest ones survive intact.
    for (uint8_t i = 0; i < 50; ++i)
        ASSERT_EQ(put(log, 1, 3, i), aErrNone);
    // Three entries of five bytes fill the 15 usable bytes.
    for (uint8_t tag : {47, 48, 49}) {
        auto e = get(log);
        EXPECT_EQ(e.err, aErrNone);
        EXPECT_EQ(e.bytes, std::vector<uint8_t>(3, tag));
    }
    EXPECT_EQ(get(log).err, aErrNotFound);
    aPacketLog_Destroy(&log);
}

TEST(PacketLogRing, TooSmallReadLeavesTheEntryInPlace)
{
    aPacketLog* log = aPacketLog_Create(64);
    const uint8_t five[5] = {1, 2, 3, 4, 5};
    aPacketLog_Put(log, 1, 5, five);
    uint8_t kind = 0, buf[64];
    uint32_t len = 2;
    EXPECT_EQ(aPacketLog_Get(log, &kind, &len, buf), aErrOverrun);
    EXPECT_EQ(len, 5u);
    auto e = get(log, 64);
    EXPECT_EQ(e.err, aErrNone);
    EXPECT_EQ(e.bytes, std::vector<uint8_t>(five, five + 5));
    aPacketLog_Destroy(&log);
}

TEST(PacketLogLink, SizeEnableAndDisableRules)
{
    aLinkRef h = sCreate(0xFFFFFFF0u, 0, 0);
    ASSERT_NE(aLink_Init(h, nullptr), 0u);
    EXPECT_EQ(aLink_PacketDebug_Disable(h), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_Write(h, 3, 1, reinterpret_cast<const uint8_t*>("x")), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(h, aPACKETLOG_MAX_SIZE + 1), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(h, aPACKETLOG_MAX_SIZE), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(h, 128), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_Enable(h), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(h, 256), aErrBusy);
    EXPECT_EQ(aLink_PacketDebug_Disable(h), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_Enable(0), aErrParam);
    EXPECT_EQ(aLink_Destroy(&h), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_Enable(h), aErrParam);
}

TEST(PacketLogLink, LoggerWritesStartThenPacketLines)
{
    char path[] = "/tmp/packetlogXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);

    aLinkRef h = sCreate(0xFFFFFFF1u, 0, 0);
    ASSERT_NE(aLink_Init(h, nullptr), 0u);
    ASSERT_EQ(aLink_PacketDebug_Enable(h), aErrNone);
    aLogger* logger = aLogger_Create(h, aLogger_PacketLogWriter, path);
    ASSERT_NE(logger, nullptr);
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_EQ(aLogger_Enable(logger), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Write(h, aPACKETLOG_TEXT, 6, reinterpret_cast<const uint8_t*>("START")),
              aErrNone);
    const uint8_t sent[5] = {0x02, 0x03, 0x03, 0x48, 0x20};
    const uint8_t received[4] = {0x02, 0x02, 0x00, 0x0A};
    aLinkRecord* link = sGetLink(h);
    aLink_PacketDebug_Record(link, aPACKETLOG_SENT, sent, 5);
    aLink_PacketDebug_Record(link, aPACKETLOG_RECEIVED, received, 4);

    const std::string expected = std::string("6 < START") + '\0' + "\r\n" +
                                 "5 > 0x2 0x3 0x3 0x48 0x20 \r\n" + "4 < 0x2 0x2 0x0 0xA \r\n";
    std::string text;
    for (int i = 0; i < 200 && text.size() < expected.size(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        text = readFile(path);
    }
    EXPECT_EQ(aLogger_Disable(logger), aErrNone);
    EXPECT_EQ(aLogger_Disable(logger), aErrNone);  // not running: nothing to do
    EXPECT_EQ(text, expected);
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(logger, nullptr);
    EXPECT_EQ(aLogger_Create(h, aLogger_PacketLogWriter, "/nonexistent-dir/x.log"), nullptr);
    aLink_Destroy(&h);
    std::remove(path);
}
