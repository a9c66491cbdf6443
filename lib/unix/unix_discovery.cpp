// TCP/IP module discovery over BSD sockets.

#include "lib/unix/unix_discovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kLoopback = 0x0100007Fu;  // 127.0.0.1, network order in memory

class Socket {
public:
    Socket() : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {}
    ~Socket()
    {
        if (fd_ >= 0) close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }
    bool ok() const { return fd_ >= 0; }

private:
    int fd_;
};

bool sReuse(int fd)
{
    int on = 1;
    return setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

// One request datagram on one interface; a fresh socket each time.
bool sSendRequest(uint32_t interfaceAddress, bool chooseInterface, uint16_t requestPort)
{
    Socket s;
    if (!s.ok() || !sReuse(s.fd())) return false;
    if (chooseInterface) {
        in_addr iface{};
        iface.s_addr = interfaceAddress;
        if (setsockopt(s.fd(), IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface) != 0) return false;
    }
    uint8_t request[aDISCOVERY_DATAGRAM_SIZE] = {0x01};
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(requestPort);
    inet_pton(AF_INET, aDISCOVERY_MULTICAST_GROUP, &group.sin_addr);
    return sendto(s.fd(), request, sizeof request, 0, reinterpret_cast<sockaddr*>(&group), sizeof group) ==
           static_cast<ssize_t>(sizeof request);
}

// Every IPv4 interface address but loopback and 0.0.0.0; false when the list
// cannot be read.
bool sInterfaceAddresses(std::vector<uint32_t>& out)
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    for (ifaddrs* it = list; it; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET) continue;
        uint32_t a = reinterpret_cast<sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr;
        if (a == kLoopback || a == 0) continue;
        out.push_back(a);
    }
    freeifaddrs(list);
    return true;
}

} // namespace

void aDiscovery_ParseTCPIPReply(const uint8_t* reply, size_t length, uint32_t senderAddress, linkSpec* candidate)
{
    uint8_t bytes[aDISCOVERY_DATAGRAM_SIZE] = {};
    bytes[12] = 0xFF;
    if (length > sizeof bytes) length = sizeof bytes;
    if (reply) memcpy(bytes, reply, length);

    memset(candidate, 0, sizeof(linkSpec));
    candidate->type = TCPIP;
    candidate->module = bytes[1];
    candidate->router = bytes[1];
    candidate->ipPort = static_cast<uint32_t>(bytes[2]) | (static_cast<uint32_t>(bytes[3]) << 8);
    candidate->serialNumber = static_cast<uint32_t>(bytes[4]) | (static_cast<uint32_t>(bytes[5]) << 8) |
                              (static_cast<uint32_t>(bytes[6]) << 16) | (static_cast<uint32_t>(bytes[7]) << 24);
    candidate->routerSerialNumber = candidate->serialNumber;
    candidate->model = bytes[12];
    candidate->ipAddress = senderAddress;
}

uint8_t aDiscovery_EnumerateTCPIPWith(aDiscoveryModuleFoundProc callback, void* ref, uint32_t networkInterface,
                                      uint16_t requestPort, uint16_t replyPort, uint32_t replyTimeoutMs)
{
    if (!callback) return 0;
    const uint32_t host = (networkInterface == kLoopback) ? 0 : networkInterface;

    Socket listener;
    if (!listener.ok() || !sReuse(listener.fd())) return 0;
    sockaddr_in bindAddr{};
    bindAddr.sin_family = AF_INET;
    bindAddr.sin_port = htons(replyPort);
    bindAddr.sin_addr.s_addr = host;
    if (bind(listener.fd(), reinterpret_cast<sockaddr*>(&bindAddr), sizeof bindAddr) != 0) return 0;
    timeval tv{};
    tv.tv_sec = replyTimeoutMs / 1000;
    tv.tv_usec = (replyTimeoutMs % 1000) * 1000;
    if (setsockopt(listener.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return 0;

    bool sent = false;
    if (host != 0) {
        sent = sSendRequest(host, true, requestPort);
    } else {
        std::vector<uint32_t> interfaces;
        if (sInterfaceAddresses(interfaces)) {
            for (uint32_t a : interfaces) sent = sSendRequest(a, true, requestPort) || sent;
        } else {
            sent = sSendRequest(0, false, requestPort);
        }
    }
    if (!sent) return 0;

    uint8_t count = 0;
    for (;;) {
        uint8_t reply[aDISCOVERY_DATAGRAM_SIZE];
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        ssize_t n = recvfrom(listener.fd(), reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0) break;  // time-out or failure ends the collection
        linkSpec candidate;
        aDiscovery_ParseTCPIPReply(reply, static_cast<size_t>(n), from.sin_addr.s_addr, &candidate);
        bool success = false;
        bool goOn = callback(&candidate, &success, ref);
        if (success) ++count;
        if (!goOn) break;
    }
    return count;
}

uint8_t aDiscovery_EnumerateTCPIP(aDiscoveryModuleFoundProc callback, void* ref, uint32_t networkInterface)
{
    return aDiscovery_EnumerateTCPIPWith(callback, ref, networkInterface, aDISCOVERY_REQUEST_PORT,
                                         aDISCOVERY_REPLY_PORT, aDISCOVERY_REPLY_TIMEOUT_MS);
}
