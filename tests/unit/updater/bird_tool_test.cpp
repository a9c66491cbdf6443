// birdtool from the command line: a file it creates loads in BirdFile as described,
// `info` shows it, and bad arguments are refused with a message and exit status 2.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>

#include "tests/unit/updater/bird_test_support.h"
#include "updater/BirdFile.h"

using ::testing::HasSubstr;

namespace {

const std::string kTool = std::string(TEST_BINARY_DIR) + "/tools/birdtool/birdtool";

struct ToolRun {
    int status;
    std::string output;  // stdout and stderr together
};

ToolRun runTool(const std::string& args) {
    std::string cmd = kTool + " " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    ToolRun r{-1, {}};
    if (p == nullptr) return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) r.output.append(buf.data(), n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

}  // namespace

class BirdTool : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(kTool.c_str(), X_OK) != 0) GTEST_SKIP() << "birdtool not built";
        birdwriter::write_file(dir.file("ld.bin"), std::vector<uint8_t>(40, 0x11));
        std::vector<uint8_t> fw(100);
        for (size_t i = 0; i < fw.size(); ++i) fw[i] = uint8_t(i);
        birdwriter::write_file(dir.file("fw.bin"), fw);
    }
    ScratchDir dir;
};

TEST_F(BirdTool, CreateThenLoadAndInfo) {
    std::string out = dir.file("a.bird");
    ToolRun c = runTool("create -o " + out + " --build 1234 --version 1.4.2 --serial 0a1b2c3d --model HUB" +
                " --loader 0x20000000:" + dir.file("ld.bin") + " --flags 3 --firmware 0x1000:" + dir.file("fw.bin") +
                " --serial-offsets 0x1008:0x1020 --loader-start 0x20000400");
    ASSERT_EQ(c.status, 0) << c.output;

    ASSERT_TRUE(BirdFile::VerifyFile(out));
    BirdFile f(out);
    EXPECT_EQ(f.GetBuild(), 1234u);
    EXPECT_EQ(f.GetVersion(), "1.4.2");
    EXPECT_EQ(f.GetSerialNumber(), 0x0A1B2C3Du);
    EXPECT_TRUE(f.ValidateModel("HUB"));
    EXPECT_TRUE(f.hasSerialOffsets);
    ASSERT_EQ(f.FindBlocks(BLOCK_LOADER).size(), 1u);
    EXPECT_EQ(f.FindBlocks(BLOCK_LOADER)[0].flags, 3);
    EXPECT_EQ(f.FindBlocks(BLOCK_LOADER)[0].address, 0x20000000u);
    ASSERT_EQ(f.FindBlocks(BLOCK_FIRMWARE).size(), 1u);
    EXPECT_EQ(f.FindBlocks(BLOCK_FIRMWARE)[0].length, 104u);
    ASSERT_EQ(f.FindBlocks(BLOCK_LOADER_START).size(), 1u);
    EXPECT_TRUE(f.ReplaceSerialNumber(0xCAFEF00D));
    const uint8_t* image = f.FindBlocks(BLOCK_FIRMWARE)[0].data + 4;
    EXPECT_EQ(image[8], 0x0D);
    EXPECT_EQ(image[11], 0xCA);
    EXPECT_EQ(image[0x20], 'C');
    EXPECT_EQ(image[0x22], 'A');

    ToolRun i = runTool("info " + out);
    EXPECT_EQ(i.status, 0) << i.output;
    EXPECT_THAT(i.output, HasSubstr("header: signature \"bird\" version 01 01\n"));
    EXPECT_THAT(i.output, HasSubstr("5 blocks stated, 5 found"));
    EXPECT_THAT(i.output, HasSubstr("descriptor: build [1234            ] version [1.4.2           ] serial "
                                    "[0A1B2C3D        ] model [HUB             ]\n"));
    EXPECT_THAT(i.output, HasSubstr("type 0 (loader) flags 3 length 44 address 0x20000000\n"));
    EXPECT_THAT(i.output, HasSubstr("type 1 (firmware) flags 0 length 104 address 0x00001000\n"));
}

TEST_F(BirdTool, RefusesBadArguments) {
    const std::string fw = dir.file("fw.bin");
    const std::string out = " -o " + dir.file("x.bird");
    struct Case {
        std::string args;
        const char* message;
    } cases[] = {
        {"", "missing command"},
        {"frobnicate", "unknown command 'frobnicate'"},
        {"create --firmware 0:" + fw, "create needs -o OUT"},
        {"create" + out + " --firmware 0x10" + fw, "--firmware expects NUMBER:FILE"},
        {"create" + out + " --firmware zz:" + fw, "--firmware expects NUMBER:FILE"},
        {"create" + out + " --firmware 0:" + dir.file("missing.bin"), "cannot read"},
        {"create" + out + " --flags 1", "--flags must follow"},
        {"create" + out + " --firmware 0:" + fw + " --flags 8", "--flags must be 0 to 7"},
        {"create" + out + " --serial XYZ", "--serial must be a hexadecimal number"},
        {"create" + out + " --serial 1FFFFFFFF", "--serial must be a hexadecimal number"},
        {"create" + out + " --build -1", "--build must be a decimal number"},
        {"create" + out + " --model SEVENTEEN-LETTERS", "--model is longer than 16 characters"},
        {"create" + out + " --raw 32:" + fw, "block type must be 0 to 31"},
        {"create" + out + " --bogus 1", "unknown option --bogus"},
        {"create" + out + " --model", "needs a value"},
        {"info", "info takes exactly one FILE"},
        {"info " + dir.file("missing.bird"), "cannot read"},
        {"info " + fw, "payload does not inflate"},
    };
    for (const Case& c : cases) {
        ToolRun r = runTool(c.args);
        EXPECT_EQ(r.status, 2) << c.args << "\n" << r.output;
        EXPECT_THAT(r.output, HasSubstr(c.message)) << c.args;
    }
    EXPECT_NE(access(dir.file("x.bird").c_str(), F_OK), 0) << "a refused create writes nothing";
}
