// Beacon search in process: inside a namespace of its own with one veth
// interface, a stand-in server hears the searcher's discovery beacon and
// answers with plain UDP broadcasts on port 8585, as a network server's beacon
// actor does. Broadcasts loop back to the sending host, so the searcher hears it.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "lib/common/discover.h"
#include "lib/common/zBeaconInterface.h"
#include "tests/unit/common/multicast_private_net.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char kHost[] = "10.77.0.1";
constexpr char kBroadcast[] = "10.77.0.255";

linkSpec serverSpec(uint32_t serial, uint16_t port)
{
    linkSpec spec{};
    spec.type = AETHER_TCPIP;
    spec.serialNumber = serial;
    spec.module = 4;
    spec.model = 19;
    inet_pton(AF_INET, kHost, &spec.ipAddress);
    spec.ipPort = port;
    return spec;
}

// On hearing the discovery text, broadcasts a 20-byte text that is not a
// specifier, a 127-byte fragment, and then its specifiers in turn every 50 ms
// for two seconds.
class StandIn {
public:
    explicit StandIn(std::vector<linkSpec> specs) : specs_(std::move(specs))
    {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int on = 1;
        timeval timeout{0, 50000};
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(aDISCOVERY_BEACON_PORT);
        ok_ = fd_ >= 0 && setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
              setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0 &&
              setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0 &&
              bind(fd_, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0;
        if (ok_) worker_ = std::thread([this] { serve(); });
    }
    ~StandIn()
    {
        stop_ = true;
        if (worker_.joinable()) worker_.join();
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return ok_; }
    int heard() const { return heard_; }

private:
    void send(const void* data, size_t size)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(aDISCOVERY_BEACON_PORT);
        inet_pton(AF_INET, kBroadcast, &to.sin_addr);
        sendto(fd_, data, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    void serve()
    {
        Clock::time_point began{}, last{};
        bool publishing = false;
        size_t next = 0;
        while (!stop_) {
            char buffer[256];
            ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n == aDISCOVERY_BEACON_FILTER_LENGTH && memcmp(buffer, DISCOVERY_BEACON_FILTER, n) == 0) {
                ++heard_;
                if (!publishing) {
                    publishing = true;
                    began = Clock::now();
                    send("not-a-specifier-text", 20);
                    send(&specs_[0], sizeof(linkSpec) - 1);
                }
            }
            // Paced by the clock: the stand-in hears its own broadcasts too.
            if (publishing && Clock::now() - last >= 50ms) {
                send(&specs_[next++ % specs_.size()], sizeof(linkSpec));
                last = Clock::now();
            }
            if (publishing && Clock::now() - began > 2s) publishing = false;
        }
    }

    std::vector<linkSpec> specs_;
    int fd_ = -1;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> heard_{0};
    std::thread worker_;
};

struct Found {
    std::vector<linkSpec> specs;
    size_t stopAfter = 0;
};

bool collect(const linkSpec* spec, bool* success, void* ref)
{
    auto* found = static_cast<Found*>(ref);
    found->specs.push_back(*spec);
    *success = true;
    return found->stopAfter == 0 || found->specs.size() < found->stopAfter;
}

TEST(BeaconSearch, ReportsEachAnsweringServerOnceAndRestoresTheInterfaceSetting)
{
    private_net::Namespace net;
    ASSERT_TRUE(net.ok()) << net.error();
    ASSERT_TRUE(net.command({"ip", "link", "add", "vlA", "type", "veth", "peer", "name", "vlB"}));
    ASSERT_TRUE(net.command({"ip", "addr", "add", std::string(kHost) + "/24", "dev", "vlA"}));
    ASSERT_TRUE(net.command({"ip", "link", "set", "vlA", "up"}));
    ASSERT_TRUE(net.command({"ip", "link", "set", "vlB", "up"}));

    ASSERT_TRUE(net.run([] {
        const linkSpec first = serverSpec(0x0BEAC001, 40001);
        const linkSpec second = serverSpec(0x0BEAC002, 40002);
        StandIn server({first, second});
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(zBeaconInterface_setAndLock("*"));
        zBeaconInterface_unlock();

        in_addr iface{};
        inet_pton(AF_INET, kHost, &iface);
        Found found;
        EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, collect, &found, iface.s_addr), 2);
        ASSERT_EQ(found.specs.size(), 2u);
        for (const linkSpec& s : found.specs) {
            const linkSpec& expected = s.serialNumber == first.serialNumber ? first : second;
            EXPECT_EQ(0, memcmp(&s, &expected, sizeof s));
        }
        EXPECT_NE(found.specs[0].serialNumber, found.specs[1].serialNumber);
        EXPECT_GE(server.heard(), 1);
        // The search set the interface only for its own run.
        EXPECT_STREQ(zBeaconInterface_get(), "*");

        // The callback ends the search at the first server.
        Found first_only;
        first_only.stopAfter = 1;
        EXPECT_EQ(aDiscovery_EnumerateModules(AETHER_TCPIP, collect, &first_only, iface.s_addr), 1);
        EXPECT_EQ(first_only.specs.size(), 1u);

        ASSERT_TRUE(zBeaconInterface_setAndLock(""));
        zBeaconInterface_unlock();
    }));
}

} // namespace
