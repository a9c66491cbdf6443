// Firmware updates of modules on emulated USB: the real Updater runs inside the USB
// lab (velmarine-usbsim), the reference update server on this namespace's loopback.
// A module that reboots leaves the bus and comes back; a loader may re-enumerate,
// even under the default serial number.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/update_support.h"

namespace {

using namespace std::chrono_literals;
using namespace update_e2e;

constexpr const char* kSerial = "40F5849A";
const std::string kUsbSim = TEST_BINARY_DIR "/sim/usb/velmarine-usbsim";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Single-quoted for the shell.
std::string quoted(const std::string& word) {
    std::string q = "'";
    for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class UsbUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::path(TEST_BINARY_DIR) /
               ("update-usb-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root / "store");
        fs::create_directories(root / "flash");
    }
    void TearDown() override { fs::remove_all(root); }

    // The module line of the emulated USB module; its flash lands in root/flash.
    std::string module(const std::string& options, int rebootMs = 1000) const {
        return std::string("serial=") + kSerial + " product=0x13 version=2.10.4 build=1001 reboot_ms=" +
               std::to_string(rebootMs) + " flash_dir=" + (root / "flash").string() + " " + options;
    }

    // Runs the Updater commands one after the other inside one USB lab (the lab
    // lives as long as its program); stops at the first that fails.
    ProcessResult run(const std::string& usbLine, const std::vector<std::vector<std::string>>& commands,
                      std::chrono::milliseconds timeout = 90s) {
        std::string script;
        for (const auto& c : commands) {
            if (!script.empty()) script += " && ";
            if (c.size() == 2 && c[0] == "sleep") {  // a pause between two runs
                script += "sleep " + c[1];
                continue;
            }
            script += quoted(UPDATER_BIN);
            for (const auto& a : c) script += " " + quoted(a);
            script += " -i " + quoted((root / "store").string());
        }
        ProcessOptions o;
        o.timeout = timeout;
        o.workingDirectory = root.string();
        return run_process({kUsbSim, "--events", (root / "events").string(), "--usb", usbLine, "--", "/bin/sh", "-c",
                            script},
                           o);
    }
    std::string events() const { return read_text(root / "events"); }
    std::vector<uint8_t> flash() const { return read_bytes(root / "flash" / (std::string(kSerial) + "-00000000.bin")); }
    std::string settings() const { return read_text(root / "store" / "updater" / kSerial / ".settings"); }

    fs::path root;
};

// The image as the module must hold it: the serial number patched into the generic
// image (32 bits least significant first, and eight hex digits in the low bytes of a
// 16-bit text).
std::vector<uint8_t> patched(std::vector<uint8_t> firmware, uint32_t serial, size_t numberAt, size_t textAt) {
    for (int i = 0; i < 4; ++i) firmware[numberAt + i] = static_cast<uint8_t>(serial >> (8 * i));
    char text[9];
    std::snprintf(text, sizeof text, "%08X", serial);
    for (int i = 0; i < 8; ++i) firmware[textAt + 2 * i] = static_cast<uint8_t>(text[i]);
    return firmware;
}

TEST_F(UsbUpdate, GetThenUpdateWithEitherTransferPathFlashesRebootsAndReportsTheNewBuild) {
    Image generic;
    generic.serial = "";
    generic.serialOffsets = "256:512";
    generic.stampAt = 800;
    ASSERT_TRUE(make_bird(root / "catalog" / kSerial / "1200.bird", generic));
    const auto expected = patched(flashed(generic), 0x40F5849A, 256, 512);
    server_e2e::UpdateServer server;
    ASSERT_TRUE(server.start(root / "catalog"));

    struct Case {
        const char* name;
        std::vector<std::string> extra;
        bool pooled;  // several packets go out in one transfer
    };
    for (const Case& c : {Case{"packets", {"-m", "0"}, false}, Case{"byte strings, pooled", {}, true}}) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root / "store");
        fs::remove_all(root / "flash");
        fs::create_directories(root / "flash");
        std::vector<std::string> update = {"-G", "-U", "-d", kSerial, "-u", server.url()};
        update.insert(update.end(), c.extra.begin(), c.extra.end());
        ProcessResult r = run(module("uei_data features=0x80000000"), {update, {"sleep", "2"}, {"-D"}});
        ASSERT_FALSE(r.timedOut) << r.out << r.err;
        EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
        EXPECT_TRUE(contains(r.out, "Update time: ")) << r.out;
        EXPECT_EQ(flash(), expected);
        EXPECT_TRUE(contains(settings(), "LATEST_TRANSFER=1200.bird\n")) << settings();
        // The reboot took the module off the bus; it came back running the new image.
        const std::string ev = events();
        EXPECT_TRUE(contains(ev, "40F5849A usb-reenumerate 40F5849A 1000")) << ev;
        EXPECT_TRUE(contains(r.out, "    40F5849A  02       02      VM-Temp-4      2.11.0 (      1200)")) << r.out;
        EXPECT_EQ(contains(ev, "usb-burst"), c.pooled) << ev;
    }
}

// A module that is back on the bus within milliseconds of its reboot (and a loader
// that re-enumerates as fast): the transfers still pending on the node that went away
// end, the module is released and every run ends. Three updates in a row, since a
// lost completion hung only some of them.
TEST_F(UsbUpdate, ModuleBackWithinMillisecondsOfItsRebootIsReleasedAndEveryRunEnds) {
    Image image;
    const fs::path bird = root / "in" / "fw.bird";
    ASSERT_TRUE(make_bird(bird, image));
    const std::vector<std::string> update = {"-U", "-d", kSerial, "-f", bird.string()};
    ProcessResult r = run(module("loader_reenumerates=20", 20), {update, update, update, {"sleep", "1"}, {"-D"}}, 120s);
    ASSERT_FALSE(r.timedOut) << r.out << r.err;
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_EQ(count(r.out, "Update time: "), 3u) << r.out;
    EXPECT_EQ(flash(), image.firmware);
    const std::string ev = events();
    EXPECT_EQ(count(ev, "40F5849A usb-reenumerate 40F5849A 20"), 6u) << ev;
    EXPECT_TRUE(contains(r.out, "    40F5849A  ")) << r.out;
}

// A loader that restarts the module's USB connection and comes back only after the
// updater's reconnect sequence gave up: the update keeps looking for it, renewing the
// USB context every third attempt, and finds it again.
TEST_F(UsbUpdate, LoaderThatReenumeratesLateIsFoundAgainAfterTheUsbContextWasRenewed) {
    Image image;
    const fs::path bird = root / "in" / "fw.bird";
    ASSERT_TRUE(make_bird(bird, image));
    ProcessResult r = run(module("loader_reenumerates=12000"),
                          {{"-U", "-d", kSerial, "-f", bird.string(), "-X", "0x10101"}});
    ASSERT_FALSE(r.timedOut) << r.out << r.err;
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_EQ(flash(), image.firmware);
    const std::string log = r.err;
    EXPECT_TRUE(contains(log, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: 5 of 5\n")) << log;
    EXPECT_TRUE(contains(log, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n")) << log;
    // Found only after at least one renewal of the context.
    EXPECT_GE(count(log, "Failed enumeration after 3 tries, refreshing libusb context.\n"), 1u) << log;
    EXPECT_TRUE(contains(events(), "40F5849A upgrade-reboot")) << events();
}

// A loader that comes back under the default serial number 0xDEADDEAD: the reconnect
// sequence finds it there after five attempts under the module's own number, and the
// firmware goes to it.
TEST_F(UsbUpdate, LoaderBackUnderTheDefaultSerialNumberIsReachedByTheReconnectSequence) {
    Image image;
    const fs::path bird = root / "in" / "fw.bird";
    ASSERT_TRUE(make_bird(bird, image));
    ProcessResult r = run(module("loader_reenumerates=200 loader_serial=DEADDEAD"),
                          {{"-U", "-d", kSerial, "-f", bird.string(), "-X", "0x101"}, {"sleep", "2"}, {"-D"}});
    ASSERT_FALSE(r.timedOut) << r.out << r.err;
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_EQ(flash(), image.firmware);
    const std::string log = r.err;
    EXPECT_TRUE(contains(log, "NETWORK: Attempting to reconnect. Attempt: 5 of 5\n")) << log;
    EXPECT_TRUE(contains(log, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: 1 of 5\n")) << log;
    EXPECT_TRUE(contains(log, "NETWORK: Reconnected to device\n")) << log;
    const std::string ev = events();
    EXPECT_TRUE(contains(ev, "40F5849A usb-reenumerate DEADDEAD 200")) << ev;
    // After the reboot the module is back under its own serial number.
    EXPECT_TRUE(contains(r.out, "    40F5849A  ")) << r.out;
}

}  // namespace
