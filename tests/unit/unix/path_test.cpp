#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib/unix/aDirectory.h"
#include "updater/path.h"

namespace {

struct JoinCase {
    const char* first;
    const char* second;
    size_t size;
    aErr err;
    const char* out;
};

TEST(BuildPathBuffer, JoinsWithOneSeparatorNeverRemovingOne)
{
    const JoinCase cases[] = {
        {"a", "b", 16, aErrNone, "a/b"},
        {"a/", "b", 16, aErrNone, "a/b"},
        {"a", "/b", 16, aErrNone, "a/b"},
        {"a/", "/b", 16, aErrNone, "a//b"},
        {"a", nullptr, 16, aErrNone, "a"},
        // The first component must leave room for one more character.
        {"abcdefg", "x", 8, aErrOverrun, ""},
        {"abcdef", nullptr, 8, aErrNone, "abcdef"},
        // Each component, like the first, must leave one spare byte.
        {"abc", "def", 8, aErrOverrun, ""},
        {"abc", "def", 9, aErrNone, "abc/def"},
        {nullptr, "b", 16, aErrParam, ""},
    };
    for (const auto& c : cases) {
        char buf[32];
        memset(buf, 'Z', sizeof buf);
        SCOPED_TRACE(std::string(c.first ? c.first : "(null)") + " + " + (c.second ? c.second : "(null)"));
        aErr err = c.second ? aDirectory_BuildPath(buf, c.size, c.first, c.second, nullptr)
                            : aDirectory_BuildPath(buf, c.size, c.first, nullptr);
        EXPECT_EQ(c.err, err);
        if (err == aErrNone) {
            EXPECT_STREQ(c.out, buf);
        }
        EXPECT_EQ(c.err, aDirectory_JoinPath(buf, c.size, c.first, c.second));
        if (err == aErrNone) {
            EXPECT_STREQ(c.out, buf);
        }
    }
}

TEST(BuildPathBuffer, AcceptsNineFurtherComponentsAndRefusesTen)
{
    char buf[64];
    EXPECT_EQ(aErrNone, aDirectory_BuildPath(buf, sizeof buf, "0", "1", "2", "3", "4", "5", "6", "7",
                                             "8", "9", nullptr));
    EXPECT_STREQ("0/1/2/3/4/5/6/7/8/9", buf);
    EXPECT_EQ(aErrParam, aDirectory_BuildPath(buf, sizeof buf, "0", "1", "2", "3", "4", "5", "6",
                                              "7", "8", "9", "10", nullptr));
    EXPECT_STREQ("", buf);
}

TEST(BuildPathBuffer, RefusesComponentsThatShareTheBuffer)
{
    char buf[32] = "abc";
    EXPECT_EQ(aErrParam, aDirectory_BuildPath(buf, sizeof buf, buf, nullptr));
    strcpy(buf, "abc");
    EXPECT_EQ(aErrParam, aDirectory_BuildPath(buf, sizeof buf, "x", buf, nullptr));
    strcpy(buf, "abc");
    EXPECT_EQ(aErrParam, aDirectory_BuildPath(buf, sizeof buf, "x", buf + 1, nullptr));
    EXPECT_EQ(aErrParam, aDirectory_BuildPath(nullptr, 8, "x", nullptr));
    EXPECT_EQ(aErrParam, aDirectory_BuildPath(buf, 0, "x", nullptr));
}

TEST(BuildPathString, AlwaysInsertsTheSeparator)
{
    EXPECT_EQ("x", BuildPath("x", nullptr));
    EXPECT_EQ("x/y/z", BuildPath("x", "y", "z", nullptr));
    EXPECT_EQ("x//y", BuildPath("x/", "y", nullptr));
    EXPECT_EQ("", BuildPath(static_cast<const char*>(nullptr), nullptr));

    const std::string dir = "/store", serial = "0000ABCD";
    EXPECT_EQ("/store/0000ABCD/12.bird", BuildPath({dir, serial, "12.bird"}));
    EXPECT_EQ("x//y", BuildPath({"x/", "y"}));
    // No length limit, unlike the buffer form.
    const std::string longName(5000, 'n');
    EXPECT_EQ(5002u, BuildPath("a", longName.c_str(), nullptr).size());
}

} // namespace
