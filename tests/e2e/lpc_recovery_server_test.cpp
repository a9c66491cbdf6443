// Recovery of LPC modules by fingerprint: the reference update server names the
// serial number and build, the image is downloaded unless stored, then programmed.
#include "tests/e2e/lpc_recovery_fixture.h"
#include "tests/e2e/server_process.h"

namespace {

class LpcRecoveryServer : public LpcRecovery {
protected:
    void SetUp() override {
        LpcRecovery::SetUp();
        catalog = dir / "catalog";
        fs::create_directories(catalog / "0A0B0C0D");
        std::ofstream(catalog / "fingerprints") << "0400A001 55AA55AA FFFFFFFF 00000007 0A0B0C0D 42\n";
    }

    // Puts a recovery build of the device into the catalog and returns its image.
    std::vector<uint8_t> addBuild(uint32_t build, unsigned seed) {
        auto image = randomBytes(5000, seed);
        lpcbird::writeFile((catalog / "0A0B0C0D" / (std::to_string(build) + ".bird")).string(),
                           lpcbird::bird({lpcbird::descriptor(build, "1.0." + std::to_string(build), 0x0A0B0C0D, "LPC"),
                                          lpcbird::firmware(0x8000, lpcbird::encodeForChip(image, kFingerprint))}));
        return image;
    }

    UpdaterRun recoverByFingerprint(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"-U", "-t", "RECOVER", "-s", sim->path(), "-i", store.string(), "-u", server.url()};
        args.insert(args.end(), extra.begin(), extra.end());
        auto run = runUpdater(args, 120000);
        sim->stop();
        return run;
    }

    bool flashHolds(const std::vector<uint8_t>& image) {
        auto flash = sim->flash();
        return flash.size() == 0x80000 && std::equal(image.begin(), image.end(), flash.begin() + 0x8000);
    }

    fs::path catalog;
    server_e2e::UpdateServer server;
};

}  // namespace

TEST_F(LpcRecoveryServer, DownloadsTheServersBuildForTheFingerprintAndProgramsIt) {
    auto image = addBuild(42, 1);
    ASSERT_TRUE(server.start(catalog));
    startSim();
    auto run = recoverByFingerprint({"-o", "57600"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(flashHolds(image));
    EXPECT_TRUE(sim->hasEvent("line 115200"));
    EXPECT_TRUE(sim->hasEvent("baud 57600"));
    EXPECT_EQ(sim->events().back(), "go 0 T");
    std::string log = server.log();
    EXPECT_NE(log.find("op=fix"), std::string::npos) << log;
    EXPECT_NE(log.find("op=bird"), std::string::npos) << log;
    EXPECT_EQ(countFiles(store), 2u) << "the downloaded build and the device's attributes";
}

TEST_F(LpcRecoveryServer, StoredBuildIsUsedWithoutDownloading) {
    auto image = addBuild(42, 2);
    ASSERT_TRUE(server.start(catalog));
    startSim();
    ASSERT_EQ(recoverByFingerprint().status, 0);
    startSim();  // a fresh chip, the build now in the store
    auto run = recoverByFingerprint();
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(flashHolds(image));
    std::string log = server.log();
    size_t first = log.find("op=bird");
    ASSERT_NE(first, std::string::npos) << "the first recovery downloads";
    EXPECT_EQ(log.find("op=bird", first + 1), std::string::npos) << log;
}

TEST_F(LpcRecoveryServer, BuildOptionOverridesTheServersBuildButTheServerStillNamesTheDevice) {
    addBuild(42, 3);
    auto wanted = addBuild(43, 4);
    ASSERT_TRUE(server.start(catalog));
    startSim();
    auto run = recoverByFingerprint({"-b", "43"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(flashHolds(wanted));
    EXPECT_NE(server.log().find("op=fix"), std::string::npos);
    EXPECT_TRUE(fs::exists(store / "updater" / "0A0B0C0D" / "43.bird"));
}

TEST_F(LpcRecoveryServer, UnknownFingerprintLeavesTheChipUntouched) {
    std::ofstream(catalog / "fingerprints", std::ios::trunc) << "1 2 3 4 0A0B0C0D 42\n";
    addBuild(42, 5);
    ASSERT_TRUE(server.start(catalog));
    startSim();
    auto run = recoverByFingerprint();
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Failed to retrieve recovery information from Corvane server"), std::string::npos)
        << run.err;
    EXPECT_FALSE(sim->hasEvent("erase 0 29"));
}
