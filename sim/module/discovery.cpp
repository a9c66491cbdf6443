#include "sim/module/discovery.h"
#include "sim/module/faults.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vmsim {

namespace {
constexpr const char* kGroup = "232.2.2.2";
}

std::vector<uint8_t> discovery_reply(const SimModule& m, uint16_t port)
{
    std::vector<uint8_t> r(16, 0);
    r[0] = 0x01;
    r[1] = m.address();
    r[2] = static_cast<uint8_t>(port);
    r[3] = static_cast<uint8_t>(port >> 8);
    for (int i = 0; i < 4; ++i)
        r[4 + i] = static_cast<uint8_t>(m.serial() >> (8 * i));
    r[12] = m.config().model;
    return r;
}

DiscoveryResponder::DiscoveryResponder(uint16_t port, std::vector<DiscoveryEntry> entries, EventLog& log)
    : port_(port), entries_(std::move(entries)), log_(log)
{
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        error_ = std::string("socket: ") + std::strerror(errno);
        return;
    }
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        error_ = "discovery port " + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd_);
        fd_ = -1;
        return;
    }
    // Join the group on every IPv4 interface this namespace has.
    int joined = 0;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) == 0) {
        for (ifaddrs* i = list; i; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
                continue;
            ip_mreq mr{};
            ::inet_pton(AF_INET, kGroup, &mr.imr_multiaddr);
            mr.imr_interface = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr;
            if (::setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mr, sizeof mr) == 0)
                ++joined;
        }
        ::freeifaddrs(list);
    }
    if (!joined) {
        error_ = "could not join the discovery group on any interface";
        ::close(fd_);
        fd_ = -1;
    }
}

DiscoveryResponder::~DiscoveryResponder()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void DiscoveryResponder::on_ready(short, Clock::time_point now)
{
    uint8_t buf[64];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 1 || buf[0] != 0x01)
        return;
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    // Replies go to the requester's listening port, one above the request port.
    from.sin_port = htons(static_cast<uint16_t>(port_ + 1));
    for (auto& e : entries_) {
        if (faults::away(*e.module, now))
            continue;
        log_.log(e.module->serial(), "discovery-request %s", text);
        auto r = discovery_reply(*e.module, e.port);
        ::sendto(fd_, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
    }
}

} // namespace vmsim
