// Fingerprint and recovery of an i.MX module with the real Updater: the boot ROM
// on emulated USB-HID (or on a pseudo-terminal) inside the USB lab, the recovery
// loader it starts appearing on USB as a module, and the reference update server
// on 127.0.0.1 naming the device and its build for the fingerprint.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/lpc_bird_writer.h"
#include "tests/e2e/process_runner.h"
#include "tests/e2e/server_process.h"

namespace fs = std::filesystem;

namespace {

const std::string kUsbSim = TEST_BINARY_DIR "/sim/usb/velmarine-usbsim";
constexpr uint8_t kLoaderStart = 5;
// What the started loader reports for option 39, by subindex 0 to 3; the
// fingerprint holds them as words 3 to 0.
constexpr const char* kLoaderWords = "11A0B0C1,22A0B0C2,33A0B0C3,44A0B0C4";
constexpr const char* kFingerprint = "44A0B0C4 33A0B0C3 22A0B0C2 11A0B0C1";

std::vector<uint8_t> bytes(size_t n, unsigned seed) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 7;
    for (auto& b : v) {
        x = x * 1103515245u + 12345u;
        b = uint8_t(x >> 24);
    }
    return v;
}

lpcbird::Block addressed(uint8_t type, uint32_t address, const std::vector<uint8_t>& payload) {
    lpcbird::Block b{type, {}};
    lpcbird::be32(b.data, address);
    b.data.insert(b.data.end(), payload.begin(), payload.end());
    return b;
}

class ImxUsbRecovery : public ::testing::Test {
protected:
    void SetUp() override {
        catalog = tmp.path() / "catalog";
        store = tmp.path() / "store";
        flash = tmp.path() / "flash";
        fs::create_directories(catalog / "DEADDEAD");
        fs::create_directories(catalog / "0A0B0C0D");
        fs::create_directories(flash);
        // The default recovery image: the recovery loader in two blocks, started
        // inside the first.
        lpcbird::writeFile((catalog / "DEADDEAD" / "7.bird").string(),
                           lpcbird::bird({lpcbird::descriptor(7, "1.0.0", 0xDEADDEAD, "IMX"),
                                          addressed(lpcbird::LOADER, 0x20000000, bytes(5000, 1)),
                                          addressed(lpcbird::LOADER, 0x20002000, bytes(300, 2)),
                                          addressed(kLoaderStart, 0x20000800, {}),
                                          addressed(lpcbird::FIRMWARE, 0x60000000, bytes(64, 3))}));
        firmware = bytes(3000, 4);
        lpcbird::writeFile((catalog / "0A0B0C0D" / "42.bird").string(),
                           lpcbird::bird({lpcbird::descriptor(42, "2.1.0", 0x0A0B0C0D, "IMX"),
                                          addressed(lpcbird::LOADER, 0x20000000, bytes(400, 5)),
                                          addressed(lpcbird::FIRMWARE, 0x60000000, firmware)}));
        std::ofstream(catalog / "fingerprints") << kFingerprint << " 0A0B0C0D 42\n";
        ASSERT_TRUE(server.start(catalog));
    }

    // Runs the Updater inside a USB lab holding the i.MX ROM (HID unless imx says
    // otherwise) and the module its recovery loader becomes; at most 120 s.
    // With linger, the lab stays up a second after the Updater ends, so that what
    // the module does after its last answer can be seen.
    ProcessResult run(const std::vector<std::string>& args, const std::string& imx = "", bool linger = false) {
        std::vector<std::string> argv = {
            kUsbSim, "--events", (tmp.path() / "events").string(), "--usb",
            std::string("serial=DEADDEAD in_loader fingerprint=") + kLoaderWords + " flash_dir=" + flash.string(),
            "--imx", "loader=DEADDEAD " + imx, "--"};
        if (linger) argv.insert(argv.end(), {"/bin/sh", "-c", "\"$0\" \"$@\"; s=$?; sleep 1; exit $s"});
        argv.push_back(UPDATER_BIN);
        argv.insert(argv.end(), args.begin(), args.end());
        argv.insert(argv.end(), {"-i", store.string(), "-u", server.url()});
        ProcessOptions o;
        o.timeout = std::chrono::seconds(120);
        return run_process(argv, o);
    }

    std::vector<std::string> events() const {
        std::ifstream in(tmp.path() / "events");
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }
    // The events of the ROM and of the loader's system entity, in order.
    std::vector<std::string> romAndLoaderEvents() const {
        std::vector<std::string> out;
        for (const auto& e : events())
            if (e.rfind("1FC90130 rom ", 0) == 0 || e.rfind("1FC90130 rom-", 0) == 0 || e == "DEADDEAD call 11")
                out.push_back(e);
        return out;
    }

    server_e2e::TempDir tmp{"imx-usb"};
    fs::path catalog, store, flash;
    std::vector<uint8_t> firmware;
    server_e2e::UpdateServer server;
};

}  // namespace

TEST_F(ImxUsbRecovery, FingerprintOverHidLoadsTheDefaultRecoveryLoaderAndResetsTheModule) {
    auto r = run({"-N", "-s", "USB"}, "", true);
    ASSERT_FALSE(r.timedOut);
    ASSERT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(std::string("[ ") + kFingerprint + " ]"), std::string::npos) << r.out;
    // The default image was fetched without a word on the console.
    EXPECT_EQ(r.out.find("Downloading"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::exists(store / "updater" / "DEADDEAD" / "7.bird"));
    EXPECT_NE(server.log().find("op=bird"), std::string::npos);

    const std::vector<std::string> wanted{
        "1FC90130 rom-plug",
        "1FC90130 rom error-status",
        "1FC90130 rom write-file 20000000 5000",
        "1FC90130 rom write-complete",
        "1FC90130 rom error-status",
        "1FC90130 rom write-file 20002000 300",
        "1FC90130 rom write-complete",
        "1FC90130 rom jump 20000800",
        "1FC90130 rom-unplug",
        "1FC90130 rom-started-loader DEADDEAD",
        "DEADDEAD call 11",
        "1FC90130 rom-plug",
    };
    EXPECT_EQ(romAndLoaderEvents(), wanted);
}

TEST_F(ImxUsbRecovery, RecoverOverHidPutsTheServersFirmwareIntoFlash) {
    auto r = run({"-U", "-t", "RECOVER", "-s", "USB"});
    ASSERT_FALSE(r.timedOut);
    ASSERT_EQ(r.exitStatus, 0) << r.out << r.err;
    std::ifstream in(flash / "DEADDEAD-60000000.bin", std::ios::binary);
    std::vector<uint8_t> flashed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(flashed, firmware);
    const std::string log = server.log();
    EXPECT_NE(log.find("op=fix"), std::string::npos) << log;
    EXPECT_TRUE(fs::exists(store / "updater" / "0A0B0C0D" / "42.bird"));
}

TEST_F(ImxUsbRecovery, RecoverOverTheSerialRomPutsTheServersFirmwareIntoFlash) {
    const std::string tty = (tmp.path() / "rom-tty").string();
    auto r = run({"-U", "-t", "RECOVER", "-s", tty}, "tty=" + tty);
    ASSERT_FALSE(r.timedOut);
    ASSERT_EQ(r.exitStatus, 0) << r.out << r.err;
    std::ifstream in(flash / "DEADDEAD-60000000.bin", std::ios::binary);
    std::vector<uint8_t> flashed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(flashed, firmware);
    // The loader went over the line, then the ROM stopped listening; no reset
    // was asked for, so the loader still runs.
    const std::vector<std::string> wanted{
        "1FC90130 rom write-file 20000000 5000", "1FC90130 rom write-complete",
        "1FC90130 rom write-file 20002000 300",  "1FC90130 rom write-complete",
        "1FC90130 rom jump 20000800",            "1FC90130 rom-started-loader DEADDEAD",
    };
    std::vector<std::string> got;
    for (const auto& e : romAndLoaderEvents())
        if (e.find("error-status") == std::string::npos && e.find("rom-tty") == std::string::npos) got.push_back(e);
    EXPECT_EQ(got, wanted);
}
