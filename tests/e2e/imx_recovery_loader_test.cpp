// The i.MX side of fingerprint and recovery with the real Updater: the default image
// refused with a file, and the recovery loader written into the simulated boot ROM
// over a serial port block by block and started. Nothing answers on USB afterwards,
// so these runs end at the enumeration of the started loader.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/imx_sim_process.h"
#include "tests/e2e/lpc_bird_writer.h"
#include "tests/e2e/lpc_updater_run.h"

namespace fs = std::filesystem;

namespace {

constexpr char kNoServer[] = "http://127.0.0.1:9/cgi/u";  // nothing listens there
constexpr uint8_t kLoaderStart = 5;

lpcbird::Block addressed(uint8_t type, uint32_t address, size_t payload) {
    lpcbird::Block b{type, {}};
    lpcbird::be32(b.data, address);
    for (size_t i = 0; i < payload; ++i) b.data.push_back(uint8_t(i * 13 + 1));
    return b;
}

class ImxRecoveryLoader : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/imx_e2e_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        store = dir / "store";
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string writeBird(const std::vector<lpcbird::Block>& loader) {
        std::vector<lpcbird::Block> blocks{lpcbird::descriptor(7, "1.0.0", 0x0A0B0C0D, "IMX-TEST")};
        blocks.insert(blocks.end(), loader.begin(), loader.end());
        blocks.push_back(lpcbird::firmware(0x00000000, std::vector<uint8_t>(64, 0x11)));
        std::string path = (dir / "recovery.bird").string();
        lpcbird::writeFile(path, lpcbird::bird(blocks));
        return path;
    }

    fs::path dir, store;
};

}  // namespace

TEST_F(ImxRecoveryLoader, FingerprintWithAFileNeedsASerialNumber) {
    std::string bird = writeBird({addressed(lpcbird::LOADER, 0x20000000, 100)});
    auto run = runUpdater({"-N", "-s", "USB", "-f", bird, "-i", store.string(), "-u", kNoServer});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE((run.out + run.err).find("Add serial number or remove the bird filename to use a default recovery image."),
              std::string::npos)
        << run.out << run.err;
}

TEST_F(ImxRecoveryLoader, LoaderBlocksGoToTheirAddressesAndTheLoaderIsStarted) {
    struct Case {
        const char* name;
        bool startBlock;
        const char* jump;
    };
    for (const Case& c : {Case{"start block", true, "jump 20000800"}, Case{"no start block", false, "jump 20000400"}}) {
        SCOPED_TRACE(c.name);
        ImxSimProcess sim;
        ASSERT_TRUE(sim.start());
        std::vector<lpcbird::Block> loader{addressed(lpcbird::LOADER, 0x20000000, 5000),
                                           addressed(lpcbird::LOADER, 0x20002000, 300)};
        if (c.startBlock) loader.push_back(addressed(kLoaderStart, 0x20000800, 0));
        std::string bird = writeBird(loader);
        auto run = runUpdater({"-U", "-t", "RECOVER", "-s", sim.path(), "-f", bird, "-d", "0A0B0C0D", "-i",
                               store.string(), "-u", kNoServer},
                              120000);
        sim.stop();
        // The started loader never shows up on USB here.
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("Could not get Device Identifier"), std::string::npos) << run.err;

        std::vector<std::string> wanted{"write-file 20000000 5000", "write-complete", "write-file 20002000 300",
                                        "write-complete", c.jump};
        std::vector<std::string> got;
        for (const auto& e : sim.events())
            if (e.rfind("write-", 0) == 0 || e.rfind("jump", 0) == 0) got.push_back(e);
        EXPECT_EQ(got, wanted);
    }
}
