// A module of the virtual lab shared through the network server: the Link
// that starts the server reaches the module through it, a second process
// finds the server by the local multicast search and uses the same module at
// the same time, route forcing from clients never reaches the module, a
// multi-packet byte-string write arrives whole and is answered once, stream
// batches reach the clients that asked for them, and releasing the first Link
// ends it all.
//
// The test process takes a network namespace of its own before anything is
// opened, so the programs it starts (the simulator, the list tool) share it
// and nothing else sees its server.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lib/common/aDefs.h"
#include "lib/common/aLink.h"
#include "lib/common/aMulticast.h"
#include "lib/common/aUEI.h"
#include "lib/object/Link.h"
#include "tests/e2e/support/netlab.h"
#include "tests/unit/common/server_test_support.h"

using namespace Corvane::Velmarine;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kSerial = 0x40F5849A;
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

std::string sharedToolPath()
{
    return std::string(TEST_BINARY_DIR) + "/tools/velmarine-shared/velmarine-shared";
}

// Runs a program and returns its exit status and standard output; -1 when it
// could not run or outlived the time-out (it is killed then).
int capture(const std::vector<std::string>& argv, std::string* out, int timeoutMs)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    std::string text;
    char buf[512];
    ssize_t n;
    const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        pollfd p{fds[0], POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        if ((n = read(fds[0], buf, sizeof buf)) <= 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > until) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

uint8_t anyPacket(const aPacket*, void*) { return 1; }

std::vector<uint8_t> next(aLinkRef link, uint32_t ms = 3000)
{
    aPacket* p = aLink_AwaitFirst(link, anyPacket, nullptr, ms);
    if (!p)
        return {};
    std::vector<uint8_t> data(p->data, p->data + p->dataSize);
    aPacket_Destroy(&p);
    return data;
}

void put(aLinkRef link, uint8_t address, std::vector<uint8_t> data)
{
    aPacket* p = aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data());
    aLink_PutPacket(link, p);
    aPacket_Destroy(&p);
}

int count(const std::vector<std::string>& events, const std::string& prefix)
{
    int n = 0;
    for (auto& e : events)
        n += e.rfind(prefix, 0) == 0;
    return n;
}

class NetServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(server_test::enterPrivateNet(), ""); }

    // A Link with the server switched on (the default) to the lab's module.
    std::unique_ptr<Link> connect(netlab::SimProcess& sim)
    {
        auto port = sim.tcp_port(kSerial);
        EXPECT_TRUE(port.has_value());
        linkSpec spec{};
        spec.type = TCPIP;
        spec.serialNumber = kSerial;
        spec.ipAddress = kLoopback;
        spec.ipPort = port.value_or(0);
        auto link = std::make_unique<Link>(spec, "shared");
        EXPECT_EQ(link->connect(), aErrNone);
        return link;
    }
};

TEST_F(NetServerTest, ModuleIsSharedWithASecondProcess)
{
    netlab::SimProcess sim("module serial=40F5849A model=19 version=2.10.4 transport=tcp", {}, {"--no-discovery"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    auto link = connect(sim);
    const aLinkRef id = link->getLinkId();
    ASSERT_NE(id, 0u);
    aEtherConfig cfg;
    ASSERT_EQ(link->getConfig(&cfg), aErrNone);
    EXPECT_NE(cfg.assignedPort, 0);
    EXPECT_EQ(cfg.networkInterface, kLoopback);
    // The module answers the Link through the server.
    uint8_t address = 0;
    ASSERT_EQ(link->getModuleAddress(&address), aErrNone);
    EXPECT_EQ(address, 2);

    // While the second process discovers the server and reads the module
    // through it, this Link keeps exchanging tagged echoes; each side must
    // see exactly its own answers.
    std::atomic<bool> done{false};
    std::atomic<int> exchanges{0}, wrong{0};
    std::thread mine([&] {
        for (uint16_t i = 0; !done || i < 20; ++i) {
            put(id, 2, {cmdDEBUG, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i), 0xA5});
            auto reply = next(id);
            if (reply != std::vector<uint8_t>{cmdDEBUG, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i), 0xA5})
                ++wrong;
            ++exchanges;
        }
    });
    std::string out;
    int status = -1;
    for (int run = 0; run < 3; ++run) {
        status = capture({sharedToolPath(), "-r", "40F5849A"}, &out, 20000);
        if (status != 0)
            break;
    }
    done = true;
    mine.join();
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("40F5849A model 19 module 2 TCPIP server 127.0.0.1:" + std::to_string(cfg.assignedPort)),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("serial 40F5849A\nmodel 19\nversion 2.10.4\n"), std::string::npos) << out;
    EXPECT_EQ(wrong, 0);
    EXPECT_GE(exchanges, 20);

    // Route forcing from a client stays with the server: the module saw only
    // the server's own link switch it on.
    aLinkRef other = aLink_CreateClient(kLoopback, cfg.assignedPort, 0);
    ASSERT_NE(other, 0u);
    ASSERT_EQ(aLink_ForceRoute(other, true), aErrNone);
    ASSERT_EQ(aLink_ForceRoute(id, true), aErrNone);
    put(other, 2, {cmdDEBUG, 1});
    EXPECT_EQ(next(other), (std::vector<uint8_t>{cmdDEBUG, 1}));
    aLink_Destroy(&other);
    EXPECT_EQ(count(sim.events_of(kSerial), "forceroute 1"), 1);

    // Releasing the Link stops the server and closes the direct link.
    link.reset();
    EXPECT_TRUE(sim.wait_event("disconnect tcp", std::chrono::milliseconds(5000)));
    aMulticast* probe = aMulticast_Create(0, aMULTICAST_GROUP, aMULTICAST_REQUEST_PORT_BASE, false);
    EXPECT_NE(probe, nullptr) << "the server still holds its discovery port";
    aMulticast_Destroy(&probe);
    EXPECT_EQ(capture({sharedToolPath()}, &out, 20000), 1) << out;
}

TEST_F(NetServerTest, ByteStringWriteArrivesWholeAndIsAnsweredOnce)
{
    netlab::SimProcess sim("module serial=40F5849A transport=tcp", {}, {"--no-discovery"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    auto link = connect(sim);
    ASSERT_NE(link->getLinkId(), 0u);

    // 100 bytes: four full chunks and a last one of four bytes.
    std::vector<uint8_t> value(100);
    for (size_t i = 0; i < value.size(); ++i)
        value[i] = static_cast<uint8_t>(i * 7);
    uei v{};
    v.module = 2;
    v.command = 3;
    v.option = 31 | ueiOPTION_SET;
    v.specifier = 0;
    v.type = ueiTypeBytes;
    v.value.bytes.data = value.data();
    v.value.bytes.count = static_cast<uint32_t>(value.size());
    ASSERT_EQ(link->sendUEI(v), aErrNone);
    EXPECT_EQ(next(link->getLinkId()), (std::vector<uint8_t>{3, 31 | 0xC0, 0}));
    EXPECT_EQ(next(link->getLinkId(), 500), std::vector<uint8_t>{});

    std::ostringstream hex;
    for (uint8_t b : value) {
        char h[3];
        snprintf(h, sizeof h, "%02X", b);
        hex << h;
    }
    auto events = sim.events_of(kSerial);
    EXPECT_EQ(count(events, "set 31 bytes="), 1);
    EXPECT_EQ(count(events, "set 31 bytes=" + hex.str()), 1) << "the value arrived damaged";
    EXPECT_EQ(count(events, "error"), 0);
}

TEST_F(NetServerTest, StreamBatchesReachTheClientsThatEnabledStreams)
{
    netlab::SimProcess sim("module serial=40F5849A transport=tcp hb=500 stream=3:22:0:3:10", {}, {"--no-discovery"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    auto link = connect(sim);
    aEtherConfig cfg;
    link->getConfig(&cfg);
    aLinkRef listener = aLink_CreateClient(kLoopback, cfg.assignedPort, 0);
    ASSERT_NE(listener, 0u);
    put(listener, 2, {0x5D, 0x81, 0x00, 2, 3, 22, 0});
    EXPECT_EQ(next(listener), (std::vector<uint8_t>{0x5D, 0x81 | 0x40, 0}));

    // Samples come every 10 ms, but reach the client in batches at the
    // module's heartbeats (every 500 ms).
    std::vector<Clock::time_point> arrivals;
    const auto until = Clock::now() + std::chrono::milliseconds(1800);
    while (Clock::now() < until) {
        auto sample = next(listener, 100);
        if (!sample.empty()) {
            EXPECT_EQ(sample[0], 3);
            EXPECT_EQ(sample[2], 0x40);
            arrivals.push_back(Clock::now());
        }
    }
    ASSERT_GE(arrivals.size(), 50u);
    int bursts = 1;
    for (size_t i = 1; i < arrivals.size(); ++i)
        bursts += arrivals[i] - arrivals[i - 1] > std::chrono::milliseconds(200);
    EXPECT_GE(bursts, 2);
    EXPECT_LE(bursts, 5);
    // The Link that started the server did not ask for streams.
    EXPECT_EQ(next(link->getLinkId(), 100), std::vector<uint8_t>{});
    aLink_Destroy(&listener);
}

} // namespace
