// The attributes file: lenient reading, strict writing, typed access and saving.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "tests/unit/updater/bird_test_support.h"
#include "updater/KeyValueStore.h"

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using Map = std::map<std::string, std::string>;

namespace {

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(KeyValueRead, ParsesLeniently) {
    const std::string longValue(5000, 'x');
    struct Case {
        const char* name;
        std::string text;
        Map expected;
    } cases[] = {
        {"spaces around key and value", "  COUNT  =   1234  \n", {{"COUNT", "1234"}}},
        {"comment", "#C=1\nD=2\n", {{"D", "2"}}},
        {"indented number sign is a key", " #C=1\n", {{"#C", "1"}}},
        {"empty value", "A=\n", {{"A", ""}}},
        {"value holding '='", "URL=x=y\n", {{"URL", "x=y"}}},
        {"repeated key keeps the last", "K=1\nK=2\n", {{"K", "2"}}},
        {"short lines skipped", "a\n\nB=1\n", {{"B", "1"}}},
        {"no '=' gives an empty value", "NOEQ value\n", {{"NOEQ value", ""}}},
        {"empty key skipped", "=v\nE=1\n", {{"E", "1"}}},
        {"CRLF", "K=v\r\n", {{"K", "v"}}},
        {"last line without newline", "A=1\nZ=9", {{"A", "1"}, {"Z", "9"}}},
        {"overlong line skipped, later lines kept", "A=1\nB=" + longValue + "\nC=3\n", {{"A", "1"}, {"C", "3"}}},
        {"overlong line exactly one past the buffer", "A=1\nB=" + std::string(2045, 'y') + "\nC=3\n",
         {{"A", "1"}, {"C", "3"}}},
        {"longest line that fits", "B=" + std::string(2044, 'y') + "\nC=3\n",
         {{"B", std::string(2044, 'y')}, {"C", "3"}}},
        {"overlong last line", "A=1\nB=" + longValue, {{"A", "1"}}},
    };
    ScratchDir dir;
    for (const Case& c : cases) {
        std::string p = dir.file("kv");
        writeText(p, c.text);
        KeyValueStore kv(p.c_str());
        EXPECT_EQ(kv.Entries(), c.expected) << c.name;
        EXPECT_FALSE(kv.IsModified()) << c.name;
        EXPECT_EQ(kv.Path(), p) << c.name;
    }
}

TEST(KeyValueRead, OverlongLineSurvivesASave) {
    ScratchDir dir;
    std::string p = dir.file("kv");
    writeText(p, "A=1\nB=" + std::string(3000, 'x') + "\nLATEST_DOWNLOAD=1200.bird\n");
    KeyValueStore kv(p.c_str());
    kv.Add("A", 2);
    kv.Save();
    KeyValueStore again(p.c_str());
    EXPECT_STREQ(again["LATEST_DOWNLOAD"], "1200.bird");
    EXPECT_STREQ(again["A"], "2");
}

TEST(KeyValueAccess, TypedGetters) {
    ScratchDir dir;
    std::string p = dir.file("kv");
    writeText(p, "I=42abc\nN=-7\nH=0xFFFFFFFF\nh=ff\nB0=0\nB2=2\nD=1.5\nE=\nT=text\n");
    KeyValueStore kv(p.c_str());
    EXPECT_EQ(kv.GetInt("I", 5), 42);
    EXPECT_EQ(kv.GetInt("N", 5), -7);
    EXPECT_EQ(kv.GetInt("E", 5), 5);
    EXPECT_EQ(kv.GetHex("H", 1), 0xFFFFFFFFu);
    EXPECT_EQ(kv.GetHex("h", 1), 0xFFu);
    EXPECT_EQ(kv.GetHex("E", 7), 7u);
    EXPECT_FALSE(kv.GetBOOL("B0", true));
    EXPECT_TRUE(kv.GetBOOL("B2", false));
    EXPECT_TRUE(kv.GetBOOL("E", true));
    EXPECT_DOUBLE_EQ(kv.GetDouble("D", 0), 1.5);
    EXPECT_DOUBLE_EQ(kv.GetDouble("E", 2.5), 2.5);
    EXPECT_EQ(kv.GetString("E", "dflt"), "");
    EXPECT_EQ(kv.GetString("T"), "text");
    EXPECT_EQ(kv.GetString("ABSENT", "dflt"), "dflt");
    EXPECT_EQ(kv.GetString("ABSENT"), "");
    EXPECT_EQ(kv["ABSENT"], nullptr);
    EXPECT_FALSE(kv.IsModified());

    // A typed read of an absent key leaves an empty entry that the next save writes.
    EXPECT_EQ(kv.GetInt("LATEST_TRANSFER", 9), 9);
    EXPECT_STREQ(kv["LATEST_TRANSFER"], "");
    EXPECT_FALSE(kv.IsModified());
    kv.Save();
    EXPECT_THAT(readText(p), HasSubstr("\nLATEST_TRANSFER=\n"));
    EXPECT_THAT(readText(p), ::testing::Not(HasSubstr("UPDATED_TIME")));
}

TEST(KeyValueAccess, AddFormatsAndModifiedFlag) {
    ScratchDir dir;
    KeyValueStore kv;
    struct Case {
        const char* name;
        std::function<void()> add;
        const char* key;
        const char* stored;
        bool modifies;
    } cases[] = {
        {"hex", [&] { kv.AddHex("X", 255); }, "X", "0x000000FF", true},
        {"hex top", [&] { kv.AddHex("Y", 0xFFFFFFFFu); }, "Y", "0xFFFFFFFF", true},
        {"double", [&] { kv.Add("D", 1.5); }, "D", "1.500000", true},
        {"negative int", [&] { kv.Add("I", -3); }, "I", "-3", true},
        {"same int again", [&] { kv.Add("I", -3); }, "I", "-3", false},
        {"same text as the int", [&] { kv.Add("I", "-3"); }, "I", "-3", false},
        {"empty text to an absent key", [&] { kv.Add("EMPTY", ""); }, "EMPTY", "", false},
        {"string", [&] { kv.Add("S", std::string("a b")); }, "S", "a b", true},
    };
    for (const Case& c : cases) {
        kv.Save(dir.file("kv").c_str());
        ASSERT_FALSE(kv.IsModified()) << c.name;
        c.add();
        EXPECT_STREQ(kv[c.key], c.stored) << c.name;
        EXPECT_EQ(kv.IsModified(), c.modifies) << c.name;
    }

    KeyValueStore a, b;
    a.Save(dir.file("a").c_str());
    EXPECT_FALSE(a.IsModified());
    a.Add(b);
    EXPECT_FALSE(a.IsModified()) << "merging an empty store changes nothing";
    b.Add("K", 1);
    a.Add(b);
    EXPECT_TRUE(a.IsModified());
    EXPECT_STREQ(a["K"], "1");
    a.Save();
    a.Clear();
    EXPECT_TRUE(a.IsModified());
    EXPECT_TRUE(a.Entries().empty());
}

TEST(KeyValueFile, FreshLoadCreatesTwoLines) {
    ScratchDir dir;
    std::string p = dir.file(".settings");
    LogCapture log(Log::DEBUG_Attributes);
    KeyValueStore kv(p.c_str());
    EXPECT_THAT(log.text(), HasSubstr("Attibutes: Error - cannot open attributes file: '" + p + "' (2)\n"));
    std::string text = readText(p);
    EXPECT_THAT(text, MatchesRegex("CREATED_TIME=[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} "
                                   "[0-9]{4}\nUPDATED_TIME=.{24}\n"));
    std::string created = text.substr(13, 24), updated = text.substr(13 + 24 + 1 + 13, 24);
    EXPECT_EQ(created, updated);
    EXPECT_FALSE(kv.IsModified());
    EXPECT_EQ(kv.Entries().size(), 2u);
}

TEST(KeyValueFile, SaveWritesSortedLinesAndStampsOnlyChanges) {
    ScratchDir dir;
    std::string p = dir.file("kv");
    writeText(p, "# comment\n  b = 2\na=1\n");
    KeyValueStore kv(p.c_str());
    kv.Save();
    EXPECT_EQ(readText(p), "a=1\nb=2\n");

    kv.Add("c", "x=y");
    kv.Save();
    std::string text = readText(p);
    EXPECT_THAT(text, MatchesRegex("UPDATED_TIME=.{24}\na=1\nb=2\nc=x=y\n"));
    EXPECT_FALSE(kv.IsModified());

    // Saving to another path remembers it.
    std::string other = dir.file("other");
    kv.Save(other.c_str());
    EXPECT_EQ(kv.Path(), other);
    EXPECT_EQ(readText(other), text);
}

TEST(KeyValueFile, WhatIsSavedReadsBackTheSame) {
    // Entries that fit the line format come back exactly; a key that begins with
    // '#' is written indented so that it does not read as a comment.
    const Map kept = {
        {"a", ""}, {"#", ""}, {"#k", "v"}, {"##", "#"}, {"b", "x=y"}, {"c", "in ner"}, {"d", "tab\tin"},
        {"e", std::string(2044, 'y')}, {"f\rg", "v\rw"},
    };
    // Entries no line can carry: they would read back altered or as another entry.
    const Map refused = {
        {"", "v"},        {" lead", "v"},    {"trail ", "v"},   {"k=q", "v"},          {"nl\nkey", "v"},
        {"v1", " lead"},  {"v2", "trail "}, {"v3", "x\nINJECTED=1"}, {"v4", "cr\r"},
    };
    ScratchDir dir;
    std::string p = dir.file("kv");
    writeText(p, "");
    KeyValueStore kv(p.c_str());
    for (const auto& [k, v] : kept) kv.Add(k, v);
    for (const auto& [k, v] : refused) kv.Add(k, v);
    LogCapture log(Log::DEBUG_Attributes);
    kv.Save();
    EXPECT_FALSE(kv.IsModified());
    EXPECT_THAT(readText(p), HasSubstr("\n #k=v\n"));
    EXPECT_THAT(log.text(), HasSubstr("Attibutes: entry 'k=q' cannot be stored in '" + p + "', left out\n"));

    KeyValueStore again(p.c_str());
    Map expected = kept;
    expected["UPDATED_TIME"] = kv.GetString("UPDATED_TIME");
    EXPECT_EQ(again.Entries(), expected);

    // A file written before keys were indented still reads as it always did.
    writeText(p, "#k=old comment\n #k=v\na=\n");
    KeyValueStore old(p.c_str());
    EXPECT_EQ(old.Entries(), (Map{{"#k", "v"}, {"a", ""}}));
}

TEST(KeyValueFile, FailedSaveKeepsTheOldFileAndTheFlag) {
    ScratchDir dir;
    std::string p = dir.file("kv");
    writeText(p, "A=1\n");
    KeyValueStore kv(p.c_str());
    kv.Add("A", 2);
    LogCapture log(Log::DEBUG_Attributes);
    std::string missing = dir.file("no/such/kv");
    kv.Save(missing.c_str());
    EXPECT_THAT(log.text(), HasSubstr("Attibutes: Error - cannot open attributes file for writting: '" + missing +
                                      "' (2)\n"));
    EXPECT_TRUE(kv.IsModified());
    EXPECT_EQ(readText(p), "A=1\n");
}

TEST(KeyValueFile, SaveWithoutAnyPathUsesTheDefaultName) {
    ScratchDir dir;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    LogCapture log(Log::DEBUG_Attributes);
    KeyValueStore kv;
    kv.Add("K", "v");
    kv.Save();
    EXPECT_EQ(chdir(cwd), 0);
    EXPECT_THAT(log.text(), HasSubstr("Attibutes: no filename given for attributes, using default:[.settings]\n"));
    EXPECT_EQ(kv.Path(), ".settings");
    EXPECT_THAT(readText(dir.file(".settings")), HasSubstr("K=v\n"));
}
