// Plain -D against modules on emulated USB: the real Updater runs inside the
// USB lab (velmarine-usbsim), which answers libusb's requests for the modules.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "process_runner.h"

namespace {

const std::string kUsbSim = TEST_BINARY_DIR "/sim/usb/velmarine-usbsim";

struct UsbDiscover : ::testing::Test {
    std::filesystem::path dir;
    void SetUp() override
    {
        char tmpl[] = "/tmp/usb-discover.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    ProcessResult run(const std::vector<std::string>& devices, const std::vector<std::string>& command)
    {
        std::vector<std::string> argv = {kUsbSim, "--events", (dir / "events").string()};
        for (auto& d : devices) {
            argv.push_back("--usb");
            argv.push_back(d);
        }
        argv.push_back("--");
        argv.insert(argv.end(), command.begin(), command.end());
        ProcessOptions o;
        o.timeout = std::chrono::seconds(60);
        return run_process(argv, o);
    }
    std::string events() const
    {
        std::ifstream in(dir / "events");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
};

TEST_F(UsbDiscover, ListsModulesWithTheUsbHeading)
{
    auto r = run({"serial=40F5849A product=0x13 version=2.10.4 build=1001 name=Bench",
                  "serial=11110001 product=0x8001",          // not a module
                  "serial=3C5A1B20 serial_string=3c5a1b20",  // lower-case serial string
                  "serial=22220003 held"},                   // another program holds it
                 {UPDATER_BIN, "-D", "-i", (dir / "store").string()});
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Discovered Devices: (USB)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("    40F5849A  02       02      VM-Temp-4      2.10.4 (      1001)         Bench\n"),
              std::string::npos)
        << r.out;
    // Listed by enumeration, but "3C5A1B20" never matches its string when connecting.
    EXPECT_NE(r.out.find("    3C5A1B20  [Error"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("    22220003  [Error"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("11110001"), std::string::npos) << r.out;

    const std::string ev = events();
    EXPECT_EQ(ev.find("11110001 usb-open"), std::string::npos) << ev;
    EXPECT_NE(ev.find("22220003 usb-claim-busy 0"), std::string::npos) << ev;
    EXPECT_NE(ev.find("40F5849A usb-claim 0"), std::string::npos) << ev;
}

}  // namespace
