// The command line of the real program: usage, version and copyright lines, rejected
// options, and the storage directory.
#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "build_config.h"
#include "process_runner.h"

namespace {

const std::string kVersion = std::string("Updater (Version: 2.12.1 ") + UPDATER_BUILD_DATE + ")";

const std::string kShortUsage =
    "\n"
    "Application Usage:\n"
    "Updater <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n"
    "    [-d serial_num]\n"
    "    [-t transport] [-r router_serial]\n"
    "    [-s serial_port] [-o baud_rate]\n"
    "\n"
    "  Velmarine Update and Maintenance Application\n"
    "    -H -h or --help for full usage information.\n"
    "\n";

// First lines of blocks 2, 3 and 4.
const char* const kBlock2 = "\n  Parameters to commands:\n     -i <corvane_directory>   - ";
const char* const kBlock3 = "\n  Extended Parameters:\n     -e                       - ";
const char* const kBlock4 = "\n Sample usage:\n\n-D                             Discover";

class CliTest : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override {
        char pattern[] = "/tmp/updater-cli-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    static ProcessResult updater(std::vector<std::string> args, ProcessOptions options = {}) {
        args.insert(args.begin(), UPDATER_BIN);
        ProcessResult r = run_process(args, options);
        EXPECT_TRUE(r.started);
        EXPECT_FALSE(r.timedOut);
        return r;
    }

    // A user id without a password entry, so the home directory comes from HOME.
    static uid_t unused_uid() {
        for (uid_t id = 61234; id < 65000; ++id)
            if (getpwuid(id) == nullptr) return id;
        return 0;
    }

    static mode_t mode_of(const std::string& path) {
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) return 0;
        return st.st_mode;
    }
};

size_t position(const std::string& text, const char* part) { return text.find(part); }

}  // namespace

TEST_F(CliTest, NoArgumentsShowsVersionCopyrightAndShortUsage) {
    ProcessResult r = updater({});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, kVersion + "\nCopyright (c) 2026 Corvane. All rights reserved.\n");
    EXPECT_EQ(r.err, kShortUsage);
}

TEST_F(CliTest, HelpBlocks) {
    struct Case {
        std::vector<std::string> args;
        bool extended;
    };
    const Case cases[] = {
        {{"-h"}, false}, {{"-H"}, false}, {{"--help"}, false}, {{"--he"}, false},
        {{"-h", "-X", "1"}, false},  // the scan stops at -h
        {{"-X", "1", "-h"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front() + " " + c.args.back());
        ProcessResult r = updater(c.args);
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.out, kVersion + "\nCopyright (c) 2026 Corvane. All rights reserved.\n");
        ASSERT_EQ(r.err.rfind(kShortUsage, 0), 0u);
        const size_t b2 = position(r.err, kBlock2), b3 = position(r.err, kBlock3), b4 = position(r.err, kBlock4);
        EXPECT_EQ(b2, kShortUsage.size() - 1);
        ASSERT_NE(b4, std::string::npos);
        if (c.extended) {
            EXPECT_TRUE(b2 < b3 && b3 < b4);
            EXPECT_NE(r.err.find("Default: updates.velmarine.example:80\n"), std::string::npos);
        } else {
            EXPECT_EQ(b3, std::string::npos);
        }
        const std::string tail = "                               indirectly through routing device D272031D.\n\n";
        EXPECT_TRUE(r.err.size() > tail.size() && r.err.compare(r.err.size() - tail.size(), tail.size(), tail) == 0);
    }
}

TEST_F(CliTest, RejectedOptionFailsWithShortUsage) {
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    const Case cases[] = {
        {{"-d", "0x", "-D"}, "Invalid serial number obtained from argument []"},
        {{"-d", "G1", "-U"}, "Invalid serial number obtained from argument [G1]"},
        {{"-t", "FOO", "-D"}, "Invalid transport type:[FOO]\nMust be one of the following: USB, TCPIP, RECOVER"},
        {{"-Y"}, "Unhandled command: [-Y]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-i", dir});
        ProcessResult r = updater(args);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.out, kVersion + "\nCopyright (c) 2026 Corvane. All rights reserved.\n");
        EXPECT_EQ(r.err, c.error + "\n" + kShortUsage);
        EXPECT_FALSE(std::filesystem::exists(dir + "/updater"));
    }
}

TEST_F(CliTest, LeftoverCharactersInTheLogMaskAreReportedAndTheRunGoesOn) {
    ProcessResult r = updater({"-X", "12ab", "-I", "-i", dir});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "Invalid format for \"-X\" parameter, unprocessed characters [ab]\n");
    EXPECT_EQ(r.out, kVersion + "\n");
    EXPECT_TRUE(std::filesystem::is_directory(dir + "/updater"));
}

TEST_F(CliTest, StorageDirectoryUnderAPlainFile) {
    const std::string file = dir + "/not-a-directory";
    std::ofstream(file) << "x";
    ProcessResult r = updater({"-I", "-i", file + "/root"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, kVersion + "\n");
    EXPECT_EQ(r.err, "Could not find updater directory at " + file + "/root/updater\n");
}

TEST_F(CliTest, DefaultStorageDirectoryIsCreatedInTheHomeDirectory) {
    const uid_t uid = unused_uid();
    ASSERT_NE(uid, 0u);
    const std::string id = std::to_string(uid);
    const mode_t oldMask = umask(022);
    ProcessOptions options;
    options.setEnv = {"HOME=" + dir};
    ProcessResult r = run_process(
        {"unshare", "--user", "--map-user=" + id, "--map-group=" + id, UPDATER_BIN, "-I"}, options);
    umask(oldMask);
    if (r.exitStatus != 0 && r.err.find("unshare") == 0) GTEST_SKIP() << "no user namespaces here: " << r.err;
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, kVersion + "\n");
    const std::string store = dir + "/.corvane/updater";
    EXPECT_TRUE(S_ISDIR(mode_of(store)));
    EXPECT_EQ(mode_of(store) & 07777, 0755u);
    EXPECT_EQ(mode_of(dir + "/.corvane") & 07777, 0755u);
}

TEST_F(CliTest, NoHomeDirectoryAtAll) {
    const std::string id = std::to_string(unused_uid());
    ProcessOptions options;
    options.unsetEnv = {"HOME"};
    ProcessResult r =
        run_process({"unshare", "--user", "--map-user=" + id, "--map-group=" + id, UPDATER_BIN, "-I"}, options);
    if (r.exitStatus != 0 && r.err.find("unshare") == 0) GTEST_SKIP() << "no user namespaces here: " << r.err;
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, kVersion + "\n");
    EXPECT_NE(r.err.find("home directory"), std::string::npos) << r.err;
}

TEST_F(CliTest, CommandsMissingTheirTarget) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"-B"}, "Error must supply a serial number for the List Builds command\n" + kShortUsage},
        {{"-L"}, "Error must supply a serial number for the List Local Builds command\n" + kShortUsage},
        {{"-J"}, "Error must supply a serial number for the Get JWT command\n" + kShortUsage},
        {{"-G", "-U"}, "-G must specify a specific device via -d\n--help for usage information\n"},
        {{"-U"}, "Must specify the specific device to be updated\n"},
        {{"-N", "-D"}, "Must specify the serial port used for connecting\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-i", dir, "-u", "http://127.0.0.1:9/cgi/u"});
        ProcessResult r = updater(args);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.out, kVersion + "\n");
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_F(CliTest, LocalBuildsOfAnUnknownDevice) {
    ProcessResult r = updater({"-L", "-d", "abcd", "-i", dir});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, kVersion + "\nNo builds found for device [0000ABCD]\n");
}
