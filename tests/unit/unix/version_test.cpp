#include <gtest/gtest.h>

#include <string>

#include "lib/common/aVersion.h"

namespace {

TEST(VersionPack, BothLayoutsRoundTrip)
{
    struct Case {
        uint8_t major, minor, patch;
        uint32_t packed;
        bool legacy;
        const char* text;
    } cases[] = {
        {2, 14, 3, 0x2E000003u, true, "2.14.3"},
        {2, 15, 0, 0x2F020F00u, false, "2.15.0"},
        {3, 0, 7, 0x2F030007u, false, "3.0.7"},
        {1, 2, 255, 0x120000FFu, true, "1.2.255"},
        {0, 0, 0, 0x00000000u, true, "0.0.0"},
        {255, 255, 255, 0x2FFFFFFFu, false, "255.255.255"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t packed = aVersion_Pack(c.major, c.minor, c.patch);
        EXPECT_EQ(c.packed, packed);
        EXPECT_EQ(c.legacy, aVersion_IsLegacyFormat(packed));
        EXPECT_EQ(c.major, aVersion_ParseMajor(packed));
        EXPECT_EQ(c.minor, aVersion_ParseMinor(packed));
        EXPECT_EQ(c.patch, aVersion_ParsePatch(packed));
        char buf[32];
        EXPECT_EQ(static_cast<int>(strlen(c.text)), aVersion_ParseString(packed, buf, sizeof buf));
        EXPECT_STREQ(c.text, buf);
    }
}

TEST(VersionPack, LegacyPatchUsesTwentyFourBits)
{
    // Values read from old modules carry a wide patch field.
    EXPECT_TRUE(aVersion_IsLegacyFormat(0x21123456u));
    EXPECT_EQ(2, aVersion_ParseMajor(0x21123456u));
    EXPECT_EQ(1, aVersion_ParseMinor(0x21123456u));
    EXPECT_EQ(0x123456u, aVersion_ParsePatch(0x21123456u));
    EXPECT_FALSE(aVersion_IsLegacyFormat(0x30000000u));
}

TEST(VersionCompare, MajorThenMinorThenPatch)
{
    struct Case {
        uint8_t r[3], c[3];
        bool atLeast;
    } cases[] = {
        {{2, 12, 1}, {2, 12, 1}, true},  {{2, 12, 1}, {2, 12, 2}, false},
        {{2, 13, 0}, {2, 12, 9}, true},  {{3, 0, 0}, {2, 255, 255}, true},
        {{1, 255, 255}, {2, 0, 0}, false}, {{2, 0, 200}, {2, 1, 0}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.atLeast, aVersion_IsAtLeastCompare(c.r[0], c.r[1], c.r[2], c.c[0], c.c[1], c.c[2]))
            << int(c.r[0]) << "." << int(c.r[1]) << "." << int(c.r[2]) << " vs " << int(c.c[0]) << "."
            << int(c.c[1]) << "." << int(c.c[2]);
    EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 1));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 2));
}

TEST(VersionLibrary, StringAndFeatures)
{
    EXPECT_STREQ("2.12.1", aVersion_GetString());
    EXPECT_EQ(aVersion_GetString(), aVersion_GetString());
    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("VERSIO"));
    EXPECT_FALSE(aVersion_HasFeature(nullptr));
    char* list = aVersion_GetFeatureList();
    ASSERT_NE(nullptr, list);
    EXPECT_STREQ("VERSION - Version Query API", list);
    aVersion_DestroyFeatureList(&list);
    EXPECT_EQ(nullptr, list);
}

} // namespace
