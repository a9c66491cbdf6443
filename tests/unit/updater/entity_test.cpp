// The upgrade entity against a simulated module: piece sizes, resends, byte-sum
// checks, the byte-string path and the bounded behaviour on a misbehaving loader.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/Log.h"
#include "tests/e2e/support/netlab.h"
#include "tests/unit/object/sim_module.h"
#include "updater/UpdaterEntity.h"

namespace {

using namespace std::chrono_literals;
using Corvane::Velmarine::Module;

constexpr uint32_t kSerial = 0x40F5849A;

class RecordingDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool on) override { progressOn += on ? 1 : 0; }
    void update_progress(double fraction, const char*) override { fractions.push_back(fraction); }
    void update_spinner(bool on, const char*) override { spins += on ? 1 : 0; }
    void info_message(const char*) override {}
    void error_message(const char*) override {}
    int progressOn = 0;
    int spins = 0;
    std::vector<double> fractions;
};

// A firmware block as the flows hand it over: load address (most significant first), then the image.
std::vector<uint8_t> block(uint32_t address, size_t imageBytes) {
    std::vector<uint8_t> b = {uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address)};
    for (size_t i = 0; i < imageBytes; ++i) b.push_back(static_cast<uint8_t>(i * 7 + 3));
    return b;
}

// Captures the log in a temporary file.
class LogCapture {
public:
    explicit LogCapture(uint32_t mask) : saved(Log::package_bitmask), file(std::tmpfile()) {
        Log::package_bitmask = mask;
        Log::SetOutput(file);
    }
    ~LogCapture() {
        Log::SetOutput(nullptr);
        Log::package_bitmask = saved;
        std::fclose(file);
    }
    std::string text() {
        std::fflush(file);
        std::rewind(file);
        std::string out;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) out.append(buf, n);
        return out;
    }

private:
    uint32_t saved;
    FILE* file;
};

struct Bench {
    explicit Bench(const std::string& options, bool validate = true, bool router = false)
        : sim("module serial=40F5849A model=19 address=6 transport=tcp hb=0 " + options, {}, {"--no-discovery"}) {
        if (!sim.ready()) return;
        module = objtest::connectTo(sim, kSerial, 6);
        entity.init(module.get(), 0, validate, router);
    }
    std::vector<std::string> events(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& e : sim.events_of(kSerial))
            if (e.rfind(prefix, 0) == 0) out.push_back(e);
        return out;
    }
    netlab::SimProcess sim;
    std::unique_ptr<Module> module;
    UpdaterEntity entity;
    RecordingDisplay display;
};

TEST(UpdaterEntity, FirmwareBlockGoesOutInPiecesOfTheBlockSizeEachCheckedAndWritten) {
    for (const char* path : {"", "uei_data"}) {
        SCOPED_TRACE(*path ? "byte strings" : "packets");
        Bench b(std::string("in_loader block_size=256 ") + path);
        ASSERT_TRUE(b.sim.ready()) << b.sim.error();
        if (*path) {
            ASSERT_EQ(b.entity.CheckUEIDataSupport(), aErrNone);
        }
        const auto data = block(0x8000, 1000);
        uint16_t blockSize = 0;
        ASSERT_EQ(b.entity.TransferPrepare(data.data(), uint32_t(data.size()), 0, &blockSize), aErrNone);
        EXPECT_EQ(blockSize, 256);
        ASSERT_EQ(b.entity.FirmwareTransfer(data.data(), uint32_t(data.size()), blockSize, b.display), aErrNone);
        EXPECT_EQ(b.events("upgrade-write"),
                  (std::vector<std::string>{"upgrade-write 0x00008000 256", "upgrade-write 0x00008100 256",
                                            "upgrade-write 0x00008200 256", "upgrade-write 0x00008300 232"}));
        EXPECT_EQ(b.events("upgrade-sum").size(), 4u);
        ASSERT_EQ(b.display.fractions.size(), 4u);
        EXPECT_DOUBLE_EQ(b.display.fractions[0], 260.0 / 1004.0);
        EXPECT_DOUBLE_EQ(b.display.fractions[3], 1.0);
    }
}

TEST(UpdaterEntity, ShortAcknowledgementResendsThePieceAndNeverEndlessly) {
    const auto data = block(0, 26);
    {
        Bench once("in_loader short_ack");
        ASSERT_TRUE(once.sim.ready()) << once.sim.error();
        uint32_t counter = 0;
        // The module took nothing of the short-acknowledged piece, so its sum only
        // matches when the very same 26 bytes went out again.
        EXPECT_EQ(once.entity.TransferPrepare(data.data(), uint32_t(data.size()), 0, nullptr), aErrNone);
        EXPECT_EQ(once.entity._block_transfer(data.data() + 4, 26, counter), aErrNone);
        EXPECT_EQ(counter, 1u);
    }
    {
        Bench stuck("in_loader short_ack=1000");
        ASSERT_TRUE(stuck.sim.ready()) << stuck.sim.error();
        uint32_t counter = 0;
        EXPECT_EQ(stuck.entity.TransferPrepare(data.data(), uint32_t(data.size()), 0, nullptr), aErrNone);
        EXPECT_EQ(stuck.entity._block_transfer(data.data() + 4, 26, counter), aErrPacket);
        EXPECT_TRUE(stuck.events("upgrade-sum").empty()) << "a failed block is not validated";
    }
}

TEST(UpdaterEntity, SumMismatchFailsTheBlockAndIsLoggedEvenWithAnEmptyMask) {
    Bench b("in_loader bad_upgrade_sum");
    ASSERT_TRUE(b.sim.ready()) << b.sim.error();
    const auto data = block(0, 300);
    uint16_t blockSize = 0;
    ASSERT_EQ(b.entity.TransferPrepare(data.data(), uint32_t(data.size()), 0, &blockSize), aErrNone);
    LogCapture log(0);
    EXPECT_EQ(b.entity.FirmwareTransfer(data.data(), uint32_t(data.size()), blockSize, b.display), aErrInvalidOption);
    const std::string text = log.text();
    EXPECT_NE(text.find("\nNETWORK: Unable to validate transfer [00] ["), std::string::npos) << text;
    EXPECT_NE(text.find("NETWORK: Failed to transfer firmware\n"), std::string::npos) << text;
    EXPECT_TRUE(b.events("upgrade-write").empty());
}

TEST(UpdaterEntity, WithoutValidationNoSumIsAsked) {
    Bench b("in_loader", /*validate=*/false);
    ASSERT_TRUE(b.sim.ready()) << b.sim.error();
    const auto data = block(0, 100);
    uint16_t blockSize = 0;
    ASSERT_EQ(b.entity.TransferPrepare(data.data(), uint32_t(data.size()), 0, &blockSize), aErrNone);
    EXPECT_EQ(b.entity.FirmwareTransfer(data.data(), uint32_t(data.size()), blockSize, b.display), aErrNone);
    EXPECT_TRUE(b.events("upgrade-sum").empty());
    EXPECT_EQ(b.events("upgrade-write").size(), 1u);
}

TEST(UpdaterEntity, RefusedPrepareAndZeroBlockSizeFailTheBlock) {
    {
        Bench refused("in_loader prepare_status=1");
        ASSERT_TRUE(refused.sim.ready()) << refused.sim.error();
        const auto data = block(0, 10);
        uint16_t blockSize = 77;
        EXPECT_EQ(refused.entity.TransferPrepare(data.data(), uint32_t(data.size()), 0, &blockSize), aErrInvalidOption);
        EXPECT_EQ(blockSize, 77) << "the block size is left as it was";
    }
    {
        Bench zero("in_loader block_size=0");
        ASSERT_TRUE(zero.sim.ready()) << zero.sim.error();
        const auto data = block(0, 10);
        uint16_t blockSize = 77;
        ASSERT_EQ(zero.entity.TransferPrepare(data.data(), uint32_t(data.size()), 0, &blockSize), aErrNone);
        EXPECT_EQ(blockSize, 0);
        EXPECT_EQ(zero.entity.FirmwareTransfer(data.data(), uint32_t(data.size()), blockSize, zero.display),
                  aErrInvalidOption);
        EXPECT_TRUE(zero.events("upgrade-write").empty());
    }
}

TEST(UpdaterEntity, LoaderPhaseFromInitToStart) {
    Bench b("");
    ASSERT_TRUE(b.sim.ready()) << b.sim.error();
    ASSERT_EQ(b.entity.LoaderInit(), aErrNone);
    const auto loader = block(0x10000000, 60);
    ASSERT_EQ(b.entity.TransferPrepare(loader.data(), uint32_t(loader.size()), 0, nullptr), aErrNone);
    ASSERT_EQ(b.entity.LoaderTransfer(loader.data(), uint32_t(loader.size())), aErrNone);
    EXPECT_EQ(b.entity.LoaderStart(), aErrNone);
    EXPECT_EQ(b.events("upgrade-load"), (std::vector<std::string>{"upgrade-load 1"}));
}

TEST(UpdaterEntity, SilentLoaderStartReconnectsThenTimesOut) {
    Bench b("no_load_reply");
    ASSERT_TRUE(b.sim.ready()) << b.sim.error();
    ASSERT_EQ(b.entity.LoaderInit(), aErrNone);
    LogCapture log(Log::DEBUG_Network | Log::DEBUG_Network_FIRM);
    EXPECT_EQ(b.entity.LoaderStart(), aErrTimeout);
    const std::string text = log.text();
    EXPECT_NE(text.find("NETWORK: Attempting to reconnect. Attempt: 1 of 5\n"), std::string::npos) << text;
    EXPECT_NE(text.find("NETWORK: Reconnected to device\n"), std::string::npos) << text;
    EXPECT_NE(text.find("NETWORK: Invalid or reply when starting loader (Reconnect). [18, "), std::string::npos) << text;
}

TEST(UpdaterEntity, RebootThroughARouterWaitsOneStep) {
    Bench b("in_loader", true, /*router=*/true);
    ASSERT_TRUE(b.sim.ready()) << b.sim.error();
    EXPECT_EQ(b.entity.LoaderReboot(b.display), aErrNone);
    EXPECT_EQ(b.display.spins, 1);
    EXPECT_TRUE(b.sim.wait_event("upgrade-reboot", 2000ms));
}

// A rebooting module is away for a moment: its link drops and the wait ends with it.
// One whose link never drops is waited for only the bounded number of passes.
TEST(UpdaterEntity, DirectRebootWaitEndsWithTheLinkAndIsBounded) {
    for (bool keepsLink : {false, true}) {
        SCOPED_TRACE(keepsLink ? "link kept" : "link dropped");
        Bench b(keepsLink ? "in_loader reboot_keeps_link" : "in_loader");
        ASSERT_TRUE(b.sim.ready()) << b.sim.error();
        EXPECT_EQ(b.entity.LoaderReboot(b.display), aErrNone);
        if (keepsLink)
            EXPECT_EQ(b.display.spins, int(UpdaterEntity::kRebootWaitPasses));
        else
            EXPECT_LT(b.display.spins, int(UpdaterEntity::kRebootWaitPasses)) << "the dropped link went unnoticed";
        EXPECT_GE(b.display.spins, 1);
        EXPECT_TRUE(b.sim.wait_event("upgrade-reboot", 2000ms));
    }
}

}  // namespace
