// -B, -L, -J and -G against the reference update server on loopback.
#include <gtest/gtest.h>

#include <regex>

#include "tests/e2e/process_runner.h"
#include "tests/e2e/server_process.h"

namespace {

using namespace server_e2e;

const std::string kSerial = "40F5849A";

class ServerE2E : public ::testing::Test {
protected:
    void SetUp() override {
        catalog = tmp.path() / "catalog";
        root = tmp.path() / "root";
        device = root / "updater" / kSerial;
        const struct {
            uint32_t build;
            const char* version;
            bool hidden;
        } builds[] = {{100, "2.9.0", false}, {200, "2.15.1", false}, {300, "2.10.0", false},
                      {400, "1.2.256", false}, {500, "1.2.1", false}, {999, "3.0.0", true}};
        for (const auto& b : builds) ASSERT_TRUE(make_build(catalog, kSerial, b.build, b.version, 2048, b.hidden));
        std::ofstream(catalog / kSerial / "token") << "eyJhbGciOi.eyJzdWIiOi.c2lnbmF0dXJl\n";
    }

    ProcessResult updater(std::vector<std::string> args, const std::string& url, ProcessOptions options = {}) {
        args.insert(args.begin(), UPDATER_BIN);
        args.insert(args.end(), {"-u", url, "-i", root.string()});
        return run_process(args, options);
    }
    ProcessResult updater(std::vector<std::string> args) { return updater(std::move(args), server.url()); }

    std::string catalog_file(uint32_t build, bool hidden = false) {
        return read_file(catalog / kSerial / (hidden ? "hidden" : "") / (std::to_string(build) + ".bird"));
    }

    TempDir tmp{"server"};
    fs::path catalog, root, device;
    UpdateServer server;
};

// The first column of the rows after the "Build Version" heading.
std::vector<std::string> table_builds(const std::string& out) {
    std::vector<std::string> builds;
    std::istringstream s(out.substr(out.find("\tVersion")));
    std::string line;
    std::getline(s, line);
    while (std::getline(s, line))
        if (!line.empty()) builds.push_back(line.substr(0, line.find_first_of(" \t")));
    return builds;
}

TEST_F(ServerE2E, BuildListNewestVersionFirst) {
    ASSERT_TRUE(server.start(catalog));
    ProcessResult r = updater({"-B", "-d", kSerial});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.out.find("Build List for device [40F5849A]:"), std::string::npos) << r.out;
    // 2.15.1, 2.10.0, 2.9.0, then 1.2.1 above 1.2.256 (which ranks as 1.2.0).
    EXPECT_EQ(table_builds(r.out), (std::vector<std::string>{"200", "300", "100", "500", "400"})) << r.out;
}

TEST_F(ServerE2E, TokenIsPrinted) {
    ASSERT_TRUE(server.start(catalog));
    ProcessResult r = updater({"-J", "-d", kSerial});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.out.find("\neyJhbGciOi.eyJzdWIiOi.c2lnbmF0dXJl\n"), std::string::npos) << r.out;
}

TEST_F(ServerE2E, ListingCommandsNeedASerialNumber) {
    ASSERT_TRUE(server.start(catalog));
    const struct {
        const char* command;
        const char* message;
    } cases[] = {{"-B", "Error must supply a serial number for the List Builds command"},
                 {"-L", "Error must supply a serial number for the List Local Builds command"},
                 {"-J", "Error must supply a serial number for the Get JWT command"},
                 {"-G", "-G must specify a specific device via -d"}};
    for (const auto& c : cases) {
        ProcessResult r = updater({c.command});
        EXPECT_EQ(r.exitStatus, 1) << c.command;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.command << ": " << r.err;
    }
    EXPECT_EQ(server.log().find("op="), std::string::npos) << "no request without a device";
}

TEST_F(ServerE2E, GetLatestValidatesStoresAndRecords) {
    ASSERT_TRUE(server.start(catalog));
    ProcessResult r = updater({"-G", "-d", kSerial});
    ASSERT_EQ(r.exitStatus, 0) << r.out << r.err;
    for (const char* line : {"Using Latest build", "Retrieving build 200", "Validating build 200 with server",
                             "Build 200 is valid"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    EXPECT_EQ(read_file(device / "200.bird"), catalog_file(200));

    const std::string settings = read_file(device / ".settings");
    EXPECT_NE(settings.find("LATEST_DOWNLOAD=200.bird\n"), std::string::npos) << settings;
    EXPECT_TRUE(std::regex_search(
        settings, std::regex("LAST_DOWNLOAD_DATE=[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\n")))
        << settings;

    const std::string log = server.log();
    size_t builds = log.find("op=builds"), bird = log.find("bld=200&fw=2.15.1&no_cal=false&op=bird&sn=40F5849A&");
    ASSERT_NE(bird, std::string::npos) << log;
    EXPECT_LT(builds, bird) << "validated before downloading";
}

TEST_F(ServerE2E, GetChosenBuildsAndOverride) {
    ASSERT_TRUE(server.start(catalog));
    ProcessResult r = updater({"-G", "-d", kSerial, "-b", "100"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(read_file(device / "100.bird"), catalog_file(100));

    r = updater({"-G", "-d", kSerial, "-b", "999"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.err.find("No valid build 999"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(device / "999.bird"));

    r = updater({"-G", "-d", kSerial, "-b", "999", "-OVERRIDE"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.out.find("Override specified, skipping validation of build 999"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(device / "999.bird"), catalog_file(999, true));
    EXPECT_NE(read_file(device / ".settings").find("LATEST_DOWNLOAD=999.bird\n"), std::string::npos);

    // A build that is not a number is read as 0: the latest build.
    r = updater({"-b", "abc", "-G", "-d", kSerial});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.out.find("Retrieving firmware build 0"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(device / "200.bird"), catalog_file(200));
}

TEST_F(ServerE2E, LocalListingShowsStoredVersionsAndSurvivesDamagedFiles) {
    ASSERT_TRUE(server.start(catalog));
    ASSERT_EQ(updater({"-G", "-d", kSerial, "-b", "300"}).exitStatus, 0);
    ASSERT_EQ(updater({"-G", "-d", kSerial, "-b", "100"}).exitStatus, 0);
    // A sound header over a payload that does not inflate, and a file that is no BIRD.
    std::ofstream(device / "700.bird", std::ios::binary) << std::string("bird\x01\x01", 6) << "not zlib at all";
    std::ofstream(device / "800.bird", std::ios::binary) << "plain text";

    ProcessResult r = updater({"-L", "-d", kSerial});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\n300 +\t2\\.10\\.0 +\n"))) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\n100 +\t2\\.9\\.0 +\n"))) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\n700 +\t +\n"))) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\n800 +\t +\n"))) << r.out;
    EXPECT_EQ(r.out.find(".settings"), std::string::npos);
}

// Each way the server can fail ends with its message, exit status 1 and the store as
// it was: an earlier download and its record stay untouched.
TEST_F(ServerE2E, ServerFailuresLeaveTheStoreAsItWas) {
    const struct {
        const char* name;
        std::vector<std::string> serverArgs;  // empty name "unreachable": no server at all
        std::vector<const char*> messages;
    } cases[] = {
        {"unreachable", {}, {"Server request failed for "}},
        {"status everywhere", {"--fault", "status:500"}, {"Server request failed for "}},
        {"status on download", {"--fault", "status:503", "--fault-op", "bird"},
         {"Download failed", "Failed to retrieve a valid BIRD file"}},
        {"first line not ok", {"--fault", "not-ok", "--fault-op", "bird"},
         {"Download failed", "Failed to retrieve a valid BIRD file"}},
        {"empty bird", {"--fault", "empty-bird"}, {"Failed to retrieve a valid BIRD file"}},
        {"bad base64", {"--fault", "bad-base64"}, {"Failed to retrieve a valid BIRD file"}},
        {"truncated", {"--fault", "truncate", "--fault-op", "bird"}, {"Download failed"}},
        {"stalled", {"--fault", "stall", "--fault-op", "bird"}, {"Download failed"}},
    };

    fs::create_directories(device);
    std::ofstream(device / "200.bird", std::ios::binary) << "earlier download";
    std::ofstream(device / ".settings") << "CREATED_TIME=Wed Feb  4 09:05:00 2026\nLATEST_DOWNLOAD=200.bird\n"
                                           "LAST_DOWNLOAD_DATE=Wed Feb  4 09:05:00 2026\n"
                                           "UPDATED_TIME=Wed Feb  4 09:05:00 2026\n";
    const auto before = snapshot(root);

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateServer faulty;
        std::string url = "http://127.0.0.1:9/cgi/u";  // discard port, nothing listens in the namespace
        if (std::string(c.name) != "unreachable") {
            ASSERT_TRUE(faulty.start(catalog, c.serverArgs));
            url = faulty.url();
        }
        ProcessOptions options;
        options.setEnv = {"UPDATER_HTTP_STALL_TIME=2"};
        options.timeout = std::chrono::seconds(30);
        auto start = std::chrono::steady_clock::now();
        ProcessResult r = updater({"-G", "-d", kSerial, "-b", "200"}, url, options);
        EXPECT_FALSE(r.timedOut);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
        EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
        for (const char* m : c.messages) EXPECT_NE(r.err.find(m), std::string::npos) << m << "\n" << r.err;
        EXPECT_EQ(snapshot(root), before);
    }
}

TEST_F(ServerE2E, SpinnerDrawsOnATerminalOnly) {
    ASSERT_TRUE(server.start(catalog, {"--delay-ms", "1500"}));
    const std::string command = std::string(UPDATER_BIN) + " -G -d " + kSerial + " -b 100 -u " + server.url() +
                                " -i " + root.string();
    ProcessResult tty = run_process({"script", "-q", "-e", "-c", command, "/dev/null"});
    EXPECT_EQ(tty.exitStatus, 0) << tty.out;
    size_t frames = 0;
    for (size_t at = tty.out.find("(Downloading)"); at != std::string::npos;
         at = tty.out.find("(Downloading)", at + 1))
        ++frames;
    EXPECT_GE(frames, 8u) << "about one frame per 100 ms while the server delays 1.5 s";
    EXPECT_LE(frames, 40u);

    ProcessResult piped = updater({"-G", "-d", kSerial, "-b", "100"});
    EXPECT_EQ(piped.exitStatus, 0);
    EXPECT_EQ(piped.out.find("Downloading"), std::string::npos) << piped.out;
    EXPECT_EQ(piped.out.find('\r'), std::string::npos);
}

}  // namespace
