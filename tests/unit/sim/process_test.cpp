// The velmarine-sim program seen from outside: its TCP byte stream, its framed
// serial line and its discovery replies, against the literal layouts. Runs inside
// the private network namespace of the test run.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "tests/e2e/support/netlab.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// Reads until n bytes arrived, the peer closed, or the time-out passed.
Bytes read_n(int fd, std::size_t n, std::chrono::milliseconds timeout = 2000ms)
{
    Bytes out;
    auto end = std::chrono::steady_clock::now() + timeout;
    while (out.size() < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        uint8_t buf[256];
        ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0)
            break;
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

int connect_local(uint16_t port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

void send_all(int fd, const Bytes& b) { ASSERT_EQ(::write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size())); }

TEST(SimProgram, TcpLinkSpeaksPlainWirePackets)
{
    netlab::SimProcess sim("module serial=40F5849A address=6 transport=tcp hb=0\n"
                           "module serial=00000002 transport=tcp busy\n"
                           "module serial=00000003 transport=tcp hb=0 drop_after=2\n",
                           {}, {"--no-discovery"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    ASSERT_TRUE(sim.tcp_port(0x40F5849A));

    int fd = connect_local(*sim.tcp_port(0x40F5849A));
    ASSERT_GE(fd, 0);
    send_all(fd, {0xAF, 0x01, 0x01, 0xAD, 0x00});
    EXPECT_EQ(read_n(fd, 2), (Bytes{0x06, 0x00}));
    send_all(fd, {0x06, 0x03, 0x03, 0x49, 0x20});
    EXPECT_EQ(read_n(fd, 9), (Bytes{0x06, 0x07, 0x03, 0x09, 0x00, 0x40, 0xF5, 0x84, 0x9A}));
    send_all(fd, {0x06, 0x04, 0x03, 0x94, 0x20, 0x01});
    EXPECT_EQ(read_n(fd, 6), (Bytes{0x06, 0x04, 0x03, 0xD4, 0x00, 0x01}));
    ::close(fd);
    EXPECT_TRUE(sim.wait_event("40F5849A disconnect tcp", 2000ms));
    auto ev = sim.events_of(0x40F5849A);
    EXPECT_EQ(ev.at(0), "connect tcp");
    EXPECT_EQ(ev.at(1), "forceroute 1");
    EXPECT_EQ(ev.at(2), "set 20 1");

    EXPECT_EQ(connect_local(*sim.tcp_port(2)), -1);
    EXPECT_EQ(errno, ECONNREFUSED) << "a busy module refuses the connection";

    int d = connect_local(*sim.tcp_port(3));
    ASSERT_GE(d, 0);
    send_all(d, {0xAD, 0x00, 0xAD, 0x00});
    EXPECT_EQ(read_n(d, 8), (Bytes{0x02, 0x00})) << "the second packet ends the link unanswered";
    ::close(d);
}

TEST(SimProgram, RebootDropsTheLinkAndLeavesTheFlashImageOnDisk)
{
    char tmpl[] = "/tmp/vmflash-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    {
        netlab::SimProcess sim("module serial=0000F1A5 address=2 transport=tcp hb=0 in_loader", {},
                               {"--no-discovery", "--flash-dir", dir});
        ASSERT_TRUE(sim.ready()) << sim.error();
        int fd = connect_local(*sim.tcp_port(0xF1A5));
        ASSERT_GE(fd, 0);
        send_all(fd, {0x02, 0x07, 0x5F, 0x03, 0x00, 0x08, 0x00, 0x00, 0x00}); // block at 0x08000000
        EXPECT_EQ(read_n(fd, 7), (Bytes{0x02, 0x05, 0x5F, 0x07, 0x00, 0x01, 0x00}));
        send_all(fd, {0x02, 0x05, 0x5F, 0x01, 0xDE, 0xAD, 0x00});
        EXPECT_EQ(read_n(fd, 5), (Bytes{0x02, 0x03, 0x5F, 0x01, 0x03}));
        send_all(fd, {0x02, 0x04, 0x5F, 0x05, 0x00, 0x03});
        EXPECT_EQ(read_n(fd, 5), (Bytes{0x02, 0x03, 0x5F, 0x07, 0x00}));
        send_all(fd, {0x02, 0x02, 0x5F, 0x06});
        uint8_t byte;
        pollfd p{fd, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 2000), 1);
        EXPECT_EQ(::read(fd, &byte, 1), 0) << "the module closed the link as it rebooted";
        ::close(fd);
        EXPECT_TRUE(sim.wait_event("0000F1A5 upgrade-reboot", 1000ms));
    }
    std::ifstream in(dir + "/0000F1A5-08000000.bin", std::ios::binary);
    Bytes flash((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(flash, (Bytes{0xDE, 0xAD, 0x00}));
    std::filesystem::remove_all(dir);
}

TEST(SimProgram, SerialLineCarriesFramesOnAPseudoTerminal)
{
    netlab::SimProcess sim("module serial=40F5849A transport=serial hb=0", {}, {"--no-discovery"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    auto path = sim.serial_path(0x40F5849A);
    ASSERT_TRUE(path);
    int fd = ::open(path->c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << *path;
    termios t{};
    ASSERT_EQ(::tcgetattr(fd, &t), 0);
    ::cfmakeraw(&t);
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &t), 0);

    send_all(fd, {0x02, 0xAD, 0x02, 0x67, 0x00}); // [0xAD] with no data
    EXPECT_EQ(read_n(fd, 5), (Bytes{0x02, 0x02, 0x02, 0x91, 0x00}));
    send_all(fd, {0x07, 0x02, 0x03, 0x03, 0x49, 0x20, 0xE5, 0x00}); // read the serial number
    EXPECT_EQ(read_n(fd, 12), (Bytes{0x05, 0x02, 0x07, 0x03, 0x09, 0x06, 0x40, 0xF5, 0x84, 0x9A, 0x73, 0x00}));
    send_all(fd, {0x07, 0x02, 0x03, 0x03, 0x49, 0x20, 0xE6, 0x00}); // damaged CRC: no answer
    EXPECT_TRUE(read_n(fd, 1, 300ms).empty());
    EXPECT_TRUE(sim.wait_event("40F5849A bad-frame", 2000ms));
    ::close(fd);
}

struct Reply {
    Bytes bytes;
    std::string from;
};

// Sends one discovery request from the given local address and collects replies
// for up to the time-out, or until `want` replies arrived.
std::vector<Reply> discover(const std::string& local, std::size_t want, std::chrono::milliseconds timeout)
{
    std::vector<Reply> out;
    int l = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in la{};
    la.sin_family = AF_INET;
    la.sin_port = htons(9889);
    if (::bind(l, reinterpret_cast<sockaddr*>(&la), sizeof la) != 0) {
        ::close(l);
        ADD_FAILURE() << "bind 9889: " << std::strerror(errno);
        return out;
    }
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    in_addr ifa{};
    ::inet_pton(AF_INET, local.c_str(), &ifa);
    ::setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &ifa, sizeof ifa);
    sockaddr_in g{};
    g.sin_family = AF_INET;
    g.sin_port = htons(9888);
    ::inet_pton(AF_INET, "232.2.2.2", &g.sin_addr);
    Bytes req(16, 0);
    req[0] = 0x01;
    EXPECT_EQ(::sendto(s, req.data(), req.size(), 0, reinterpret_cast<sockaddr*>(&g), sizeof g), 16);
    ::close(s);

    auto end = std::chrono::steady_clock::now() + timeout;
    while (out.size() < want) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{l, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        uint8_t buf[64];
        sockaddr_in from{};
        socklen_t fl = sizeof from;
        ssize_t n = ::recvfrom(l, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
        if (n < 0)
            break;
        char text[INET_ADDRSTRLEN];
        ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        out.push_back({Bytes(buf, buf + n), text});
    }
    ::close(l);
    return out;
}

TEST(SimProgram, DiscoveryRepliesReachTheTestThroughTheVethPair)
{
    std::string lab_ns, host_ns;
    {
        netlab::NetLab lab("module serial=40F5849A model=19 address=6 transport=tcp hb=0\n"
                           "router serial=0000A0A0 model=5 address=4 transport=tcp hb=0\n"
                           "bus serial=0000B0B0 address=0x10\n"
                           "module serial=0000C0C0 transport=serial hb=0\n");
        ASSERT_TRUE(lab.ok()) << lab.error();
        lab_ns = lab.lab_namespace();
        host_ns = lab.host_namespace();
        std::vector<Reply> replies;
        ASSERT_TRUE(lab.on_host_side([&] { replies = discover(lab.host_address(), 3, 2000ms); }));
        ASSERT_EQ(replies.size(), 2u) << "one reply per TCP/IP module, none for bus or serial modules";
        std::map<uint32_t, Reply> by_serial;
        for (auto& r : replies) {
            ASSERT_EQ(r.bytes.size(), 16u);
            EXPECT_EQ(r.from, lab.lab_address());
            uint32_t serial = r.bytes[4] | r.bytes[5] << 8 | r.bytes[6] << 16 | uint32_t{r.bytes[7]} << 24;
            by_serial[serial] = r;
        }
        ASSERT_EQ(by_serial.count(0x40F5849A), 1u);
        ASSERT_EQ(by_serial.count(0x0000A0A0), 1u);
        const Bytes& m = by_serial[0x40F5849A].bytes;
        EXPECT_EQ(m[1], 6);
        EXPECT_EQ(m[2] | m[3] << 8, *lab.sim().tcp_port(0x40F5849A)) << "port least significant byte first";
        EXPECT_EQ(m[12], 19);
        const Bytes& r = by_serial[0x0000A0A0].bytes;
        EXPECT_EQ(r[1], 4);
        EXPECT_EQ(r[12], 5);
        EXPECT_TRUE(lab.sim().wait_event("40F5849A discovery-request " + lab.host_address(), 1000ms));
    }
    // Torn down: the named namespace is gone.
    EXPECT_FALSE(std::filesystem::exists("/run/netns/" + lab_ns));
    EXPECT_FALSE(std::filesystem::exists("/run/netns/" + host_ns));
}

} // namespace

namespace {

TEST(SimProgram, TwoLabsAtOnceSeeOnlyTheirOwnModules)
{
    netlab::NetLab a("module serial=0000000A transport=tcp hb=0");
    netlab::NetLab b("module serial=0000000B transport=tcp hb=0");
    ASSERT_TRUE(a.ok()) << a.error();
    ASSERT_TRUE(b.ok()) << b.error();
    std::vector<Reply> replies;
    std::vector<std::string> interfaces;
    ASSERT_TRUE(a.on_host_side([&] {
        replies = discover(a.host_address(), 2, 2000ms);
        if (struct if_nameindex* names = ::if_nameindex()) {
            for (auto* i = names; i->if_index; ++i)
                interfaces.push_back(i->if_name);
            ::if_freenameindex(names);
        }
    }));
    // A program on the host side can send discovery on this one veth and nowhere else.
    ASSERT_EQ(interfaces.size(), 2u);
    EXPECT_EQ(interfaces[0], "lo");
    EXPECT_EQ(interfaces[1].rfind("vl", 0), 0u);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].bytes.at(4), 0x0A);
    EXPECT_EQ(replies[0].from, a.lab_address());
}

TEST(SimProgram, AnEmptyLabIsANetworkWithoutModules)
{
    netlab::NetLab lab("# nothing here");
    ASSERT_TRUE(lab.ok()) << lab.error();
    std::vector<Reply> replies;
    ASSERT_TRUE(lab.on_host_side([&] { replies = discover(lab.host_address(), 1, 1000ms); }));
    EXPECT_TRUE(replies.empty());
}

} // namespace
