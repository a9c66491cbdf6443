// UDP multicast sockets for local server discovery.

#include "lib/common/aMulticast.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint16_t kMulticastCheck = 0xA11C;

} // namespace

struct aMulticast {
    uint16_t check;
    bool sender;
    int fd;
    sockaddr_in group;      // group address with the port
    sockaddr_in bindTo;     // receiver: wildcard with the port; sender: interface, port 0
    sockaddr_in interface;  // interface, port 0
};

namespace {

aMulticast* sValid(aMulticast* handle)
{
    return handle && handle->check == kMulticastCheck ? handle : nullptr;
}

// Resolves text and service into an IPv4 datagram address. Only IPv4 is
// served: another family fails here, as it would fail the group options.
bool sResolve(const char* host, const char* service, bool passive, sockaddr_in& out)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    if (passive) hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, service, &hints, &found) != 0 || !found) return false;
    bool ok = false;
    for (addrinfo* it = found; it; it = it->ai_next) {
        if (it->ai_family == AF_INET && it->ai_addrlen >= sizeof(sockaddr_in)) {
            memcpy(&out, it->ai_addr, sizeof(sockaddr_in));
            ok = true;
            break;
        }
    }
    freeaddrinfo(found);
    return ok;
}

void sRelease(aMulticast* handle)
{
    if (!handle) return;
    if (handle->fd >= 0) close(handle->fd);
    handle->check = 0;
    free(handle);
}

} // namespace

aMulticast* aMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port, bool sender)
{
    auto* handle = static_cast<aMulticast*>(calloc(1, sizeof(aMulticast)));
    if (!handle) return nullptr;
    handle->check = kMulticastCheck;
    handle->sender = sender;
    handle->fd = -1;
    if (interfaceAddress == 0) interfaceAddress = aMULTICAST_INTERFACE;

    char groupText[INET_ADDRSTRLEN] = {};
    char interfaceText[INET_ADDRSTRLEN] = {};
    char portText[8] = {};
    in_addr a{};
    a.s_addr = groupAddress;
    if (!inet_ntop(AF_INET, &a, groupText, sizeof groupText)) return sRelease(handle), nullptr;
    a.s_addr = interfaceAddress;
    if (!inet_ntop(AF_INET, &a, interfaceText, sizeof interfaceText)) return sRelease(handle), nullptr;
    snprintf(portText, sizeof portText, "%u", static_cast<unsigned>(port));

    bool resolved = sResolve(groupText, portText, false, handle->group) &&
                    (sender ? sResolve(interfaceText, "0", false, handle->bindTo)
                            : sResolve(nullptr, portText, true, handle->bindTo)) &&
                    sResolve(interfaceText, "0", false, handle->interface);
    if (!resolved) return sRelease(handle), nullptr;

    handle->fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (handle->fd < 0) return sRelease(handle), nullptr;

    // Never share a port: a second receiver must fail to bind, so that a held
    // port tells other processes that a server is there.
    int off = 0;
    if (setsockopt(handle->fd, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off) != 0)
        return sRelease(handle), nullptr;

    if (!sender &&
        bind(handle->fd, reinterpret_cast<const sockaddr*>(&handle->bindTo), sizeof handle->bindTo) != 0)
        return sRelease(handle), nullptr;

    ip_mreq membership{};
    membership.imr_multiaddr = handle->group.sin_addr;
    membership.imr_interface = handle->interface.sin_addr;
    unsigned char ttl = 1;
    unsigned char loop = 1;
    timeval timeout{};
    timeout.tv_sec = aMULTICAST_RECEIVE_TIMEOUT_MS / 1000;
    timeout.tv_usec = (aMULTICAST_RECEIVE_TIMEOUT_MS % 1000) * 1000;
    if (setsockopt(handle->fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0 ||
        setsockopt(handle->fd, IPPROTO_IP, IP_MULTICAST_IF, &handle->interface.sin_addr,
                   sizeof handle->interface.sin_addr) != 0 ||
        setsockopt(handle->fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0 ||
        setsockopt(handle->fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
        setsockopt(handle->fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0)
        return sRelease(handle), nullptr;

    return handle;
}

int aMulticast_Send(aMulticast* handle, const void* data, size_t length)
{
    if (!sValid(handle)) return aMULTICAST_NO_HANDLE;
    if (!handle->sender) return aMULTICAST_WRONG_DIRECTION;
    if (!data && length) return aMULTICAST_FAILED;
    ssize_t sent;
    do {
        sent = sendto(handle->fd, data, length, 0, reinterpret_cast<const sockaddr*>(&handle->group),
                      sizeof handle->group);
    } while (sent < 0 && errno == EINTR);
    return sent < 0 ? aMULTICAST_FAILED : static_cast<int>(sent);
}

int aMulticast_Receive(aMulticast* handle, void* buffer, size_t size)
{
    if (!sValid(handle)) return aMULTICAST_NO_HANDLE;
    if (handle->sender) return aMULTICAST_WRONG_DIRECTION;
    if (!buffer && size) return aMULTICAST_FAILED;
    // A signal must not stretch the wait: SO_RCVTIMEO bounds a single call, so
    // an interrupted call ends the receive instead of starting a new second.
    ssize_t got = recv(handle->fd, buffer, size, 0);
    return got < 0 ? aMULTICAST_FAILED : static_cast<int>(got);
}

int aMulticast_Destroy(aMulticast** handle)
{
    if (!handle || !sValid(*handle)) return aMULTICAST_NO_HANDLE;
    sRelease(*handle);
    *handle = nullptr;
    return 0;
}
