// Recovery (-U -t RECOVER) of LPC modules: the real Updater against the simulated
// boot ROM on a pseudo-terminal.
#include "tests/e2e/lpc_recovery_fixture.h"

TEST_F(LpcRecovery, RecoveryWritesTheDecodedBlocksInChunksAndStartsTheChip) {
    auto a = randomBytes(10000, 1);
    auto b = randomBytes(6000, 2);
    std::string bird = writeBird({{0x0, a}, {0x20000, b}, {0x30000, {1, 2, 3, 4}}, {0x40000, randomBytes(512, 3)}});
    startSim();
    auto run = recover(bird);
    ASSERT_EQ(run.status, 0) << run.out << run.err;

    auto flash = sim->flash();
    ASSERT_EQ(flash.size(), 0x80000u);
    EXPECT_TRUE(std::equal(a.begin(), a.end(), flash.begin()));
    EXPECT_TRUE(std::equal(b.begin(), b.end(), flash.begin() + 0x20000));
    // A four-byte block ends the programming: neither it nor what follows is written.
    EXPECT_TRUE(std::all_of(flash.begin() + 0x30000, flash.end(), [](uint8_t v) { return v == 0xFF; }));
    // Behind a block's last chunk the copy leaves erased bytes, not leftovers from RAM.
    EXPECT_TRUE(std::all_of(flash.begin() + 10000, flash.begin() + 12288, [](uint8_t v) { return v == 0xFF; }));

    auto writes = eventsStartingWith("write ");
    std::vector<std::string> expected{"write 0x10001000 4096", "write 0x10001000 4096", "write 0x10001000 1808",
                                      "write 0x10001710 2288", "write 0x10001000 4096", "write 0x10001000 1904",
                                      "write 0x10001770 2192"};
    EXPECT_EQ(writes, expected);
    auto copies = eventsStartingWith("copy ");
    std::vector<std::string> expectedCopies{"copy 0x0 0x10001000 4096", "copy 0x1000 0x10001000 4096",
                                            "copy 0x2000 0x10001000 4096", "copy 0x20000 0x10001000 4096",
                                            "copy 0x21000 0x10001000 4096"};
    EXPECT_EQ(copies, expectedCopies);
    EXPECT_TRUE(sim->hasEvent("erase 0 29"));
    EXPECT_TRUE(sim->events().back() == "go 0 T");
    EXPECT_EQ(eventsStartingWith("overprogram").size(), 0u);
    EXPECT_NE(run.out.find("Transferring firmware block 1 of 3, 10000 bytes"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Transferred 3 blocks, 16000 total bytes"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Rebooting Device"), std::string::npos);
}

// The copy to flash always moves a whole copy size. Behind a short last chunk that
// must be erased bytes (a block packed right behind would otherwise be burnt together
// with stale RAM), every sector the copy reaches must be prepared, and a chunk that is
// not whole words still goes out.
TEST_F(LpcRecovery, ShortLastChunksLeaveErasedBytesAndPrepareEverySectorTheCopyReaches) {
    auto a = randomBytes(10000, 7);
    auto packed = randomBytes(1807, 8);   // starts inside the copy behind a's last chunk
    auto crossing = randomBytes(1807, 9);  // its copy reaches into the first large sector
    std::string bird = writeBird({{0x0, a}, {0x2800, packed}, {0xF800, crossing}});
    startSim();
    auto run = recover(bird);
    ASSERT_EQ(run.status, 0) << run.out << run.err;

    auto flash = sim->flash();
    ASSERT_EQ(flash.size(), 0x80000u);
    EXPECT_TRUE(std::equal(a.begin(), a.end(), flash.begin()));
    EXPECT_TRUE(std::equal(packed.begin(), packed.end(), flash.begin() + 0x2800));
    EXPECT_TRUE(std::equal(crossing.begin(), crossing.end(), flash.begin() + 0xF800));
    EXPECT_EQ(flash[0xF800 + 1807], 0xFF);
    EXPECT_EQ(eventsStartingWith("overprogram").size(), 0u);
    EXPECT_TRUE(sim->hasEvent("prepare 2 3"));
    EXPECT_TRUE(sim->hasEvent("prepare 15 16"));
    EXPECT_TRUE(sim->hasEvent("write 0x10001000 1808"));
}

TEST_F(LpcRecovery, OtherBaudRateSwitchesTheChipBeforeTheHostChangesRate) {
    auto image = randomBytes(3000, 4);
    std::string bird = writeBird({{0x1000, image}});
    startSim();
    auto run = recover(bird, {"-o", "57600"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(sim->hasEvent("line 115200")) << "the probe synchronises at 115200";
    EXPECT_TRUE(sim->hasEvent("baud 57600"));
    EXPECT_EQ(eventsStartingWith("garbled").size(), 0u);
    auto flash = sim->flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin() + 0x1000));
}

TEST_F(LpcRecovery, ChecksumTroubleIsRetriedTwiceThenTheRecoveryFails) {
    struct Case {
        const char* resends;
        int status;
    } cases[] = {{"2", 0}, {"3", 1}};
    for (auto c : cases) {
        SCOPED_TRACE(c.resends);
        auto image = randomBytes(2000, 5);
        std::string bird = writeBird({{0x0, image}});
        startSim({"--resend", c.resends});
        auto run = recover(bird);
        EXPECT_EQ(run.status, c.status) << run.out << run.err;
        auto flash = sim->flash();
        EXPECT_EQ(std::equal(image.begin(), image.end(), flash.begin()), c.status == 0);
    }
}

TEST_F(LpcRecovery, ImageThatStillNeedsItsSerialNumberIsRefused) {
    std::string bird = writeBird({{0x0, randomBytes(1024, 6)}}, /*serialOffsets=*/true);
    startSim();
    auto run = recover(bird);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Updater does not support offline recovery"), std::string::npos) << run.err;
    EXPECT_FALSE(sim->hasEvent("erase 0 29"));
}
