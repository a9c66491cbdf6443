// Fault matrix for firmware updates over USB: `-G -U` inside the USB lab
// (velmarine-usbsim) from the reference update server on this namespace's loopback,
// while one fault strikes; then a second, healthy run in the same lab.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/fault_matrix.h"
#include "tests/e2e/update_support.h"

namespace {

using namespace std::chrono_literals;
using namespace fault_e2e;
using update_e2e::Image;

constexpr const char* kSerial = "40F5849A";
const std::string kUsbSim = TEST_BINARY_DIR "/sim/usb/velmarine-usbsim";

std::string quoted(const std::string& word) {
    std::string q = "'";
    for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct UsbCase {
    Fault fault;
    std::string moduleKeys;  // misbehaviour of the simulated module
    int status;              // exit status of the run that meets the fault
    std::vector<std::string> shown;
    double maxSeconds;
};

std::string usb_case_name(const ::testing::TestParamInfo<UsbCase>& info) { return fault_name(info.param.fault); }

// Marks the end of the first run's output on both standard output and standard error.
const std::string kSplit = "@@ end of the first run, status ";

class UsbFaults : public ::testing::TestWithParam<UsbCase> {
protected:
    void SetUp() override {
        root = fs::path(TEST_BINARY_DIR) / ("fault-usb-" + std::to_string(::getpid()) + "-" +
                                            fault_name(GetParam().fault));
        fs::remove_all(root);
        fs::create_directories(root / "store");
        fs::create_directories(root / "flash");
        if (GetParam().fault == Fault::DiskFull) image.firmware = update_e2e::pattern(12000, 3);
        // Long enough for the module to be pulled off the bus between two writes.
        if (GetParam().fault == Fault::VanishesAndReturns || GetParam().fault == Fault::NeverReturns)
            image.firmware = update_e2e::pattern(40000, 4);
        ASSERT_TRUE(update_e2e::make_bird(root / "catalog" / kSerial / "1200.bird", image));
    }
    void TearDown() override { fs::remove_all(root); }

    std::string updater(const std::string& url) const {
        return quoted(UPDATER_BIN) + " -G -U -d " + kSerial + " -u " + quoted(url) + " -i " +
               quoted((root / "store").string());
    }

    fs::path root;
    Image image;
};

TEST_P(UsbFaults, EndsClearlyInTimeKeepsTheStoreWholeAndASecondRunUpdates) {
    const UsbCase& c = GetParam();
    server_e2e::UpdateServer healthy, dying;
    ASSERT_TRUE(healthy.start(root / "catalog"));
    std::string firstUrl = healthy.url();
    if (c.fault == Fault::ServerDies) {
        ASSERT_TRUE(dying.start(root / "catalog", {"--fault", "die", "--fault-op", "bird"}));
        firstUrl = dying.url();
    }

    // The lab lives as long as the program it runs: one script holds both runs, and
    // pulls the module off the bus (and back) through the lab's control socket.
    const std::string events = (root / "events").string();
    const std::string control = "socat - UNIX-CONNECT:\"$VELMARINE_USBSIM_CONTROL\" >/dev/null";
    std::string first = updater(firstUrl);
    if (c.fault == Fault::DiskFull) {
        std::string wrapped;
        for (const auto& w : on_small_disk({}, root / "store", 16, 12, root / "disk", {"/bin/sh", "-c", first}))
            wrapped += quoted(w) + " ";
        first = wrapped;
    }
    std::string script = "start=$(date +%s%N)\n";
    if (c.fault == Fault::VanishesAndReturns || c.fault == Fault::NeverReturns) {
        script += first + " & run=$!\n"
                  "i=0; until grep -q '" + std::string(kSerial) + " upgrade-write' " + quoted(events) +
                  " || [ $i -ge 600 ]; do sleep 0.05; i=$((i+1)); done\n"
                  "echo 'unplug " + kSerial + "' | " + control + "\n";
        if (c.fault == Fault::VanishesAndReturns)
            script += "(sleep 1.5; echo 'plug " + std::string(kSerial) + "' | " + control + ") & plugger=$!\n";
        script += "wait $run; status=$?\n";
    } else {
        script += first + "; status=$?\n";
    }
    script += "echo \"elapsed_ms $(( ($(date +%s%N) - start) / 1000000 ))\"\n"
              "echo \"" + kSplit + "$status\"; echo \"" + kSplit + "$status\" >&2\n";
    // A first run that gave up quickly must not leave the second one without a module.
    if (c.fault == Fault::VanishesAndReturns) script += "wait $plugger; sleep 1\n";
    if (c.fault == Fault::NeverReturns) {
        script += updater(healthy.url()) + "; echo \"@@ while gone: $?\"\n"
                  "echo 'plug " + std::string(kSerial) + "' | " + control + "; sleep 1\n";
    }
    script += "rm -rf " + quoted((root / "flash").string()) + "/*\n" + updater(healthy.url()) + "\n";

    ProcessOptions o;
    o.timeout = 200s;
    o.workingDirectory = root.string();
    ProcessResult r = run_process({kUsbSim, "--events", events, "--usb",
                                   std::string("serial=") + kSerial +
                                       " product=0x13 version=2.10.4 build=1001 reboot_ms=50 flash_dir=" +
                                       (root / "flash").string() + " " + c.moduleKeys,
                                   "--", "/bin/sh", "-c", script},
                                  o);
    ASSERT_FALSE(r.timedOut) << r.out << r.err;
    const size_t outSplit = r.out.find(kSplit), errSplit = r.err.find(kSplit);
    ASSERT_NE(outSplit, std::string::npos) << r.out << r.err;
    const std::string firstOut = r.out.substr(0, outSplit) + (errSplit == std::string::npos ? r.err : r.err.substr(0, errSplit));
    const std::string secondOut = r.out.substr(outSplit);
    SCOPED_TRACE(firstOut);

    EXPECT_EQ(std::stoi(r.out.substr(outSplit + kSplit.size())), c.status);
    for (const auto& line : c.shown) EXPECT_TRUE(contains(firstOut, line)) << "missing: " << line;
    const size_t elapsed = r.out.find("elapsed_ms ");
    ASSERT_NE(elapsed, std::string::npos);
    EXPECT_LT(std::stod(r.out.substr(elapsed + 11)) / 1000, c.maxSeconds);
    EXPECT_EQ(store_problems((c.fault == Fault::DiskFull ? root / "disk" : root / "store") / "updater",
                             root / "catalog"),
              "");
    if (c.fault == Fault::NeverReturns) {
        EXPECT_TRUE(contains(r.out, "@@ while gone: 1")) << r.out;
    }

    // The second run, in the same lab, brought the module to the new firmware.
    EXPECT_EQ(r.exitStatus, 0) << secondOut << r.err;
    EXPECT_TRUE(contains(secondOut, "Update time: ")) << secondOut;
    EXPECT_EQ(update_e2e::read_bytes(root / "flash" / (std::string(kSerial) + "-00000000.bin")),
              image.firmware);
    EXPECT_EQ(store_problems(root / "store" / "updater", root / "catalog"), "");
}

const std::string kNoBuild = "Could not find valid build for this device.";

// The upgrade traffic is that of the TCP/IP matrix: answer 25 of the upgrade entity
// is a data acknowledgement of the firmware's second piece.
const UsbCase kUsbCases[] = {
    {Fault::DroppedReply, "drop_reply=25:95", 0, {"  Retry 1", "Update time: "}, 60},
    {Fault::ByteSumMismatch, "bad_upgrade_sum=5", 1, {"  Retry 4", "Transferred 0 blocks, 0 total bytes"}, 60},
    {Fault::ServerDies, "", 1, {"Download failed", "Failed to retrieve a valid BIRD file", kNoBuild}, 60},
    {Fault::DiskFull, "", 1, {"Failed to write file with 6", kNoBuild}, 60},
};

INSTANTIATE_TEST_SUITE_P(Usb, UsbFaults, ::testing::ValuesIn(kUsbCases), usb_case_name);

const UsbCase kUsbVanishingCases[] = {
    {Fault::CorruptedFrame, "corrupt_reply=25:95", 0, {"  Retry 1", "Update time: "}, 60},
    {Fault::VanishesAndReturns, "", 1, {"Transferred 0 blocks, 0 total bytes"}, 60},
    {Fault::NeverReturns, "", 1, {"Transferred 0 blocks, 0 total bytes"}, 60},
};
INSTANTIATE_TEST_SUITE_P(UsbVanishing, UsbFaults, ::testing::ValuesIn(kUsbVanishingCases), usb_case_name);

}  // namespace
