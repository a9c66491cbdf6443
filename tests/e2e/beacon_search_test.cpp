// Beacon search end to end: velmarine-shared on the host side of a lab looks
// for shared modules on its veth interface. On the lab side a stand-in server
// speaks the beacon protocol on the wire (plain UDP broadcasts on port 8585):
// on hearing the discovery text it publishes a 128-byte specifier every 100 ms
// for two seconds, as a network server does.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "lib/common/linkSpec.h"
#include "tests/e2e/process_runner.h"
#include "tests/e2e/support/netlab.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kListTool = std::string(TEST_BINARY_DIR) + "/tools/velmarine-shared/velmarine-shared";
constexpr char kDiscoveryText[] = "Velmarine2-Discovery";

class StandInServer {
public:
    StandInServer(const std::string& lab_namespace, const std::string& broadcast, const linkSpec& spec)
        : spec_(spec)
    {
        worker_ = std::thread([this, lab_namespace, broadcast] { serve(lab_namespace, broadcast); });
        auto end = Clock::now() + 5s;
        while (!listening_ && !failed_ && Clock::now() < end)
            std::this_thread::sleep_for(10ms);
    }
    ~StandInServer()
    {
        stop_ = true;
        worker_.join();  // bounded by the 100 ms receive time-out
    }
    bool listening() const { return listening_; }
    int discoveriesHeard() const { return heard_; }
    int beaconsSent() const { return sent_; }

private:
    void serve(const std::string& lab_namespace, const std::string& broadcast)
    {
        int ns = ::open(("/run/netns/" + lab_namespace).c_str(), O_RDONLY | O_CLOEXEC);
        bool joined = ns >= 0 && ::setns(ns, CLONE_NEWNET) == 0;
        if (ns >= 0) ::close(ns);
        int fd = joined ? ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1;
        int on = 1;
        timeval timeout{0, 100000};
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(8585);
        sockaddr_in to = any;
        inet_pton(AF_INET, broadcast.c_str(), &to.sin_addr);
        if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
            ::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
            failed_ = true;
            if (fd >= 0) ::close(fd);
            return;
        }
        listening_ = true;
        Clock::time_point began{}, last{};
        bool publishing = false;
        while (!stop_) {
            char buffer[256];
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n >= 20 && memcmp(buffer, kDiscoveryText, 20) == 0) {
                ++heard_;
                if (!publishing) {
                    publishing = true;
                    began = Clock::now();
                    last = {};
                }
            }
            if (publishing && Clock::now() - last >= 100ms) {
                if (::sendto(fd, &spec_, sizeof spec_, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
                    static_cast<ssize_t>(sizeof spec_))
                    ++sent_;
                last = Clock::now();
            }
            if (publishing && Clock::now() - began > 2000ms) publishing = false;
        }
        ::close(fd);
    }

    linkSpec spec_;
    std::thread worker_;
    std::atomic<bool> stop_{false}, listening_{false}, failed_{false};
    std::atomic<int> heard_{0}, sent_{0};
};

std::string broadcastOf(const std::string& address)
{
    return address.substr(0, address.rfind('.')) + ".255";
}

ProcessResult listOnHostSide(const netlab::NetLab& lab)
{
    auto argv = lab.host_prefix();
    argv.insert(argv.end(), {kListTool, "--interface", lab.host_address()});
    ProcessOptions options;
    options.timeout = 20s;
    return run_process(argv, options);
}

TEST(BeaconSearch, FindsAServerOnTheVethInterfaceOncePerSearch)
{
    netlab::NetLab lab("# no modules: the stand-in server answers");
    ASSERT_TRUE(lab.ok()) << lab.error();

    linkSpec spec{};
    spec.type = AETHER_TCPIP;
    spec.serialNumber = 0x0BEAC0DE;
    spec.module = 2;
    spec.model = 19;
    inet_pton(AF_INET, lab.lab_address().c_str(), &spec.ipAddress);
    spec.ipPort = 45678;
    StandInServer server(lab.lab_namespace(), broadcastOf(lab.lab_address()), spec);
    ASSERT_TRUE(server.listening());

    const std::string row = "0BEAC0DE model 19 module 2 TCPIP server " + lab.lab_address() + ":45678\n";
    for (int search = 0; search < 2; ++search) {
        SCOPED_TRACE(search);
        ProcessResult r = listOnHostSide(lab);
        ASSERT_TRUE(r.started);
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        // The server published many times during the search: one row.
        EXPECT_EQ(r.out, row + "1 shared module found\n");
    }
    EXPECT_GE(server.discoveriesHeard(), 2);
    EXPECT_GE(server.beaconsSent(), 2);
}

TEST(BeaconSearch, WithNothingAnsweringLastsItsTwentyTwoRounds)
{
    netlab::NetLab lab("# nobody here");
    ASSERT_TRUE(lab.ok()) << lab.error();
    auto start = Clock::now();
    ProcessResult r = listOnHostSide(lab);
    auto took = Clock::now() - start;
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "0 shared modules found\n");
    // 22 rounds of 100 ms; a loose upper bound for a busy machine.
    EXPECT_GE(took, 2100ms);
    EXPECT_LT(took, 8s);
}

} // namespace
