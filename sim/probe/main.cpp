// velmarine-probe: sends one TCP/IP discovery request (16 bytes, first byte 0x01,
// to 232.2.2.2:9888) on each non-loopback IPv4 interface, or on the one given,
// and prints every reply received on port 9889 until the time-out. A quick way
// to see that a lab is up; run it only inside a private network namespace.
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv)
{
    std::string iface;
    int timeout_ms = 2000;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--interface" && i + 1 < argc)
            iface = argv[++i];
        else if (a == "--timeout" && i + 1 < argc)
            timeout_ms = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: velmarine-probe [--interface ADDR] [--timeout MS]\n");
            return 2;
        }
    }
    const char* mark = std::getenv("VELMARINE_IN_NETNS");
    if (iface.empty() && !(mark && std::string(mark) == "1")) {
        std::fprintf(stderr, "velmarine-probe: refusing to send on every interface outside a private "
                             "network namespace (scripts/netns.sh); name one with --interface\n");
        return 2;
    }

    std::vector<in_addr> out;
    if (!iface.empty()) {
        in_addr a{};
        if (::inet_pton(AF_INET, iface.c_str(), &a) != 1) {
            std::fprintf(stderr, "velmarine-probe: not an IPv4 address: %s\n", iface.c_str());
            return 2;
        }
        out.push_back(a);
    } else {
        ifaddrs* list = nullptr;
        if (::getifaddrs(&list) == 0) {
            for (ifaddrs* i = list; i; i = i->ifa_next)
                if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET) {
                    in_addr a = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr;
                    if (a.s_addr != htonl(INADDR_LOOPBACK) && a.s_addr != 0)
                        out.push_back(a);
                }
            ::freeifaddrs(list);
        }
    }

    int l = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in la{};
    la.sin_family = AF_INET;
    la.sin_port = htons(9889);
    if (::bind(l, reinterpret_cast<sockaddr*>(&la), sizeof la) != 0) {
        std::perror("velmarine-probe: bind 9889");
        return 1;
    }
    unsigned char req[16] = {0x01};
    sockaddr_in g{};
    g.sin_family = AF_INET;
    g.sin_port = htons(9888);
    ::inet_pton(AF_INET, "232.2.2.2", &g.sin_addr);
    for (auto& a : out) {
        int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ::setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a);
        if (::sendto(s, req, sizeof req, 0, reinterpret_cast<sockaddr*>(&g), sizeof g) != sizeof req)
            std::perror("velmarine-probe: send");
        ::close(s);
    }

    int found = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{l, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        unsigned char b[64] = {};
        sockaddr_in from{};
        socklen_t fl = sizeof from;
        ssize_t n = ::recvfrom(l, b, sizeof b, 0, reinterpret_cast<sockaddr*>(&from), &fl);
        if (n < 8)
            continue;
        char ip[INET_ADDRSTRLEN];
        ::inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
        unsigned serial = b[4] | b[5] << 8 | b[6] << 16 | static_cast<unsigned>(b[7]) << 24;
        std::printf("%08X  address 0x%02X  model %3u  at %s:%u\n", serial, b[1], n > 12 ? b[12] : 0xFFu, ip,
                    static_cast<unsigned>(b[2] | b[3] << 8));
        ++found;
    }
    std::printf("%d module(s) answered\n", found);
    ::close(l);
    return 0;
}
