#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/Dispatch.h"
#include "app/Log.h"
#include "build_config.h"
#include "recording_display.h"
#include "updater/DeviceInfo.h"

namespace {

// Stands in for the updater: records each call with its arguments and answers as told.
class FakeUpdater : public UpdaterCommands {
public:
    std::vector<std::string>& calls;
    Fingerprint fingerprint{};
    bool fingerprintOk = true;
    uint32_t downloaded = 0;
    bool updateOk = true;
    bool recoverOk = true;
    std::vector<DeviceInfo> devices;
    BuildList builds;
    std::string token;

    explicit FakeUpdater(std::vector<std::string>& log) : calls(log) {}

    void Set_UEIBytes_Load(bool enable) override { record("Set_UEIBytes_Load", enable); }
    BuildList Get_BuildList(uint32_t serial) override { return record("Get_BuildList", hex(serial)), builds; }
    BuildList Get_BuildListLocal(uint32_t serial) override {
        return record("Get_BuildListLocal", hex(serial)), builds;
    }
    std::string Get_JWT(uint32_t serial) override { return record("Get_JWT", hex(serial)), token; }
    uint32_t Download_Firmware(uint32_t serial, const std::string& build, bool override, bool noCal) override {
        record("Download_Firmware", hex(serial), build, override, noCal);
        return downloaded;
    }
    bool Update_Firmware(uint32_t serial, uint32_t build, const std::string& bird, uint8_t module, uint32_t router,
                         bool override) override {
        record("Update_Firmware", hex(serial), build, bird, module, hex(router), override);
        return updateOk;
    }
    bool Recover_Firmware(const std::string& port, uint32_t build, uint32_t baud, uint32_t serial,
                          const std::string& bird, bool override) override {
        record("Recover_Firmware", port, build, baud, hex(serial), bird, override);
        return recoverOk;
    }
    bool Get_Fingerprint(Fingerprint& f, const std::string& port, uint32_t serial, const std::string& bird,
                         uint32_t baud, bool reset) override {
        record("Get_Fingerprint", port, hex(serial), bird, baud, reset);
        if (fingerprintOk) f = fingerprint;
        return fingerprintOk;
    }
    std::vector<DeviceInfo> Discover_Devices(uint32_t linkType) override {
        return record("Discover_Devices", linkType), devices;
    }
    std::vector<DeviceInfo> Discover_VMNetwork_Devices(uint32_t router, uint32_t linkType) override {
        return record("Discover_VMNetwork_Devices", hex(router), linkType), devices;
    }

private:
    static std::string hex(uint32_t v) {
        char text[16];
        std::snprintf(text, sizeof text, "%08X", v);
        return text;
    }
    static std::string text(const std::string& s) { return s; }
    static std::string text(const char* s) { return s; }
    static std::string text(bool b) { return b ? "true" : "false"; }
    template <typename T>
    static std::string text(T v) {
        return std::to_string(v);
    }
    template <typename... A>
    void record(const char* name, const A&... args) {
        std::string line = name;
        line += "(";
        bool first = true;
        ((line += (first ? "" : ",") + text(args), first = false), ...);
        line += ")";
        calls.push_back(line);
    }
};

class DispatchTest : public ::testing::Test {
protected:
    std::string root;
    std::vector<std::string> calls;
    RecordingDisplay display;
    std::string stderrText;
    // Answers the fake gives; set before run().
    FakeUpdater answers{calls};
    std::string madeWithUrl, madeWithDirectory;
    bool made = false;

    void SetUp() override {
        char pattern[] = "/tmp/updater-dispatch-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        Log::package_bitmask = 0;
    }
    void TearDown() override {
        std::filesystem::remove_all(root);
        Log::package_bitmask = 0;
        Log::SetOutput(nullptr);
    }

    // Runs one command line; adds -i <temp root> unless told not to.
    int run(std::vector<std::string> args, bool withRoot = true) {
        if (withRoot) {
            args.push_back("-i");
            args.push_back(root);
        }
        args.insert(args.begin(), "Updater");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        UpdaterFactory factory = [this](const std::string& url, const std::string& dir, UpdaterDisplayInterface& d) {
            made = true;
            madeWithUrl = url;
            madeWithDirectory = dir;
            EXPECT_EQ(&d, &display);
            auto f = std::make_unique<FakeUpdater>(calls);
            f->fingerprint = answers.fingerprint;
            f->fingerprintOk = answers.fingerprintOk;
            f->downloaded = answers.downloaded;
            f->updateOk = answers.updateOk;
            f->recoverOk = answers.recoverOk;
            f->devices = answers.devices;
            f->builds = answers.builds;
            f->token = answers.token;
            return f;
        };
        testing::internal::CaptureStderr();
        int rc = run_updater(static_cast<int>(argv.size() - 1), argv.data(), display, factory);
        stderrText = testing::internal::GetCapturedStderr();
        return rc;
    }

    std::string version() const { return std::string("Updater (Version: 2.12.1 ") + UPDATER_BUILD_DATE + ")"; }
    std::string storage() const { return root + "/updater"; }
};

using Lines = std::vector<std::string>;

}  // namespace

TEST_F(DispatchTest, NoCommandPrintsVersionCopyrightShortUsage) {
    for (const auto& args : {Lines{}, Lines{"-X", "1"}, Lines{"stray"}}) {
        display = RecordingDisplay();
        EXPECT_EQ(run(args, false), 0);
        ASSERT_EQ(display.infos.size(), 2u);
        EXPECT_EQ(display.infos[0], version());
        EXPECT_NE(display.infos[1].find("Corvane"), std::string::npos);
        EXPECT_EQ(stderrText.rfind("\nApplication Usage:\n", 0), 0u);
        EXPECT_EQ(stderrText.find("Parameters to commands"), std::string::npos);
        EXPECT_FALSE(made);
    }
}

TEST_F(DispatchTest, HelpWinsOverCommandsAndSkipsTheStore) {
    EXPECT_EQ(run({"-D", "-G", "-h"}), 0);
    EXPECT_FALSE(made);
    EXPECT_TRUE(calls.empty());
    EXPECT_NE(stderrText.find("Parameters to commands"), std::string::npos);
    EXPECT_EQ(stderrText.find("Extended Parameters"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(storage()));

    display = RecordingDisplay();
    EXPECT_EQ(run({"-X", "0", "--help"}), 0);
    EXPECT_NE(stderrText.find("Extended Parameters"), std::string::npos);
}

TEST_F(DispatchTest, RejectedOptionEndsTheRunWithShortUsage) {
    struct Case {
        Lines args;
        std::string error;
    };
    const Case cases[] = {
        {{"-d", "0x", "-D"}, "Invalid serial number obtained from argument []"},
        {{"-d", "G1", "-D"}, "Invalid serial number obtained from argument [G1]"},
        {{"-t", "FOO", "-D"}, "Invalid transport type:[FOO]\nMust be one of the following: USB, TCPIP, RECOVER"},
        {{"-Y"}, "Unhandled command: [-Y]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        display = RecordingDisplay();
        EXPECT_EQ(run(c.args), 1);
        EXPECT_EQ(display.all.size(), 3u);
        EXPECT_EQ(display.all[0], "E:" + c.error);
        EXPECT_EQ(display.all[1], "I:" + version());
        EXPECT_NE(display.all[2].find("Corvane"), std::string::npos);
        EXPECT_EQ(stderrText.rfind("\nApplication Usage:\n", 0), 0u);
        EXPECT_EQ(stderrText.find("Parameters to commands"), std::string::npos);
        EXPECT_FALSE(made);
    }
}

TEST_F(DispatchTest, StorageDirectoryIsCreatedAndHandedOver) {
    EXPECT_EQ(run({"-I", "-u", "http://127.0.0.1:9/cgi/u"}), 0);
    EXPECT_TRUE(made);
    EXPECT_EQ(madeWithUrl, "http://127.0.0.1:9/cgi/u");
    EXPECT_EQ(madeWithDirectory, storage());
    struct stat st {};
    ASSERT_EQ(stat(storage().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_TRUE(calls.empty());  // -I, -C and -Z do nothing after the version line
    EXPECT_EQ(display.infos, Lines{version()});

    made = false;
    EXPECT_EQ(run({"-C", "-Z", "x"}), 0);
    EXPECT_TRUE(made);
    EXPECT_EQ(madeWithUrl, UPDATER_DEFAULT_SERVER_URL);
}

TEST_F(DispatchTest, StorageDirectoryThatCannotBeCreated) {
    const std::string file = root + "/plain";
    std::FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_EQ(run({"-D", "-i", file + "/sub"}, false), 1);
    EXPECT_EQ(display.errors, Lines{"Could not find updater directory at " + file + "/sub/updater"});
    EXPECT_FALSE(made);
}

TEST_F(DispatchTest, Fingerprint) {
    EXPECT_EQ(run({"-N"}), 1);
    EXPECT_EQ(display.errors, Lines{"Must specify the serial port used for connecting"});
    EXPECT_TRUE(calls.empty());

    display = RecordingDisplay();
    answers.fingerprint.words[0] = 0x11;
    answers.fingerprint.words[3] = 0xCAFEF00D;
    EXPECT_EQ(run({"-N", "-s", "/dev/ttyUSB0", "-o", "9600", "-f", "l.bird", "-d", "1234"}), 0);
    EXPECT_EQ(calls, Lines{"Get_Fingerprint(/dev/ttyUSB0,DEADDEAD,l.bird,9600,true)"});
    EXPECT_EQ(display.infos, (Lines{version(), "[ 00000011 00000000 00000000 CAFEF00D ]"}));

    // A silent chip fails the run unless a later command ends it.
    calls.clear();
    display = RecordingDisplay();
    answers.fingerprintOk = false;
    EXPECT_EQ(run({"-N", "-s", "/dev/ttyUSB0"}), 1);
    EXPECT_EQ(display.errors, Lines{"Got no response from chip"});

    // ... and a good download after it does not hide that failure.
    answers.downloaded = 9;
    EXPECT_EQ(run({"-N", "-G", "-d", "1", "-s", "/dev/ttyUSB0"}), 1);

    calls.clear();
    EXPECT_EQ(run({"-N", "-D", "-s", "/dev/ttyUSB0"}), 0);
    EXPECT_EQ(calls, (Lines{"Get_Fingerprint(/dev/ttyUSB0,DEADDEAD,,115200,true)", "Discover_Devices(1)"}));
}

TEST_F(DispatchTest, GetNeedsADevice) {
    EXPECT_EQ(run({"-G", "-U"}), 1);
    EXPECT_EQ(display.errors, (Lines{"-G must specify a specific device via -d", "--help for usage information"}));
    EXPECT_TRUE(calls.empty());
}

TEST_F(DispatchTest, GetAnnouncesAndReportsTheDownload) {
    struct Case {
        Lines args;
        uint32_t downloaded;
        Lines infos;  // after the version line
        std::string call;
        int rc;
    };
    const Case cases[] = {
        {{"-G", "-d", "40F5849A"}, 7, {"Retrieving firmware for device with serial number 40F5849A", "No build specified", "Using Latest build"},
         "Download_Firmware(40F5849A,,false,false)", 0},
        {{"-G", "-d", "40F5849A", "-b", "99528558", "-O"}, 99528558, {"Retrieving firmware for device with serial number 40F5849A", "Retrieving firmware build 99528558"},
         "Download_Firmware(40F5849A,99528558,true,false)", 0},
        {{"-b", "abc", "-G", "-d", "40F5849A"}, 0, {"Retrieving firmware for device with serial number 40F5849A", "Retrieving firmware build 0"},
         "Download_Firmware(40F5849A,0,false,false)", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        calls.clear();
        display = RecordingDisplay();
        answers.downloaded = c.downloaded;
        EXPECT_EQ(run(c.args), c.rc);
        Lines infos = {version()};
        infos.insert(infos.end(), c.infos.begin(), c.infos.end());
        EXPECT_EQ(display.infos, infos);
        EXPECT_EQ(calls, Lines{c.call});
    }
}

TEST_F(DispatchTest, UpdateAfterGetUsesTheBuildJustStored) {
    answers.downloaded = 4242;
    EXPECT_EQ(run({"-G", "-U", "-d", "40F5849A", "-r", "D272031D"}), 0);
    EXPECT_EQ(calls, (Lines{"Download_Firmware(40F5849A,,false,false)", "Set_UEIBytes_Load(true)",
                            "Update_Firmware(40F5849A,4242,,0,D272031D,false)"}));

    // A failed download leaves the choice of build to the update.
    calls.clear();
    answers.downloaded = 0;
    EXPECT_EQ(run({"-G", "-U", "-d", "40F5849A"}), 0);
    EXPECT_EQ(calls.back(), "Update_Firmware(40F5849A,0,,0,00000000,false)");
}

TEST_F(DispatchTest, UpdateAndRecover) {
    struct Case {
        Lines args;
        bool ok;
        Lines calls;
        int rc;
        Lines errors;
    };
    const Case cases[] = {
        {{"-U", "-d", "2181F0EE", "-b", "12", "-f", "f.bird", "-OVERRIDE", "-m", "0"}, true,
         {"Set_UEIBytes_Load(false)", "Update_Firmware(2181F0EE,12,f.bird,0,00000000,true)"}, 0, {}},
        {{"-U", "-d", "2181F0EE", "-t", "TCPIP"}, false,
         {"Set_UEIBytes_Load(true)", "Update_Firmware(2181F0EE,0,,0,00000000,false)"}, 1, {}},
        {{"-U"}, true, {"Set_UEIBytes_Load(true)"}, 1, {"Must specify the specific device to be updated"}},
        {{"-U", "-t", "RECOVER", "-s", "/dev/ttyUSB1", "-o", "57600", "-b", "5"}, true,
         {"Set_UEIBytes_Load(true)", "Recover_Firmware(/dev/ttyUSB1,5,57600,00000000,,false)"}, 0, {}},
        {{"-U", "-t", "RECOVER", "-s", "USB", "-d", "2181F0EE", "-f", "r.bird"}, false,
         {"Set_UEIBytes_Load(true)", "Recover_Firmware(USB,0,115200,2181F0EE,r.bird,false)"}, 1, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.calls.back());
        calls.clear();
        display = RecordingDisplay();
        answers.updateOk = answers.recoverOk = c.ok;
        EXPECT_EQ(run(c.args), c.rc);
        EXPECT_EQ(calls, c.calls);
        EXPECT_EQ(display.errors, c.errors);
    }
}

TEST_F(DispatchTest, DiscoverChoosesTheSearchAndHeading) {
    struct Case {
        Lines args;
        std::string searching;
        std::string call;
        std::string heading;
    };
    const Case cases[] = {
        {{"-D"}, "Searching for Velmarine devices", "Discover_Devices(1)", "Discovered Devices: (USB)"},
        {{"-D", "-t", "TCPIP"}, "Searching for Velmarine devices", "Discover_Devices(2)", "Discovered Devices: (TCPIP)"},
        {{"-D", "-t", "RECOVER"}, "Searching for Velmarine devices", "Discover_Devices(1)", "Discovered Devices: (USB)"},
        {{"-D", "-r", "D272031D"}, "Searching for Velmarine Network devices connected to D272031D",
         "Discover_VMNetwork_Devices(D272031D,0)", "Discovered Devices: (Unknown)"},
        {{"-D", "-r", "D272031D", "-t", "USB"}, "Searching for Velmarine Network devices connected to D272031D",
         "Discover_VMNetwork_Devices(D272031D,1)", "Discovered Devices: (USB)"},
        // Discovery takes precedence and the serial number plays no part in it.
        {{"-U", "-B", "-D", "-d", "1"}, "Searching for Velmarine devices", "Discover_Devices(1)", "Discovered Devices: (USB)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        calls.clear();
        display = RecordingDisplay();
        EXPECT_EQ(run(c.args), 0);
        EXPECT_EQ(calls, Lines{c.call});
        EXPECT_EQ(display.infos, (Lines{version(), c.searching, c.heading, "    No devices found."}));
    }
}

TEST_F(DispatchTest, ListingsNeedASerialNumber) {
    struct Case {
        const char* option;
        std::string error;
    };
    for (const Case& c : {Case{"-B", "Error must supply a serial number for the List Builds command"},
                          Case{"-L", "Error must supply a serial number for the List Local Builds command"},
                          Case{"-J", "Error must supply a serial number for the Get JWT command"}}) {
        display = RecordingDisplay();
        EXPECT_EQ(run({c.option}), 1);
        EXPECT_EQ(display.errors, Lines{c.error});
        EXPECT_EQ(stderrText.rfind("\nApplication Usage:\n", 0), 0u);
        EXPECT_TRUE(calls.empty());
    }
}

TEST_F(DispatchTest, ListingsShowWhatTheUpdaterReturns) {
    answers.builds = {{"101", "1.0.0"}};
    answers.token = "h.p.s";
    struct Case {
        const char* option;
        std::string call;
        Lines shown;
    };
    const Lines buildRows = {"Build List for device [0000ABCD]:\n", "Build          \tVersion        ",
                             "101            \t1.0.0          "};
    for (const Case& c : {Case{"-B", "Get_BuildList(0000ABCD)", buildRows},
                          Case{"-L", "Get_BuildListLocal(0000ABCD)", buildRows},
                          Case{"-J", "Get_JWT(0000ABCD)", {"h.p.s"}}}) {
        calls.clear();
        display = RecordingDisplay();
        EXPECT_EQ(run({c.option, "-d", "abcd"}), 0);
        EXPECT_EQ(calls, Lines{c.call});
        Lines infos = {version()};
        infos.insert(infos.end(), c.shown.begin(), c.shown.end());
        EXPECT_EQ(display.infos, infos);
    }

    // A refused request still ends the run with 0; the updater has said why.
    answers.builds.clear();
    calls.clear();
    display = RecordingDisplay();
    EXPECT_EQ(run({"-B", "-d", "abcd"}), 0);
    EXPECT_EQ(display.infos.back(), "No builds found for device [0000ABCD]");
}
