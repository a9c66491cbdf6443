// The loader phase of an update against a simulated module.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "tests/e2e/support/netlab.h"
#include "tests/unit/object/sim_module.h"
#include "tools/birdtool/birdwriter.h"
#include "updater/Updater_update.h"

namespace {

class QuietDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char*) override {}
};

std::string twoLoaderBlocks() {
    birdwriter::BirdSpec spec;
    spec.blocks = {birdwriter::loaderBlock(0x10000000, std::vector<uint8_t>(40, 0x11)),
                   birdwriter::loaderBlock(0x10000100, std::vector<uint8_t>(40, 0x22)),
                   birdwriter::firmwareBlock(0, std::vector<uint8_t>(64, 0x33)),
                   birdwriter::descriptorBlock(1200, "2.11.0", 0x40F5849A, "VM-Temp-4")};
    const std::string path = ::testing::TempDir() + "loader-" + std::to_string(::getpid()) + ".bird";
    EXPECT_TRUE(birdwriter::write_file(path, birdwriter::make_bird(spec)));
    return path;
}

std::vector<std::string> upgradeEvents(const netlab::SimProcess& sim) {
    std::vector<std::string> out;
    for (const auto& e : sim.events_of(0x40F5849A))
        if (e.rfind("upgrade-", 0) == 0) out.push_back(e.substr(0, e.find(' ')));
    return out;
}

TEST(TransferLoader, AllBlocksThenStart) {
    netlab::SimProcess sim("module serial=40F5849A model=19 address=6 transport=tcp hb=0", {}, {"--no-discovery"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    auto module = objtest::connectTo(sim, 0x40F5849A, 6);
    const std::string path = twoLoaderBlocks();
    BirdFile image(path);
    QuietDisplay display;
    EXPECT_EQ(_transfer_loader(display, *module, image), aErrNone);
    EXPECT_EQ(upgradeEvents(sim), (std::vector<std::string>{"upgrade-init", "upgrade-prepare", "upgrade-sum",
                                                             "upgrade-prepare", "upgrade-sum", "upgrade-load"}));
    std::remove(path.c_str());
}

TEST(TransferLoader, StopsAtTheFirstFailedBlockAndNeverStartsAnIncompleteLoader) {
    // Every data piece is acknowledged short: the first block fails after its bounded resends.
    netlab::SimProcess sim("module serial=40F5849A model=19 address=6 transport=tcp hb=0 short_ack=1000", {},
                           {"--no-discovery"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    auto module = objtest::connectTo(sim, 0x40F5849A, 6);
    const std::string path = twoLoaderBlocks();
    BirdFile image(path);
    QuietDisplay display;
    EXPECT_EQ(_transfer_loader(display, *module, image), aErrPacket);
    EXPECT_EQ(upgradeEvents(sim), (std::vector<std::string>{"upgrade-init", "upgrade-prepare"}));
    std::remove(path.c_str());
}

}  // namespace
