// Fingerprint (-N) of an LPC chip: the real Updater against the simulated boot ROM.
#include "tests/e2e/lpc_recovery_fixture.h"

namespace {
class LpcFingerprint : public LpcRecovery {};
}  // namespace

TEST_F(LpcFingerprint, FingerprintShowsTheChipsFourWordsWithoutTouchingTheStore) {
    startSim();
    auto run = runUpdater({"-N", "-s", sim->path(), "-i", store.string(), "-u", kNoServer});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("[ 0400A001 55AA55AA FFFFFFFF 00000007 ]"), std::string::npos) << run.out;
    EXPECT_EQ(countFiles(store), 0u);
    EXPECT_TRUE(sim->hasEvent("line 115200"));
}

TEST_F(LpcFingerprint, FingerprintOfASilentPortFails) {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ::grantpt(master);
    ::unlockpt(master);
    auto run = runUpdater({"-N", "-s", ::ptsname(master), "-i", store.string(), "-u", kNoServer});
    ::close(master);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Got no response from chip"), std::string::npos) << run.err;
    EXPECT_EQ(countFiles(store), 0u);
}
