// Fault matrix for LPC recovery: `-U -t RECOVER` against the simulated boot ROM,
// the recovery image named by the reference update server for the chip's
// fingerprint and downloaded into the store, while one fault strikes; then a
// second run brings the chip to the new firmware. Between the two runs the board
// is reset into its boot ROM, as a user does after a failed recovery, except when
// the chip came back from a power loss by itself.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/fault_matrix.h"
#include "tests/e2e/lpc_recovery_fixture.h"
#include "tests/e2e/server_process.h"

namespace {

using namespace std::chrono_literals;
using namespace fault_e2e;
using lpctest::kFingerprint;
using lpctest::kFingerprintArg;

struct LpcCase {
    Fault fault;
    std::vector<std::string> chipFaults;  // simulator options
    std::vector<std::string> shown;       // what the failed run must show (with -X 0x101)
    double maxSeconds;
};

std::string lpc_case_name(const ::testing::TestParamInfo<LpcCase>& info) { return fault_name(info.param.fault); }

class LpcFaults : public ::testing::TestWithParam<LpcCase> {
protected:
    void SetUp() override {
        root = fs::path(TEST_BINARY_DIR) / ("fault-lpc-" + std::to_string(::getpid()) + "-" +
                                            fault_name(GetParam().fault));
        fs::remove_all(root);
        fs::create_directories(root / "store");
        const fs::path catalog = root / "catalog";
        fs::create_directories(catalog / "0A0B0C0D");
        std::ofstream(catalog / "fingerprints") << "0400A001 55AA55AA FFFFFFFF 00000007 0A0B0C0D 42\n";
        // Two chunks of 4096 and 904 bytes: the second copy command is mid-transfer.
        image = lpctest::randomBytes(GetParam().fault == Fault::DiskFull ? 20000 : 5000, 7);
        lpcbird::writeFile((catalog / "0A0B0C0D" / "42.bird").string(),
                           lpcbird::bird({lpcbird::descriptor(42, "1.0.42", 0x0A0B0C0D, "LPC"),
                                          lpcbird::firmware(0x8000, lpcbird::encodeForChip(image, kFingerprint))}));
    }
    void TearDown() override {
        if (chip) chip->stop();
        fs::remove_all(root);
    }

    void power_on(std::vector<std::string> faults, const std::string& dump) {
        if (chip) chip->stop();
        faults.insert(faults.end(), {"--serial", kFingerprintArg});
        chip = std::make_unique<LpcSimProcess>();
        ASSERT_TRUE(chip->start((root / dump).string(), faults));
    }
    std::vector<std::string> recover_argv(const std::string& url) const {
        return {UPDATER_BIN, "-U", "-t", "RECOVER", "-s", chip->path(), "-i", (root / "store").string(),
                "-u", url, "-X", "0x101"};
    }
    ProcessOptions options() const {
        ProcessOptions o;
        o.timeout = 120s;
        o.workingDirectory = root.string();
        return o;
    }
    bool flash_holds_image() {
        chip->stop();  // the simulator writes its flash out as it ends
        auto flash = chip->flash();
        return flash.size() == 0x80000 && std::equal(image.begin(), image.end(), flash.begin() + 0x8000);
    }

    fs::path root;
    std::vector<uint8_t> image;
    std::unique_ptr<LpcSimProcess> chip;
};

TEST_P(LpcFaults, EndsClearlyInTimeKeepsTheStoreWholeAndASecondRunRecovers) {
    const LpcCase& c = GetParam();
    auto server = std::make_unique<server_e2e::UpdateServer>();
    std::vector<std::string> serverFaults;
    if (c.fault == Fault::ServerDies) serverFaults = {"--fault", "die", "--fault-op", "bird"};
    ASSERT_TRUE(server->start(root / "catalog", serverFaults));
    power_on(c.chipFaults, "flash-1.bin");

    TimedRun first;
    fs::path storeSeen = root / "store" / "updater";
    if (c.fault == Fault::DiskFull) {
        storeSeen = root / "disk" / "updater";
        first = timed_run(on_small_disk({}, root / "store", 16, 12, root / "disk", recover_argv(server->url())),
                          options());
        if (first.result.exitStatus == kNoSmallDisk) GTEST_SKIP() << "a tmpfs cannot be mounted here";
    } else {
        first = timed_run(recover_argv(server->url()), options());
    }
    SCOPED_TRACE(first.all());
    ASSERT_FALSE(first.result.timedOut);
    EXPECT_EQ(first.result.exitStatus, 1);
    for (const auto& line : c.shown) EXPECT_TRUE(contains(first.all(), line)) << "missing: " << line;
    EXPECT_LT(first.seconds, c.maxSeconds);
    EXPECT_EQ(store_problems(storeSeen, root / "catalog"), "");

    if (c.fault == Fault::NeverReturns) {
        TimedRun dead = timed_run(recover_argv(server->url()), options());
        EXPECT_EQ(dead.result.exitStatus, 1) << dead.all();
        EXPECT_TRUE(contains(dead.all(), "Could not get Device Identifier")) << dead.all();
        EXPECT_LT(dead.seconds, 30) << dead.all();
    }
    if (c.fault == Fault::VanishesAndReturns) {
        bool back = false;
        for (int i = 0; i < 200 && !(back = chip->hasEvent("power-up")); ++i) std::this_thread::sleep_for(50ms);
        ASSERT_TRUE(back) << "the chip comes back by itself";
    } else {
        power_on({}, "flash-2.bin");  // the board is reset into its boot ROM
    }
    if (c.fault == Fault::ServerDies) {
        server = std::make_unique<server_e2e::UpdateServer>();
        ASSERT_TRUE(server->start(root / "catalog"));
    }

    TimedRun second = timed_run(recover_argv(server->url()), options());
    EXPECT_EQ(second.result.exitStatus, 0) << second.all();
    EXPECT_TRUE(flash_holds_image());
    EXPECT_EQ(store_problems(root / "store" / "updater", root / "catalog"), "");
}

const std::string kLoadFailed = "Failed to load bird file";

// Every ISP answer is read within a few character times plus 20 ms, and a RAM
// write waits at most 2000 polls for its checksum answer: a failed recovery ends
// within seconds.
const LpcCase kLpcCases[] = {
    {Fault::DroppedReply, {"--drop-reply", "2"}, {"\t Transfer to flash failed", "Update time: "}, 20},
    {Fault::CorruptedFrame, {"--corrupt-reply", "2"}, {"\t Transfer to flash failed", "Update time: "}, 20},
    {Fault::ByteSumMismatch, {"--resend", "3"}, {"\t Write to RAM failed", "Update time: "}, 20},
    {Fault::VanishesAndReturns, {"--vanish", "2:1500"}, {"\t Transfer to flash failed", "Update time: "}, 20},
    {Fault::NeverReturns, {"--vanish", "2"}, {"\t Transfer to flash failed", "Update time: "}, 20},
    {Fault::ServerDies, {}, {"Download failed", "Failed to retrieve a valid BIRD file", kLoadFailed}, 20},
    {Fault::DiskFull, {}, {"Failed to write file with 6", kLoadFailed}, 20},
};

INSTANTIATE_TEST_SUITE_P(Matrix, LpcFaults, ::testing::ValuesIn(kLpcCases), lpc_case_name);

}  // namespace
