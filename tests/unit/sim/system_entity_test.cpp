// The simulated module's system entity: reads, writes, actions, error replies and
// byte strings, checked byte for byte.
#include "tests/unit/sim/sim_fixture.h"

namespace {

using simtest::Bench;
using simtest::Bytes;

const char* kModule = "module serial=40F5849A model=19 version=2.10.4 build=4711 address=6 features=0x11 "
                      "transport=tcp hb=0 deny=41:12";

TEST(SimSystemEntity, ReadsAnswerWithThePlainOptionAndTheValueMostSignificantFirst)
{
    Bench b(kModule);
    struct Case {
        Bytes request, reply;
    } cases[] = {
        {{3, 0x49, 0x20}, {3, 9, 0, 0x40, 0xF5, 0x84, 0x9A}},          // serial number
        {{3, 0x48, 0x20}, {3, 8, 0, 19}},                              // model
        {{3, 0x47, 0x20}, {3, 7, 0, 0x2A, 0x00, 0x00, 0x04}},          // packed 2.10.4
        {{3, 0x6B, 0x20}, {3, 43, 0, 0x00, 0x00, 0x12, 0x67}},         // build
        {{3, 0x41, 0x20}, {3, 1, 0, 6}},                               // module address
        {{3, 0x42, 0x20}, {3, 2, 0, 6}},                               // router address
        {{3, 0x6D, 0x20}, {3, 45, 0, 0, 0, 0, 0x11}},                  // protocol features
        {{3, 0x49, 0x20, 7}, {3, 9, 0, 7, 0x40, 0xF5, 0x84, 0x9A}},    // subindex form
    };
    for (auto& c : cases)
        EXPECT_EQ(b.one(c.request), c.reply) << "option " << (c.request[1] & 0x3F);
}

TEST(SimSystemEntity, WritesAreAcknowledgedWithBothDirectionBitsAndStored)
{
    Bench b(kModule);
    EXPECT_EQ(b.one({3, 0x82, 0x20, 4}), (Bytes{3, 0xC2, 0, 4}));
    EXPECT_EQ(b.one({3, 0x42, 0x20}), (Bytes{3, 2, 0, 4}));
    EXPECT_EQ(b.one({3, 0x94, 0x20, 1}), (Bytes{3, 0xD4, 0, 1})); // routeToMe
    EXPECT_EQ(b.top().option(20)->value, 1u);
    EXPECT_EQ(b.one({3, 0xA2, 0x20, 0, 0, 0x27, 0x10}), (Bytes{3, 0xE2, 0, 0, 0, 0x27, 0x10}));
    EXPECT_EQ(b.top().option(34)->value, 10000u);
    EXPECT_EQ(b.one({3, 0x8B, 0x20}), (Bytes{3, 0xCB, 0})); // reset is an action without value
}

TEST(SimSystemEntity, WhatIsNotServedGetsAnErrorReplyWithBit7)
{
    Bench b(kModule);
    struct Case {
        Bytes request, reply;
    } cases[] = {
        {{3, 0x45, 0x20}, {3, 5, 0x80, 29}},            // no option 5: aErrInvalidOption
        {{3, 0x49, 0x21}, {3, 9, 0x81, 26}},            // index 1: aErrIndexRange
        {{3, 0x89, 0x20, 0, 0, 0, 1}, {3, 0xC9, 0x80, 12}}, // serial number is read-only
        {{3, 0x82, 0x20, 1, 2, 3}, {3, 0xC2, 0x80, 14}}, // byte option written with three bytes
        {{3, 0x4B, 0x20}, {3, 11, 0x80, 7}},            // an action cannot be read
        {{3, 0x69, 0x20}, {3, 41, 0x80, 12}},           // denied by the lab description
        {{0x30, 0x41, 0x20}, {0x30, 1, 0x80, 28}},      // entity class the module lacks
    };
    for (auto& c : cases)
        EXPECT_EQ(b.one(c.request), c.reply);
    EXPECT_TRUE(b.ask({3, 0x09, 0x20}).empty()) << "neither read nor write: not answered";
}

TEST(SimSystemEntity, NameIsReadInChunksOf24WithSequenceBytes)
{
    const std::string name = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"; // 32 bytes, the most a name holds
    Bench b("module serial=1 transport=tcp hb=0 name=\"" + name + "\"");
    auto r = b.ask({3, 0x60, 0x20});
    ASSERT_EQ(r.size(), 2u);
    Bytes first{3, 32, 0};
    first.insert(first.end(), name.begin(), name.begin() + 24);
    first.push_back(0x80);
    Bytes second{3, 32, 0};
    second.insert(second.end(), name.begin() + 24, name.end());
    second.push_back(0x01);
    EXPECT_EQ(r[0].data, first);
    EXPECT_EQ(r[1].data, second);

    Bench empty("module serial=2 transport=tcp hb=0");
    EXPECT_EQ(empty.one({3, 0x60, 0x20}), (Bytes{3, 32, 0, 0x00}));
}

TEST(SimSystemEntity, ByteStringWriteIsAcknowledgedOnceAfterTheLastChunk)
{
    Bench b("module serial=1 transport=tcp hb=0");
    Bytes chunk1{3, 0xA0, 0x20};
    for (int i = 0; i < 24; ++i)
        chunk1.push_back(static_cast<uint8_t>('a' + i));
    chunk1.push_back(0x80);
    EXPECT_TRUE(b.ask(chunk1).empty());
    EXPECT_EQ(b.one({3, 0xA0, 0x20, 'y', 'z', 0x01}), (Bytes{3, 0xE0, 0}));
    const auto& stored = b.top().option(32)->bytes;
    EXPECT_EQ(std::string(stored.begin(), stored.end()), "abcdefghijklmnopqrstuvwxyz");

    // Empty value: one packet with only the sequence byte.
    EXPECT_EQ(b.one({3, 0xA0, 0x20, 0x00}), (Bytes{3, 0xE0, 0}));
    EXPECT_TRUE(b.top().option(32)->bytes.empty());

    // A chunk out of sequence ends the transfer with aErrPacket; nothing is stored.
    EXPECT_TRUE(b.ask({3, 0xA0, 0x20, 'q', 0x80}).empty());
    EXPECT_EQ(b.one({3, 0xA0, 0x20, 'r', 0x02}), (Bytes{3, 0xE0, 0x80, 24}));
    EXPECT_TRUE(b.top().option(32)->bytes.empty());

    // More than 32 bytes do not fit a name.
    Bytes big{3, 0xA0, 0x20};
    big.insert(big.end(), 24, 'x');
    big.push_back(0x80);
    EXPECT_TRUE(b.ask(big).empty());
    Bytes tail{3, 0xA0, 0x20};
    tail.insert(tail.end(), 9, 'x');
    tail.push_back(0x01);
    EXPECT_EQ(b.one(tail), (Bytes{3, 0xE0, 0x80, 14}));
}

TEST(SimSystemEntity, LongByteStringSequenceWrapsAt128)
{
    // 130 chunks of one byte: sequence numbers 0..127, 0, 1.
    Bench b("module serial=1 transport=tcp hb=0");
    for (int i = 0; i < 130; ++i) {
        uint8_t seq = static_cast<uint8_t>((i & 0x7F) | (i < 129 ? 0x80 : 0));
        auto r = b.ask({3, 0x9F, 0x20, static_cast<uint8_t>(i), seq});
        if (i < 129)
            ASSERT_TRUE(r.empty()) << i;
        else
            ASSERT_EQ(r.size(), 1u);
    }
    EXPECT_EQ(b.top().option(31)->bytes.size(), 130u);
}

} // namespace
