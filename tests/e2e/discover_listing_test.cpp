// Device listings end to end: the Updater binary on the host side of a lab,
// listing simulated modules on TCP/IP and on a routing module's I2C bus.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/process_runner.h"
#include "tests/e2e/support/netlab.h"

namespace {

using namespace std::chrono_literals;

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

std::string format(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* f, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, f);
    vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

// A TCP/IP row of the device table.
std::string tcpRow(uint32_t serial, int module, int router, const char* model, int major, int minor, int patch,
                   unsigned build, const std::string& ip, const std::string& name)
{
    return format("    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s", serial, module, router, model,
                  major, minor, patch, build, ("[" + ip + "]").c_str(), name.c_str());
}

class Listing : public ::testing::Test {
protected:
    void SetUp() override
    {
        store = std::filesystem::temp_directory_path() /
                ("discover-e2e-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(store);
    }
    void TearDown() override { std::filesystem::remove_all(store); }

    ProcessResult updater(netlab::NetLab& lab, std::vector<std::string> args)
    {
        std::vector<std::string> argv = lab.host_prefix();
        argv.push_back(UPDATER_BIN);
        argv.insert(argv.end(), args.begin(), args.end());
        argv.insert(argv.end(), {"-i", store.string()});
        ProcessOptions o;
        o.timeout = 60000ms;
        return run_process(argv, o);
    }

    std::filesystem::path store;
};

bool has(const std::vector<std::string>& v, const std::string& line)
{
    return std::find(v.begin(), v.end(), line) != v.end();
}

TEST_F(Listing, TcpipListsEveryModuleWithItsIdentity)
{
    const std::string fullName = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";  // exactly 32 bytes, no terminator
    netlab::NetLab lab("module serial=40F5849A model=19 address=6 version=2.10.4 build=1001 name=\"Bench supply\" "
                       "transport=tcp hb=0\n"
                       "module serial=3C5A1B20 model=13 address=2 version=2.10.3 build=998 name=\"Hidden\" "
                       "transport=tcp hb=0\n"
                       "module serial=0000F00D model=4 address=8 version=2.11.0 build=7 name=\"" +
                       fullName +
                       "\" transport=tcp hb=0\n"
                       "module serial=0000B5B5 model=5 address=10 transport=tcp busy\n");
    ASSERT_TRUE(lab.ok()) << lab.error();
    ProcessResult r = updater(lab, {"-D", "-t", "TCPIP"});
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    auto out = lines(r.out);
    const std::string ip = lab.lab_address();

    EXPECT_TRUE(has(out, "Discovered Devices: (TCPIP)")) << r.out;
    EXPECT_TRUE(has(out, "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       "
                         "Device Name"));
    EXPECT_TRUE(has(out, tcpRow(0x40F5849A, 6, 6, "VM-Temp-4", 2, 10, 4, 1001, ip, "Bench supply"))) << r.out;
    EXPECT_TRUE(has(out, tcpRow(0x3C5A1B20, 2, 2, "VM-Router", 2, 10, 3, 998, ip, ""))) << "2.10.3 has no name\n"
                                                                                         << r.out;
    EXPECT_TRUE(has(out, tcpRow(0x0000F00D, 8, 8, "VM-Core", 2, 11, 0, 7, ip, fullName)))
        << "a 32-byte name is shown whole and nothing after it\n"
        << r.out;
    // The module that refuses the connection stays in the list, with no identity read from it.
    auto busy = std::find_if(out.begin(), out.end(), [](const std::string& l) { return l.rfind("    0000B5B5  ", 0) == 0; });
    ASSERT_NE(busy, out.end()) << r.out;
    EXPECT_NE(busy->find("[Error ("), std::string::npos) << *busy;
    EXPECT_EQ(std::count_if(out.begin(), out.end(), [](const std::string& l) { return l.rfind("    0", 0) == 0 || l.rfind("    3", 0) == 0 || l.rfind("    4", 0) == 0; }),
              4);
}

TEST_F(Listing, TcpipWithoutModulesSaysSo)
{
    netlab::NetLab lab("# nothing here");
    ASSERT_TRUE(lab.ok()) << lab.error();
    ProcessResult r = updater(lab, {"-D", "-t", "TCPIP"});
    EXPECT_EQ(r.exitStatus, 0);
    auto out = lines(r.out);
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out[out.size() - 2], "Discovered Devices: (TCPIP)");
    EXPECT_EQ(out.back(), "    No devices found.");
}

TEST_F(Listing, RouterScanListsBusModulesInAddressOrder)
{
    netlab::NetLab lab("router serial=52A0C0DE model=5 address=4 transport=tcp hb=0\n"
                       "bus serial=1B0B0024 model=19 address=0x24 version=2.10.4 build=24\n"
                       "bus serial=1B0B0010 model=14 address=0x10 version=2.9.1 build=16\n"
                       "bus serial=1B0B0030 address=0x30 deny=9\n");
    ASSERT_TRUE(lab.ok()) << lab.error();
    ProcessResult r = updater(lab, {"-D", "-r", "52A0C0DE", "-t", "TCPIP"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    auto out = lines(r.out);
    const std::string ip = lab.lab_address();
    auto row10 = std::find(out.begin(), out.end(), tcpRow(0x1B0B0010, 0x10, 4, "VM-Analog-8", 2, 9, 1, 16, ip, ""));
    auto row24 = std::find(out.begin(), out.end(), tcpRow(0x1B0B0024, 0x24, 4, "VM-Temp-4", 2, 10, 4, 24, ip, ""));
    ASSERT_NE(row10, out.end()) << r.out;
    ASSERT_NE(row24, out.end()) << r.out;
    EXPECT_LT(row10, row24) << "bus address order, not configuration order";
    EXPECT_EQ(r.out.find("1B0B0030"), std::string::npos) << "a module without a readable serial number is left out";
    EXPECT_EQ(r.out.find("52A0C0DE  "), std::string::npos) << "the router is not listed";

    // routeToMe 1 before the first probe, 0 after the last; the router's own address is never probed.
    auto ev = lab.sim().events_of(0x52A0C0DE);
    auto on = std::find(ev.begin(), ev.end(), "set 20 1");
    auto off = std::find(ev.begin(), ev.end(), "set 20 0");
    auto firstProbe = std::find_if(ev.begin(), ev.end(), [](const std::string& e) { return e.rfind("i2c-write", 0) == 0; });
    ASSERT_NE(on, ev.end());
    ASSERT_NE(off, ev.end());
    ASSERT_NE(firstProbe, ev.end());
    EXPECT_LT(on, firstProbe);
    auto lastProbe = std::find_if(ev.rbegin(), ev.rend(), [](const std::string& e) { return e.rfind("i2c-write", 0) == 0; });
    EXPECT_LT(lastProbe.base(), off + 1);
    EXPECT_EQ(std::count_if(ev.begin(), ev.end(), [](const std::string& e) { return e.rfind("i2c-write 0x04 ", 0) == 0; }), 0);
    EXPECT_EQ(std::count_if(ev.begin(), ev.end(), [](const std::string& e) { return e.rfind("i2c-write", 0) == 0; }), 125);
}

TEST_F(Listing, RouterWithAnEmptyBusStillSwitchesRoutingOff)
{
    netlab::NetLab lab("router serial=52A0C0DE model=5 address=4 transport=tcp hb=0\n");
    ASSERT_TRUE(lab.ok()) << lab.error();
    // Without -t the router is looked for on USB first, then on TCP/IP.
    ProcessResult r = updater(lab, {"-D", "-r", "52A0C0DE"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(has(lines(r.out), "    No devices found.")) << r.out;
    EXPECT_TRUE(lab.sim().wait_event("52A0C0DE set 20 0", 1000ms));
    auto ev = lab.sim().events_of(0x52A0C0DE);
    EXPECT_TRUE(has(ev, "set 20 1"));
}

TEST_F(Listing, RouterThatIsNowhereGivesAnEmptyListQuietly)
{
    netlab::NetLab lab("module serial=40F5849A transport=tcp hb=0\n");
    ASSERT_TRUE(lab.ok()) << lab.error();
    ProcessResult r = updater(lab, {"-D", "-r", "12345678", "-t", "TCPIP"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(lines(r.out).back(), "    No devices found.");
    EXPECT_EQ(r.err, "");
}

} // namespace
