#pragma once
// Shared ground of the LPC fingerprint and recovery tests: a temporary store, the
// simulated boot ROM with a known fingerprint, recovery files encoded for it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/e2e/lpc_bird_writer.h"
#include "tests/e2e/lpc_sim_process.h"
#include "tests/e2e/lpc_updater_run.h"

namespace fs = std::filesystem;

namespace lpctest {

inline constexpr uint32_t kFingerprint[4] = {0x0400A001u, 0x55AA55AAu, 0xFFFFFFFFu, 0x00000007u};
inline constexpr char kFingerprintArg[] = "0x0400A001,0x55AA55AA,0xFFFFFFFF,0x00000007";
inline constexpr char kNoServer[] = "http://127.0.0.1:9/cgi/u";  // nothing listens there

inline std::vector<uint8_t> randomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(n);
    for (auto& b : out) b = uint8_t(rng());
    return out;
}

inline size_t countFiles(const fs::path& dir) {
    if (!fs::exists(dir)) return 0;
    size_t n = 0;
    for (auto& e : fs::recursive_directory_iterator(dir)) n += e.is_regular_file();
    return n;
}

class LpcRecovery : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/lpc_e2e_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        store = dir / "store";
    }
    void TearDown() override { fs::remove_all(dir); }

    void startSim(std::vector<std::string> extra = {}) {
        extra.insert(extra.end(), {"--serial", kFingerprintArg});
        if (sim) sim->stop();
        sim = std::make_unique<LpcSimProcess>();
        ASSERT_TRUE(sim->start((dir / "flash.bin").string(), extra));
    }

    // A recovery file for the simulated chip: firmware blocks encoded with its fingerprint.
    std::string writeBird(const std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& firmware,
                          bool serialOffsets = false) {
        std::vector<lpcbird::Block> blocks{lpcbird::descriptor(42, "1.2.3", 0x0A0B0C0D, "LPC-TEST")};
        if (serialOffsets) blocks.push_back(lpcbird::serialOffsets(0x100, 0));
        for (auto& [address, image] : firmware)
            blocks.push_back(lpcbird::firmware(address, lpcbird::encodeForChip(image, kFingerprint)));
        std::string path = (dir / "recovery.bird").string();
        lpcbird::writeFile(path, lpcbird::bird(blocks));
        return path;
    }

    UpdaterRun recover(const std::string& bird, std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"-U", "-t", "RECOVER", "-s", sim->path(), "-f", bird, "-d", "0A0B0C0D",
                                      "-i", store.string(), "-u", kNoServer};
        args.insert(args.end(), extra.begin(), extra.end());
        auto run = runUpdater(args, 120000);
        sim->stop();
        return run;
    }

    std::vector<std::string> eventsStartingWith(const std::string& prefix) {
        std::vector<std::string> out;
        for (auto& e : sim->events())
            if (e.rfind(prefix, 0) == 0) out.push_back(e);
        return out;
    }

    fs::path dir, store;
    std::unique_ptr<LpcSimProcess> sim;
};

}  // namespace lpctest

using namespace lpctest;
