#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "updater/base64.h"

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

std::string encode(const std::string& in) {
    size_t n = 0;
    std::unique_ptr<char, FreeDeleter> t(
        base64_encode(reinterpret_cast<const unsigned char*>(in.data()), in.size(), &n));
    return std::string(t.get(), n);
}

// Returns false when the decoder refused the text.
bool decode(const std::string& in, std::string& out) {
    size_t n = 99;
    std::unique_ptr<unsigned char, FreeDeleter> b(base64_decode(in.data(), in.size(), &n));
    if (!b) return false;
    EXPECT_EQ(b.get()[n], 0) << "decoded buffer must carry a terminating zero";
    out.assign(reinterpret_cast<const char*>(b.get()), n);
    return true;
}

TEST(Base64, Rfc4648VectorsBothWays) {
    const struct {
        const char* plain;
        const char* coded;
    } cases[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
                 {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& c : cases) {
        EXPECT_EQ(encode(c.plain), c.coded);
        std::string back;
        ASSERT_TRUE(decode(c.coded, back)) << c.coded;
        EXPECT_EQ(back, c.plain);
    }
}

TEST(Base64, AllByteValuesRoundTrip) {
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    for (size_t len : {254u, 255u, 256u}) {
        std::string back;
        ASSERT_TRUE(decode(encode(all.substr(0, len)), back));
        EXPECT_EQ(back, all.substr(0, len));
    }
    EXPECT_EQ(encode("\xfb\xff").substr(0, 3), "+/8");
}

TEST(Base64, EightCharactersWithTwoPadsGiveFourBytes) {
    std::string out;
    ASSERT_TRUE(decode("AQIDBA==", out));
    EXPECT_EQ(out, std::string("\x01\x02\x03\x04", 4));
}

TEST(Base64, RefusesMalformedText) {
    for (const char* bad : {"Zm9vY", "Zm9v\nmFy", "Zm9v YmFy", "Zm9v-_Fy", "Zm9v*mFy", "Z=9v", "====", "Zg==Zm9v",
                            "Zm\x80v"}) {
        std::string out;
        EXPECT_FALSE(decode(bad, out)) << "accepted [" << bad << "]";
    }
}

}  // namespace
