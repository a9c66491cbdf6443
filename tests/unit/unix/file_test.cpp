#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "lib/unix/aDirectory.h"
#include "lib/unix/aFile.h"
#include "temp_dir.h"

namespace {

void writeText(const std::string& path, const std::string& text)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

std::string readText(const std::string& path)
{
    std::string out;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        char buf[256];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            out.append(buf, n);
        fclose(f);
    }
    return out;
}

TEST(FileOpen, RefusesWhatCannotBeOpened)
{
    TempDir tmp;
    const std::string tooLong(aFILE_MAXPATHLENGTH + 1, 'p');
    struct Case {
        const char* what;
        const char* path;
        int mode;
    } cases[] = {
        {"null path", nullptr, aFileModeReadOnly},
        {"empty path", "", aFileModeWriteOnly},
        {"path too long", tooLong.c_str(), aFileModeWriteOnly},
        {"missing file for reading", "/nonexistent/dir/f", aFileModeReadOnly},
        {"mode 3", "/tmp/x", aFileModeUnknown},
        {"mode 9", "/tmp/x", 9},
    };
    for (const auto& c : cases)
        EXPECT_EQ(nullptr, aFile_Open(c.path, static_cast<aFileMode>(c.mode))) << c.what;

    EXPECT_FALSE(aFile_Exists(nullptr));
    EXPECT_FALSE(aFile_Exists(tooLong.c_str()));
    EXPECT_FALSE(aFile_Exists(tmp.path().c_str()));  // a directory
    EXPECT_FALSE(aFile_Exists((tmp / "missing").c_str()));
}

TEST(FileOpen, AppendCreatesAndWritesAtTheEnd)
{
    TempDir tmp;
    const std::string path = tmp / "log";
    aFileRef f = aFile_Open(path.c_str(), aFileModeAppend);
    ASSERT_NE(nullptr, f);
    EXPECT_TRUE(aFile_Exists(path.c_str()));
    size_t n = 0;
    EXPECT_EQ(aErrNone, aFile_Write(f, reinterpret_cast<const uint8_t*>("one\n"), 4, &n));
    EXPECT_EQ(4u, n);
    EXPECT_EQ(aErrNone, aFile_Close(&f));
    EXPECT_EQ(nullptr, f);

    f = aFile_Open(path.c_str(), aFileModeAppend);
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(aErrNone, aFile_Printf(f, "%s %d\n", "two", 2));
    // Reading straight after writing in the same stream sees the file from the top.
    EXPECT_EQ(aErrNone, aFile_Seek(f, 0, aSeekStart));
    char line[32];
    size_t len = 0;
    EXPECT_EQ(aErrNone, aFile_ReadLine(f, line, sizeof line, &len));
    EXPECT_STREQ("one\n", line);
    EXPECT_EQ(aErrNone, aFile_Write(f, reinterpret_cast<const uint8_t*>("3\n"), 2, nullptr));
    aFile_Close(&f);
    EXPECT_EQ("one\ntwo 2\n3\n", readText(path));
}

TEST(FileHandle, ModesAndStaleHandlesAreRefused)
{
    TempDir tmp;
    const std::string path = tmp / "f";
    writeText(path, "abc");
    uint8_t buf[4];

    aFileRef r = aFile_Open(path.c_str(), aFileModeReadOnly);
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(aErrMode, aFile_Write(r, buf, 1, nullptr));
    EXPECT_EQ(aErrMode, aFile_Printf(r, "x"));
    EXPECT_EQ(aErrMode, aFile_SetUnbuffered(r));
    EXPECT_EQ(aErrParam, aFile_Read(r, nullptr, 1, nullptr));
    uint32_t size = 0;
    EXPECT_EQ(aErrParam, aFile_GetSize(r, nullptr));
    EXPECT_EQ(aErrNone, aFile_GetSize(r, &size));
    EXPECT_EQ(3u, size);

    aFileRef w = aFile_Open((tmp / "w").c_str(), aFileModeWriteOnly);
    ASSERT_NE(nullptr, w);
    EXPECT_EQ(aErrMode, aFile_Read(w, buf, 1, nullptr));
    char line[8];
    size_t len;
    EXPECT_EQ(aErrMode, aFile_ReadLine(w, line, sizeof line, &len));
    EXPECT_EQ(aErrNone, aFile_SetUnbuffered(w));
    EXPECT_EQ(aErrParam, aFile_Write(w, nullptr, 1, nullptr));
    aFile_Close(&w);

    EXPECT_EQ(aErrNone, aFile_Close(&r));
    EXPECT_EQ(nullptr, r);
    aFileRef nullFile = nullptr;
    EXPECT_EQ(aErrParam, aFile_Close(&nullFile));
    EXPECT_EQ(aErrParam, aFile_Close(nullptr));
    EXPECT_EQ(aErrParam, aFile_Read(nullptr, buf, 1, nullptr));
}

TEST(FileRead, EndOfFile)
{
    TempDir tmp;
    writeText(tmp / "f", "xy");
    aFileRef f = aFile_Open((tmp / "f").c_str(), aFileModeReadOnly);
    ASSERT_NE(nullptr, f);
    uint8_t buf[8];
    size_t n = 99;
    EXPECT_EQ(aErrNone, aFile_Read(f, buf, sizeof buf, &n));  // short read is fine
    EXPECT_EQ(2u, n);
    EXPECT_EQ(aErrNone, aFile_Read(f, buf, 0, &n));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(aErrEOF, aFile_Read(f, buf, 1, &n));
    EXPECT_EQ(0u, n);
    aFile_Close(&f);
}

TEST(FileSeek, StaysWithinTheFile)
{
    TempDir tmp;
    writeText(tmp / "f", "0123456789");
    aFileRef f = aFile_Open((tmp / "f").c_str(), aFileModeReadOnly);
    ASSERT_NE(nullptr, f);
    struct Case {
        long offset;
        int origin;
        aErr err;
        int next;  // byte read after a successful seek, -1 at the end
    } cases[] = {
        {0, aSeekEnd, aErrNone, -1},
        {1, aSeekEnd, aErrRange, 0},
        {-1, aSeekStart, aErrRange, 0},
        {-3, aSeekEnd, aErrNone, '7'},
        {4, aSeekStart, aErrNone, '4'},
        {2, aSeekCurrent, aErrNone, '7'},  // after reading '4' the position is 5
        {-8, aSeekCurrent, aErrNone, '0'},
        {3, 42, aErrNone, '3'},  // an unknown origin counts as the start
        {11, aSeekStart, aErrRange, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + " from " + std::to_string(c.origin));
        ASSERT_EQ(c.err, aFile_Seek(f, c.offset, c.origin));
        if (c.err != aErrNone)
            continue;
        uint8_t b = 0;
        size_t n = 0;
        aErr err = aFile_Read(f, &b, 1, &n);
        if (c.next < 0)
            EXPECT_EQ(aErrEOF, err);
        else
            EXPECT_EQ(c.next, b);
    }
    aFile_Close(&f);
}

TEST(FileReadLine, LinesLongerThanTheBufferComeInPieces)
{
    TempDir tmp;
    writeText(tmp / "f", "abcdefghij\nsixsix\n\nlast");
    aFileRef f = aFile_Open((tmp / "f").c_str(), aFileModeReadOnly);
    ASSERT_NE(nullptr, f);
    struct Step {
        aErr err;
        const char* text;
    } steps[] = {
        {aErrOverrun, "abcdefg"},
        {aErrNone, "hij\n"},
        {aErrNone, "sixsix\n"},
        {aErrNone, "\n"},
        {aErrNone, "last"},
        {aErrEOF, ""},
    };
    for (const auto& s : steps) {
        char buf[8];
        size_t len = 99;
        EXPECT_EQ(s.err, aFile_ReadLine(f, buf, sizeof buf, &len)) << s.text;
        EXPECT_STREQ(s.text, buf);
        EXPECT_EQ(strlen(s.text), len);
    }
    aFile_Close(&f);

    // A last line without newline that exactly fills the buffer is whole.
    writeText(tmp / "g", "1234567");
    f = aFile_Open((tmp / "g").c_str(), aFileModeReadOnly);
    char buf[8];
    size_t len = 0;
    EXPECT_EQ(aErrNone, aFile_ReadLine(f, buf, sizeof buf, &len));
    EXPECT_STREQ("1234567", buf);
    EXPECT_EQ(aErrEOF, aFile_ReadLine(f, buf, sizeof buf, &len));
    aFile_Close(&f);
}

TEST(FileDelete, ReportsWhyItFailed)
{
    TempDir tmp;
    writeText(tmp / "f", "x");
    const std::string tooLong(aFILE_MAXPATHLENGTH + 1, 'p');
    EXPECT_EQ(aErrNone, aFile_Delete((tmp / "f").c_str()));
    EXPECT_FALSE(aFile_Exists((tmp / "f").c_str()));
    EXPECT_EQ(aErrNotFound, aFile_Delete((tmp / "f").c_str()));
    EXPECT_EQ(aErrParam, aFile_Delete(nullptr));
    EXPECT_EQ(aErrFileNameLength, aFile_Delete(tooLong.c_str()));
    EXPECT_EQ(aErrIO, aFile_Delete(tmp.path().c_str()));  // a directory
}

} // namespace
