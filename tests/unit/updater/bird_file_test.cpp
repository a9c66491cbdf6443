// BirdFile against fixtures made by the authoring library: header test, loading,
// scan mismatches, descriptor queries and the three in-memory patches.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "tests/unit/updater/bird_test_support.h"
#include "updater/BirdFile.h"

using namespace birdwriter;
using ::testing::HasSubstr;

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> v;
    for (int b : list) v.push_back(uint8_t(b));
    return v;
}

std::vector<uint8_t> counting(size_t n, uint8_t start = 0) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(start + i);
    return v;
}

BirdSpec plainSpec() {
    BirdSpec spec;
    spec.blocks.push_back(descriptorBlock(1234, "1.4.2", 0x0A1B2C3D, "HUB"));
    spec.blocks.push_back(loaderBlock(0x20000000, counting(40)));
    spec.blocks.push_back(firmwareBlock(0x1000, counting(100)));
    return spec;
}

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

}  // namespace

TEST(BirdVerify, HeaderChecks) {
    ScratchDir dir;
    std::vector<uint8_t> good = make_bird(plainSpec());
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
        bool expected;
    } cases[] = {
        {"good", good, true},
        {"upper-case signature", [&] { auto f = good; f[0] = 'B'; return f; }(), false},
        {"version 01 00", [&] { auto f = good; f[5] = 0; return f; }(), false},
        {"version 00 01", [&] { auto f = good; f[4] = 0; return f; }(), false},
        {"version 07 09 is accepted", [&] { auto f = good; f[4] = 7; f[5] = 9; return f; }(), true},
        {"five bytes", bytes({'b', 'i', 'r', 'd', 1}), false},
        {"header only", bytes({'b', 'i', 'r', 'd', 1, 1}), true},
        {"empty", {}, false},
    };
    for (const Case& c : cases) {
        std::string p = dir.write("f.bird", c.file);
        EXPECT_EQ(BirdFile::VerifyFile(p), c.expected) << c.name;
    }
    LogCapture log(Log::DEBUG_BirdFile);
    EXPECT_FALSE(BirdFile::VerifyFile(dir.file("missing.bird")));
    EXPECT_THAT(log.text(), HasSubstr("BIRDFILE: Error - cannot open bird file: '" + dir.file("missing.bird") + "'\n"));
}

TEST(BirdLoad, LoadsBlocksInFileOrder) {
    ScratchDir dir;
    BirdSpec spec = plainSpec();
    spec.blocks[1].flags = 5;
    spec.blocks.push_back(Block{17, 2, bytes({9, 9})});  // an unknown type stays in the list
    std::string p = dir.write("a.bird", make_bird(spec));

    BirdFile f(p);
    EXPECT_EQ(f.path, p);
    EXPECT_EQ(f.signature, 0x62697264u);
    EXPECT_EQ(f.version, 0x0101);
    ASSERT_EQ(f.blocks.size(), 4u);
    EXPECT_EQ(f.blockCount, 4u);
    EXPECT_EQ(f.blocks[1].type, BLOCK_LOADER);
    EXPECT_EQ(f.blocks[1].flags, 5);
    EXPECT_EQ(f.blocks[1].length, 44u);
    EXPECT_EQ(f.blocks[1].address, 0x20000000u);
    EXPECT_EQ(f.blocks[2].address, 0x1000u);
    EXPECT_EQ(std::memcmp(f.blocks[2].data + 4, counting(100).data(), 100), 0);
    EXPECT_EQ(f.blocks[3].type, 17);
    EXPECT_EQ(f.blocks[3].address, 0u);
    EXPECT_EQ(f.FindBlocks(BLOCK_FIRMWARE).size(), 1u);
    EXPECT_TRUE(f.FindBlocks(BLOCK_LOADER_START).empty());
    EXPECT_FALSE(f.hasSerialOffsets);

    uint32_t sum = 0;
    std::vector<uint8_t> payload = make_payload(spec);
    for (size_t i = 0; i + 4 < payload.size(); ++i) sum += payload[i];
    EXPECT_EQ(f.checksum, sum);

    // Moving keeps the blocks pointing at the payload that moved with them.
    BirdFile moved;
    moved = std::move(f);
    ASSERT_EQ(moved.blocks.size(), 4u);
    EXPECT_GE(moved.blocks[2].data, moved.GetPayload());
    EXPECT_LE(moved.blocks[2].data + moved.blocks[2].length, moved.GetPayload() + moved.GetPayloadLength());
    EXPECT_EQ(moved.GetBuild(), 1234u);
}

TEST(BirdLoad, ScanMismatchesAreLoggedNotFatal) {
    ScratchDir dir;
    struct Case {
        const char* name;
        BirdSpec spec;
        size_t blocksKept;
        const char* logged;
    };
    BirdSpec countHigh = plainSpec();
    countHigh.blockCount = 2;
    BirdSpec shortSum = plainSpec();
    shortSum.checksumBytes = 3;
    BirdSpec overlong = plainSpec();
    overlong.blocks.push_back(firmwareBlock(0, counting(16)));
    Case cases[] = {
        {"three blocks, count 2", countHigh, 3, "Block parsing mismatch in number of blocks. (3 != 2)\n"},
        {"three bytes left for the checksum", shortSum, 3,
         "Block parsing mismatch in data size. (-1 bytes remaining)\n"},
    };
    for (const Case& c : cases) {
        LogCapture log(Log::DEBUG_BirdFile);
        BirdFile f(dir.write("m.bird", make_bird(c.spec)));
        EXPECT_EQ(f.blocks.size(), c.blocksKept) << c.name;
        EXPECT_THAT(log.text(), HasSubstr(c.logged)) << c.name;
        EXPECT_EQ(f.GetBuild(), 1234u) << c.name;
    }

    // A block whose stated length runs past the payload is dropped; the file still loads.
    std::vector<uint8_t> payload = make_payload(overlong);
    size_t lastLength = payload.size() - 4 - 20 - 4;  // the last block's length field
    payload[lastLength] = 0x7F;
    LogCapture log(Log::DEBUG_BirdFile);
    BirdFile f(dir.write("o.bird", wrap_payload(payload)));
    EXPECT_EQ(f.blocks.size(), 3u);
    EXPECT_EQ(f.FindBlocks(BLOCK_FIRMWARE).size(), 1u);
    EXPECT_THAT(log.text(), HasSubstr("Block parsing mismatch in data size. ("));
    EXPECT_THAT(log.text(), HasSubstr("Block parsing mismatch in number of blocks. (3 != 4)"));
}

TEST(BirdLoad, FailuresThrowTheLoadError) {
    ScratchDir dir;
    std::vector<uint8_t> good = make_bird(plainSpec());
    std::vector<uint8_t> truncated(good.begin(), good.end() - 5);
    std::vector<uint8_t> corrupt = good;
    corrupt[10] ^= 0xFF;
    std::vector<uint8_t> tiny = bytes({'b', 'i', 'r'});
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
    } cases[] = {
        {"empty", {}}, {"three bytes", tiny}, {"header only", bytes({'b', 'i', 'r', 'd', 1, 1})},
        {"truncated stream", truncated}, {"corrupt stream", corrupt},
    };
    for (const Case& c : cases) {
        std::string p = dir.write("bad.bird", c.file);
        try {
            BirdFile f(p);
            ADD_FAILURE() << c.name << " loaded";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Failed to load bird data") << c.name;
        }
    }
    LogCapture log(Log::DEBUG_BirdFile);
    EXPECT_THROW(BirdFile(dir.file("none.bird")), std::runtime_error);
    EXPECT_THAT(log.text(), HasSubstr("BIRDFILE: BIRD file not found [" + dir.file("none.bird") + "]\n"));
}

TEST(BirdLoad, InflatesFarBeyondEightToOne) {
    // 16 MiB of erased flash compresses to a few KiB; such firmware is legitimate.
    ScratchDir dir;
    BirdSpec spec;
    spec.blocks.push_back(firmwareBlock(0, std::vector<uint8_t>(16u << 20, 0xFF)));
    std::vector<uint8_t> file = make_bird(spec);
    ASSERT_LT(file.size() * 8, size_t(16u << 20));
    BirdFile f(dir.write("ff.bird", file));
    ASSERT_EQ(f.blocks.size(), 1u);
    EXPECT_EQ(f.blocks[0].length, (16u << 20) + 4);
    EXPECT_EQ(f.blocks[0].data[4 + (16u << 20) - 1], 0xFF);
}

TEST(BirdDescriptor, Queries) {
    struct Case {
        const char* name;
        std::vector<Block> blocks;
        uint32_t build;
        const char* version;
        uint32_t serial;
    } cases[] = {
        {"padded fields", {descriptorBlockText("1234", "1.4.2", "0A1B2C3D", "HUB")}, 1234, "1.4.2", 0x0A1B2C3D},
        {"lower-case hex, digits stop at a letter",
         {descriptorBlockText("77x9", "2.0 beta", "ab12cd34", "HUB")}, 77, "2.0", 0xAB12CD34},
        {"no descriptor", {firmwareBlock(0, counting(8))}, 0, "", 0},
        {"only the first descriptor counts",
         {descriptorBlockText("5", "a", "1", "X"), descriptorBlockText("6", "b", "2", "Y")}, 5, "a", 1},
        {"short descriptor reads as padding", {Block{BLOCK_DESCRIPTOR, 0, bytes({'4', '2'})}}, 42, "", 0},
    };
    ScratchDir dir;
    for (const Case& c : cases) {
        BirdSpec spec;
        spec.blocks = c.blocks;
        BirdFile f(dir.write("d.bird", make_bird(spec)));
        EXPECT_EQ(f.GetBuild(), c.build) << c.name;
        EXPECT_EQ(f.GetVersion(), c.version) << c.name;
        EXPECT_EQ(f.GetSerialNumber(), c.serial) << c.name;
        EXPECT_TRUE(f.ValidateSerialNumber(c.serial)) << c.name;
        EXPECT_FALSE(f.ValidateSerialNumber(c.serial + 1)) << c.name;
    }
}

TEST(BirdDescriptor, ValidateModel) {
    struct Case {
        const char* field;
        const char* name;
        bool expected;
    } cases[] = {
        {"HUB", "HUB", true}, {"HUB", "HUB2", false}, {"HUB2", "HUB", true},
        {"HUB", "", true},    {"HUB", "hub", false},  {"SENSOR-16CHANNEL", "SENSOR-16CHANNEL", true},
    };
    ScratchDir dir;
    for (const Case& c : cases) {
        BirdSpec spec;
        spec.blocks.push_back(descriptorBlockText("1", "1", "1", c.field));
        BirdFile f(dir.write("m.bird", make_bird(spec)));
        LogCapture log(Log::DEBUG_BirdFile);
        EXPECT_EQ(f.ValidateModel(c.name), c.expected) << c.field << " vs " << c.name;
        if (c.expected) {
            EXPECT_THAT(log.text(), HasSubstr(std::string("Model matches model number ([") + c.field + "] == [" +
                                              c.name + "])\n"));
        }
    }
    BirdSpec none;
    none.blocks.push_back(firmwareBlock(0, counting(4)));
    BirdFile f(dir.write("n.bird", make_bird(none)));
    EXPECT_FALSE(f.ValidateModel(""));
}

TEST(BirdPatch, ReplaceSerialNumber) {
    const uint32_t A = 0x10000;
    const size_t image = 64;
    struct Case {
        const char* name;
        bool offsetsBlock;
        uint32_t S, D;
        bool result;
        int serialAt;  // image offset of the 32-bit serial, -1 when untouched
        int textAt;    // image offset of the first text character, -1 when untouched
    } cases[] = {
        {"serial at A+8", true, A + 8, 0, true, 8, -1},
        {"text field at A+16", true, 0, A + 16, true, -1, 16},
        {"both", true, A + 4, A + 32, true, 4, 32},
        {"serial outside the block still reports true", true, A + 0x1000, 0, true, -1, -1},
        {"serial below the block", true, A - 4, 0, true, -1, -1},
        {"serial in the last four bytes", true, A + image - 4, 0, true, int(image) - 4, -1},
        {"serial one byte past the end", true, A + image - 3, 0, true, -1, -1},
        {"text one byte past the end", true, 0, A + image - 15, false, -1, -1},
        {"serial address wraps", true, 0xFFFFFFFE, 0, true, -1, -1},
        {"text address wraps", true, 0, 0xFFFFFFF8, false, -1, -1},
        {"both zero", true, 0, 0, false, -1, -1},
        {"no offsets block", false, 0, 0, false, -1, -1},
    };
    ScratchDir dir;
    for (const Case& c : cases) {
        BirdSpec spec;
        if (c.offsetsBlock) spec.blocks.push_back(serialOffsetsBlock(c.S, c.D));
        spec.blocks.push_back(firmwareBlock(A, std::vector<uint8_t>(image, 0xEE)));
        spec.blocks.push_back(loaderBlock(A, std::vector<uint8_t>(image, 0xEE)));
        BirdFile f(dir.write("s.bird", make_bird(spec)));
        EXPECT_EQ(f.hasSerialOffsets, c.offsetsBlock) << c.name;
        EXPECT_EQ(f.ReplaceSerialNumber(0x0A1B2C3D), c.result) << c.name;

        std::vector<uint8_t> expected(image, 0xEE);
        if (c.serialAt >= 0) {
            const uint8_t le[4] = {0x3D, 0x2C, 0x1B, 0x0A};
            std::memcpy(&expected[c.serialAt], le, 4);
        }
        if (c.textAt >= 0)
            for (int i = 0; i < 8; ++i) expected[c.textAt + 2 * i] = uint8_t("0A1B2C3D"[i]);
        const BirdBlock fw = f.FindBlocks(BLOCK_FIRMWARE)[0];
        EXPECT_EQ(std::vector<uint8_t>(fw.data + 4, fw.data + fw.length), expected) << c.name;
        EXPECT_EQ(fw.address, A) << c.name;
        const BirdBlock ld = f.FindBlocks(BLOCK_LOADER)[0];
        EXPECT_EQ(std::vector<uint8_t>(ld.data + 4, ld.data + ld.length), std::vector<uint8_t>(image, 0xEE))
            << c.name << ": loader blocks are never patched";
    }
}

TEST(BirdPatch, DecodeFirmwareBlocks) {
    ScratchDir dir;
    BirdSpec spec;
    spec.blocks.push_back(firmwareBlock(0x01020304, bytes({1, 2, 3})));
    spec.blocks.push_back(firmwareBlock(0, bytes({1, 2, 3})));
    spec.blocks.push_back(loaderBlock(0, bytes({1, 2, 3})));
    BirdFile f(dir.write("k.bird", make_bird(spec)));
    EXPECT_TRUE(f.DecodeFirmwareBlocks(0, 0, 0, 0));
    for (int i = 0; i < 2; ++i) {
        const BirdBlock& b = f.blocks[i];
        EXPECT_EQ(std::vector<uint8_t>(b.data + 4, b.data + 7), bytes({1, 3, 0})) << "block " << i;
    }
    EXPECT_EQ(std::vector<uint8_t>(f.blocks[0].data, f.blocks[0].data + 4), bytes({1, 2, 3, 4}));
    EXPECT_EQ(std::vector<uint8_t>(f.blocks[2].data + 4, f.blocks[2].data + 7), bytes({1, 2, 3}));

    // Key bytes run most significant first through the four words, wrapping after 16.
    BirdSpec zeros;
    zeros.blocks.push_back(firmwareBlock(0, std::vector<uint8_t>(18, 0)));
    BirdFile g(dir.write("z.bird", make_bird(zeros)));
    const uint32_t key[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
    g.DecodeFirmwareBlocks(key);
    std::vector<uint8_t> expected;
    uint8_t r = 0;
    for (int i = 0; i < 18; ++i) expected.push_back(r = uint8_t((i % 16 + 1) ^ r));
    EXPECT_EQ(std::vector<uint8_t>(g.blocks[0].data + 4, g.blocks[0].data + 22), expected);
}

TEST(BirdPatch, ReplaceVectorChecksum) {
    std::vector<uint8_t> table(40, 0);
    for (int i = 0; i < 7; ++i) table[4 * i] = i < 4 ? 4 : 0;  // entries 0-6 sum to 16
    table[28] = 0x55;
    ScratchDir dir;
    BirdSpec spec;
    spec.blocks.push_back(firmwareBlock(0, table));
    spec.blocks.push_back(firmwareBlock(0x2000, table));
    spec.blocks.push_back(firmwareBlock(0, bytes({1, 2, 3, 4})));  // too short for a table: untouched
    BirdFile f(dir.write("v.bird", make_bird(spec)));
    LogCapture log(Log::DEBUG_BirdFile);
    EXPECT_TRUE(f.ReplaceVectorChecksum());
    EXPECT_EQ(le32(f.blocks[0].data + 4 + 28), 0xFFFFFFF0u);
    EXPECT_EQ(le32(f.blocks[1].data + 4 + 28), 0x55u);
    EXPECT_EQ(std::vector<uint8_t>(f.blocks[2].data + 4, f.blocks[2].data + 8), bytes({1, 2, 3, 4}));
    EXPECT_THAT(log.text(), HasSubstr("BIRDFILE: updating vector checksum from 00000055 ==> FFFFFFF0\n"));
}

TEST(BirdDump, HexAndTextLines) {
    ScratchDir dir;
    BirdSpec spec;
    std::vector<uint8_t> image(52, 'a');
    image[0] = 0x01;
    spec.blocks.push_back(firmwareBlock(0x41424344, image));
    std::string p = dir.write("h.bird", make_bird(spec));
    BirdFile f(p);
    ::testing::internal::CaptureStdout();
    f.DumpBlocks(BLOCK_FIRMWARE);
    std::string out = ::testing::internal::GetCapturedStdout();
    std::string expected = "BIRDFILE: BLOCK DUMP [" + p + "]\n \r\n000000: 41 42 43 44 01 ";
    for (int i = 0; i < 45; ++i) expected += "61 ";
    expected += " ABCD " + std::string(45, 'a') + "\r\n000050: 61 61 61 61 61 61  aaaaaa\n\n";
    EXPECT_EQ(out, expected);
}
