#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "lib/common/aStream.h"
#include "lib/unix/aDirectory.h"

namespace {

// A transport driven by a script: each get takes the next step, a byte or a
// result code. An empty script answers aErrNotReady.
struct Script {
    struct Step {
        aErr err;
        uint8_t byte;
    };
    std::deque<Step> steps;
    int gets = 0;
    std::vector<std::string> calls;  // "put:x" / "write:xy"
    aErr putResult = aErrNone;
    int deletes = 0;

    void bytes(const std::string& s)
    {
        for (char c : s)
            steps.push_back({aErrNone, static_cast<uint8_t>(c)});
    }
    void result(aErr e) { steps.push_back({e, 0}); }

    static aErr get(uint8_t* b, void* ref)
    {
        auto* s = static_cast<Script*>(ref);
        ++s->gets;
        if (s->steps.empty())
            return aErrNotReady;
        Step st = s->steps.front();
        s->steps.pop_front();
        *b = st.byte;
        return st.err;
    }
    static aErr put(const uint8_t* b, void* ref)
    {
        auto* s = static_cast<Script*>(ref);
        s->calls.push_back("put:" + std::string(1, static_cast<char>(*b)));
        return s->putResult;
    }
    static aErr write(const uint8_t* d, size_t n, void* ref)
    {
        static_cast<Script*>(ref)->calls.push_back("write:" + std::string(reinterpret_cast<const char*>(d), n));
        return aErrNone;
    }
    static aErr del(void* ref)
    {
        ++static_cast<Script*>(ref)->deletes;
        return aErrIO;  // so the test sees that destroy returns it
    }
};

struct StreamTest : ::testing::Test {
    Script t;
    aStream* s = aStream_Create(Script::get, Script::put, Script::write, nullptr, &t);
    ~StreamTest() override { aStream_Destroy(&s); }

    std::string readRecord(aErr expected, size_t maximum, const std::string& delimiter)
    {
        uint8_t out[64];
        size_t len = 99;
        EXPECT_EQ(expected, aStream_ReadRecord(s, out, &len, maximum,
                                               reinterpret_cast<const uint8_t*>(delimiter.data()),
                                               delimiter.size()));
        return std::string(reinterpret_cast<char*>(out), len);
    }
};

TEST_F(StreamTest, ReadDeliversAllOrNothing)
{
    uint8_t buf[4] = {};
    t.bytes("ab");
    EXPECT_EQ(aErrNotReady, aStream_Read(s, buf, 4));
    t.bytes("cd");
    ASSERT_EQ(aErrNone, aStream_Read(s, buf, 4));
    EXPECT_EQ("abcd", std::string(reinterpret_cast<char*>(buf), 4));

    int before = t.gets;
    EXPECT_EQ(aErrNone, aStream_Read(s, buf, 0));
    EXPECT_EQ(before, t.gets);

    // End of data hands over what came before it.
    memset(buf, 0, sizeof buf);
    t.bytes("xy");
    t.result(aErrEOF);
    EXPECT_EQ(aErrEOF, aStream_Read(s, buf, 4));
    EXPECT_EQ('x', buf[0]);
    EXPECT_EQ('y', buf[1]);

    // Any other failure loses the bytes.
    t.bytes("pq");
    t.result(aErrIO);
    t.bytes("r");
    EXPECT_EQ(aErrIO, aStream_Read(s, buf, 4));
    ASSERT_EQ(aErrNone, aStream_Read(s, buf, 1));
    EXPECT_EQ('r', buf[0]);
}

TEST_F(StreamTest, PushBackRingGrowsAndKeepsOrder)
{
    std::vector<uint8_t> sent;
    for (int i = 0; i < 600; ++i) {
        sent.push_back(static_cast<uint8_t>(i * 7));
        ASSERT_EQ(aErrNone, aStreamBufferChar(s, sent.back()));
    }
    EXPECT_EQ(aErrNone, aStream_WaitReadable(s, 1000));  // answers at once
    std::vector<uint8_t> got(600);
    ASSERT_EQ(aErrNone, aStream_Read(s, got.data(), got.size()));
    EXPECT_EQ(sent, got);
    EXPECT_EQ(0, t.gets);
    EXPECT_EQ(aErrParam, aStreamBufferChar(nullptr, 1));
}

TEST_F(StreamTest, WriteChoosesBetweenPutAndWrite)
{
    const uint8_t two[] = {'a', 'b'};
    EXPECT_EQ(aErrNone, aStream_Write(s, two, 1));
    EXPECT_EQ(aErrNone, aStream_Write(s, two, 2));
    EXPECT_EQ(aErrNone, aStream_Write(s, two, 0));
    EXPECT_EQ((std::vector<std::string>{"put:a", "write:ab"}), t.calls);
    EXPECT_EQ(aErrParam, aStream_Write(s, nullptr, 1));

    Script only;
    aStream* putOnly = aStream_Create(nullptr, Script::put, nullptr, nullptr, &only);
    only.putResult = aErrIO;
    EXPECT_EQ(aErrIO, aStream_Write(putOnly, two, 2));
    EXPECT_EQ(1u, only.calls.size());  // stopped at the first failure
    aStream* writeOnly = aStream_Create(nullptr, nullptr, Script::write, nullptr, &only);
    EXPECT_EQ(aErrNone, aStream_Write(writeOnly, two, 1));
    EXPECT_EQ("write:a", only.calls.back());
    aStream* readOnly = aStream_Create(Script::get, nullptr, nullptr, nullptr, &only);
    EXPECT_EQ(aErrMode, aStream_Write(readOnly, two, 1));
    uint8_t b;
    EXPECT_EQ(aErrMode, aStream_Read(writeOnly, &b, 1));
    aStream_Destroy(&putOnly);
    aStream_Destroy(&writeOnly);
    aStream_Destroy(&readOnly);
}

TEST_F(StreamTest, CStrings)
{
    char out[10];
    t.bytes(std::string("abc\0de\0", 7));
    ASSERT_EQ(aErrNone, aStream_ReadCString(s, out, sizeof out));
    EXPECT_STREQ("abc", out);
    ASSERT_EQ(aErrNone, aStream_ReadCString(s, out, sizeof out));
    EXPECT_STREQ("de", out);

    // A full buffer ends the string; the rest stays in the stream.
    t.bytes(std::string("abcdef\0", 7));
    ASSERT_EQ(aErrNone, aStream_ReadCString(s, out, 3));
    EXPECT_STREQ("ab", out);
    ASSERT_EQ(aErrNone, aStream_ReadCString(s, out, sizeof out));
    EXPECT_STREQ("cdef", out);

    EXPECT_EQ(aErrNone, aStream_WriteCString(s, "hi"));
    EXPECT_EQ(aErrNone, aStream_WriteCStringRecord(s, "GO", "\r\n"));
    EXPECT_EQ((std::vector<std::string>{std::string("write:hi\0", 9), "write:GO",
                                        std::string("write:\r\n\0", 9)}),
              t.calls);
}

TEST_F(StreamTest, RecordsEndAtDelimiterEndOrMaximum)
{
    t.bytes("xy");
    t.result(aErrEOF);
    EXPECT_EQ("xy", readRecord(aErrNone, 32, "\n"));
    t.result(aErrEOF);
    EXPECT_EQ("", readRecord(aErrEOF, 32, "\n"));
    t.result(aErrIO);
    readRecord(aErrIO, 32, "\n");

    // A partial delimiter broken by another byte is record content.
    t.bytes("a\rb\r\nnext\r\n");
    EXPECT_EQ("a\rb", readRecord(aErrNone, 32, "\r\n"));
    EXPECT_EQ("next", readRecord(aErrNone, 32, "\r\n"));
    t.bytes("OK\r\r\n");
    EXPECT_EQ("OK\r", readRecord(aErrNone, 32, "\r\n"));
    t.bytes("abcdef\n");
    EXPECT_EQ("abcd", readRecord(aErrNone, 4, "\n"));
    EXPECT_EQ("ef", readRecord(aErrNone, 4, "\n"));
}

TEST_F(StreamTest, RecordNotReadyKeepsEveryByteForLater)
{
    // The line arrives in pieces, one of them ending inside the delimiter.
    t.bytes("Synchro");
    EXPECT_EQ("", readRecord(aErrNotReady, 32, "\r\n"));
    t.bytes("nized\r");
    EXPECT_EQ("", readRecord(aErrNotReady, 32, "\r\n"));
    t.bytes("\nOK\r\n");
    char out[32];
    ASSERT_EQ(aErrNone, aStream_ReadCStringRecord(s, out, sizeof out, "\r\n"));
    EXPECT_STREQ("Synchronized", out);
    ASSERT_EQ(aErrNone, aStream_ReadCStringRecord(s, out, sizeof out, "\r\n"));
    EXPECT_STREQ("OK", out);
}

TEST(Stream, DestroyAndValidity)
{
    Script t;
    aStream* s = aStream_Create(Script::get, nullptr, nullptr, Script::del, &t);
    EXPECT_EQ(aErrIO, aStream_Destroy(&s));  // the transport's delete result
    EXPECT_EQ(1, t.deletes);
    EXPECT_EQ(nullptr, s);
    EXPECT_EQ(aErrParam, aStream_Destroy(&s));
    EXPECT_EQ(1, t.deletes);
    EXPECT_EQ(aErrParam, aStream_Destroy(nullptr));
    uint8_t b;
    EXPECT_EQ(aErrParam, aStream_Read(nullptr, &b, 1));
    EXPECT_EQ(aErrParam, aStream_WaitReadable(nullptr, 0));
}

TEST(StreamFile, CopiesAFileAndRefusesMissingOnes)
{
    char dir[] = "/tmp/stream_file.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    const std::string in = std::string(dir) + "/in", out = std::string(dir) + "/out";
    FILE* f = fopen(in.c_str(), "wb");
    const std::string content("binary\0data\xff", 12);
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);

    aStream* src = reinterpret_cast<aStream*>(1);
    EXPECT_EQ(aErrResource, aStream_CreateFileInput((std::string(dir) + "/missing").c_str(), &src));
    EXPECT_EQ(nullptr, src);
    EXPECT_EQ(aErrResource, aStream_CreateFileInput(nullptr, &src));
    EXPECT_EQ(aErrResource, aStream_CreateFileOutput((std::string(dir) + "/no/such/dir").c_str(), &src));

    aStream* dst = nullptr;
    ASSERT_EQ(aErrNone, aStream_CreateFileInput(in.c_str(), &src));
    ASSERT_EQ(aErrNone, aStream_CreateFileOutput(out.c_str(), &dst));
    // Copying reads the file itself, not bytes pushed back in front of it.
    aStreamBufferChar(src, 'Z');
    EXPECT_EQ(aErrNone, aStream_Flush(src, dst));
    EXPECT_EQ(aErrMode, aStream_Flush(dst, src));
    EXPECT_EQ(aErrNone, aStream_Destroy(&src));
    EXPECT_EQ(aErrNone, aStream_Destroy(&dst));

    std::string copied;
    f = fopen(out.c_str(), "rb");
    char buf[64];
    size_t n = fread(buf, 1, sizeof buf, f);
    fclose(f);
    copied.assign(buf, n);
    EXPECT_EQ(content, copied);
    aDirectory_DeleteTree(dir);
}

} // namespace
