// Packet assembly, wire form and accessors, UEI byte order and payload
// classification, error texts and model names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "lib/common/aDefs.h"
#include "lib/common/aPacket.h"
#include "lib/common/aUEI.h"

namespace {

struct PacketHolder {
    aPacket* p;
    explicit PacketHolder(aPacket* packet) : p(packet) {}
    ~PacketHolder()
    {
        if (p != nullptr)
            aPacket_Destroy(&p);
    }
};

// Feeds bytes to a fresh packet; returns the result of each byte.
std::vector<aErr> feed(aPacket* p, const std::vector<uint8_t>& bytes)
{
    std::vector<aErr> results;
    for (uint8_t b : bytes)
        results.push_back(aPacket_AddByte(p, b));
    return results;
}

std::vector<uint8_t> wire(const aPacket* p)
{
    uint8_t buf[30];
    uint32_t n = 0;
    EXPECT_EQ(aPacket_GetBytes(p, buf, sizeof buf, &n), aErrNone);
    return {buf, buf + n};
}

} // namespace

TEST(Packet, AssemblesFiveByteWireFormAndCompletesOnLastByte)
{
    PacketHolder h(aPacket_Create());
    const std::vector<uint8_t> bytes{0x02, 0x03, 0xAA, 0xBB, 0xCC};
    for (size_t i = 0; i < bytes.size(); ++i) {
        EXPECT_FALSE(aPacket_IsComplete(h.p)) << i;
        ASSERT_EQ(aPacket_AddByte(h.p, bytes[i]), aErrNone) << i;
    }
    EXPECT_TRUE(aPacket_IsComplete(h.p));
    EXPECT_EQ(wire(h.p), bytes);
}

TEST(Packet, AssemblyEdges)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        aErr lastResult;
        bool complete;
    };
    std::vector<uint8_t> full{0x02, 28};
    for (int i = 0; i < 28; ++i)
        full.push_back(static_cast<uint8_t>(i + 1));
    const Case cases[] = {
        {"empty packet", {0x02, 0x00}, aErrNone, true},
        {"address zero", {0x00}, aErrPacket, false},
        {"size 29", {0x02, 29}, aErrPacket, false},
        {"size 28 full", full, aErrNone, true},
    };
    for (const auto& c : cases) {
        PacketHolder h(aPacket_Create());
        auto r = feed(h.p, c.bytes);
        EXPECT_EQ(r.back(), c.lastResult) << c.name;
        EXPECT_EQ(aPacket_IsComplete(h.p), c.complete) << c.name;
    }
}

TEST(Packet, BytesPastTheSizeAreRefusedAndResetMakesItUsableAgain)
{
    PacketHolder h(aPacket_Create());
    feed(h.p, {0x02, 0x01, 0x05});
    ASSERT_TRUE(aPacket_IsComplete(h.p));
    // A further byte is taken as nothing sensible: the caller must reset first.
    EXPECT_NE(aPacket_AddByte(h.p, 0x07), aErrNone);
    // A runaway stream ends in overrun, never in writes past the record.
    aErr last = aErrNone;
    for (int i = 0; i < 300; ++i)
        last = aPacket_AddByte(h.p, 0x01);
    EXPECT_EQ(last, aErrOverrun);
    ASSERT_EQ(aPacket_Reset(h.p), aErrNone);
    EXPECT_EQ(h.p->count, 0);
    feed(h.p, {0x04, 0x00});
    EXPECT_TRUE(aPacket_IsComplete(h.p));
    EXPECT_EQ(h.p->address, 0x04);
}

TEST(Packet, CreateCopyAndDestroy)
{
    uint8_t data[29];
    for (int i = 0; i < 29; ++i)
        data[i] = static_cast<uint8_t>(0x40 + i);
    PacketHolder full(aPacket_CreateWithData(0x06, 28, data));
    ASSERT_NE(full.p, nullptr);
    EXPECT_TRUE(aPacket_IsComplete(full.p));
    EXPECT_EQ(aPacket_CreateWithData(0x06, 29, data), nullptr);
    EXPECT_EQ(aPacket_CreateWithData(0x06, 1, nullptr), nullptr);

    PacketHolder copy(aPacket_Copy(full.p));
    ASSERT_NE(copy.p, nullptr);
    EXPECT_NE(copy.p, full.p);
    EXPECT_EQ(copy.p->address, 0x06);
    EXPECT_EQ(copy.p->count, 30);
    EXPECT_EQ(std::memcmp(copy.p->data, full.p->data, 28), 0);

    aPacket bogus{};
    EXPECT_EQ(aPacket_Copy(&bogus), nullptr);
    EXPECT_EQ(aPacket_Reset(&bogus), aErrParam);
    EXPECT_EQ(aPacket_AddByte(&bogus, 1), aErrParam);

    aPacket* p = aPacket_Create();
    EXPECT_EQ(aPacket_Destroy(&p), aErrNone);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(aPacket_Destroy(&p), aErrParam);
    EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
}

TEST(Packet, GetBytesCapacityAndAccessors)
{
    const uint8_t d[3] = {0x11, 0xC8, 0xA3};
    PacketHolder h(aPacket_CreateWithData(0x02, 3, d));
    uint8_t out[5];
    uint32_t n = 0;
    EXPECT_EQ(aPacket_GetBytes(h.p, out, 4, &n), aErrOverrun);
    EXPECT_EQ(aPacket_GetBytes(h.p, out, 5, &n), aErrNone);
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(aPacket_GetBytes(h.p, nullptr, 5, &n), aErrParam);

    uint8_t v = 0;
    EXPECT_EQ(aPacket_GetCmd(h.p, &v), aErrNone);
    EXPECT_EQ(v, 0x11);
    EXPECT_EQ(aPacket_GetOption(h.p, &v), aErrNone);
    EXPECT_EQ(v, 8);
    EXPECT_EQ(aPacket_GetIndex(h.p, &v), aErrNone);
    EXPECT_EQ(v, 3);

    PacketHolder empty(aPacket_CreateWithData(0x02, 0, d));
    EXPECT_EQ(aPacket_GetCmd(empty.p, &v), aErrPacket);
    EXPECT_EQ(aPacket_GetCmd(h.p, nullptr), aErrParam);
    PacketHolder two(aPacket_CreateWithData(0x02, 2, d));
    EXPECT_EQ(aPacket_GetOption(two.p, &v), aErrNone);
    EXPECT_EQ(aPacket_GetIndex(two.p, &v), aErrPacket);
}

TEST(UEI, ByteOrder)
{
    uint8_t b[4];
    aUEI_StoreInt(b, 1000);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 4), (std::vector<uint8_t>{0x00, 0x00, 0x03, 0xE8}));
    EXPECT_EQ(aUEI_RetrieveInt(b), 1000u);
    aUEI_StoreShort(b, 0xFF01);
    EXPECT_EQ(b[0], 0xFF);
    EXPECT_EQ(b[1], 0x01);
    const uint8_t ff01[2] = {0xFF, 0x01};
    EXPECT_EQ(aUEI_RetrieveShort(ff01), 65281);

    uint8_t raw[8] = {0x01, 0x02, 0x03, 0x04, 0xAA, 0xBB, 0xCC, 0xDD};
    uint32_t words[2];
    std::memcpy(words, raw, 8);
    EXPECT_EQ(aUEI_ModifyIntBuffer(words, 2), 2u);
    EXPECT_EQ(words[0], 0x01020304u);
    EXPECT_EQ(words[1], 0xAABBCCDDu);
}

TEST(UEI, BytesChunkSequenceAndContinue)
{
    const uint8_t d[4] = {0x30, 0x01, 0x20, 0x83};
    PacketHolder h(aPacket_CreateWithData(0x02, 4, d));
    EXPECT_EQ(aUEI_getBytesSequence(h.p), 3);
    EXPECT_TRUE(aUEI_getBytesContinue(h.p));
    EXPECT_FALSE(aUEI_getBytesFullPacket(h.p));
    EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
    EXPECT_FALSE(aUEI_getBytesContinue(nullptr));

    uint8_t big[28] = {0};
    PacketHolder p27(aPacket_CreateWithData(0x02, 27, big));
    PacketHolder p28(aPacket_CreateWithData(0x02, 28, big));
    EXPECT_TRUE(aUEI_getBytesFullPacket(p27.p));
    EXPECT_TRUE(aUEI_getBytesFullPacket(p28.p));
}

TEST(UEI, PayloadAndStreamClassification)
{
    struct Case {
        uint8_t cmd, option, specifier;
        bool stream;
    };
    const Case cases[] = {
        {0x0C, 0x05, 0x41, true},
        {0x0C, 0x45, 0x41, false},  // a get request
        {0x0C, 0x85, 0x41, false},  // a set request
        {0x0C, 0x05, 0x01, false},  // not a stream value
        {0x5F, 0x05, 0x41, false},  // raw command
    };
    for (const auto& c : cases) {
        const uint8_t d[5] = {c.cmd, c.option, c.specifier, 0x12, 0x34};
        PacketHolder h(aPacket_CreateWithData(0x02, 5, d));
        EXPECT_EQ(aUEI_isStreamPacket(h.p), c.stream) << int(c.cmd) << " " << int(c.option);
    }
    // Four data bytes are too few for a stream value.
    const uint8_t d4[4] = {0x0C, 0x05, 0x41, 0x12};
    PacketHolder short4(aPacket_CreateWithData(0x02, 4, d4));
    EXPECT_FALSE(aUEI_isStreamPacket(short4.p));

    const uint8_t raw[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
    for (int cmd = 0; cmd < 256; ++cmd) {
        const uint8_t d[1] = {static_cast<uint8_t>(cmd)};
        PacketHolder h(aPacket_CreateWithData(0x02, 1, d));
        const bool isRaw = std::find(std::begin(raw), std::end(raw), cmd) != std::end(raw);
        EXPECT_EQ(aUEI_isNotUEIPayload(h.p), isRaw) << cmd;
        EXPECT_EQ(aUEI_isUEIPayload(h.p), !isRaw) << cmd;
    }
    EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
    EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

TEST(Texts, ErrorNamesAndModelNames)
{
    EXPECT_STREQ(aError_GetErrorText(27), "aErrShortCommand");
    EXPECT_STREQ(aError_GetErrorText(35), "aErrUnknown");
    EXPECT_STREQ(aError_GetErrorText(1000), "aErrUnknown");
    EXPECT_STREQ(aError_GetErrorDescription(1000), "Unknown error");

    int named = 0;
    for (uint32_t code = 0; code < 300; ++code)
        if (std::string(aDefs_GetModelName(code)) != "Unknown")
            ++named;
    EXPECT_EQ(named, 17);
    for (uint32_t code : {4u, 5u, 13u, 27u})
        EXPECT_STRNE(aDefs_GetModelName(code), "Unknown") << code;
    for (uint32_t code : {0u, 6u, 12u, 28u})
        EXPECT_STREQ(aDefs_GetModelName(code), "Unknown") << code;
}
