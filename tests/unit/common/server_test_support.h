// Support for the network server and client tests.
//
// The message sockets connect from the messaging library's own I/O threads,
// which live in the network namespace the process had when the first socket
// was made. The discovery ports of the server are fixed, so these tests take
// a namespace of their own (loopback only) for the whole process, entered on
// the main thread before the first socket: parallel test processes then never
// see each other's servers.
#pragma once

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include <czmq.h>

namespace server_test {

// Empty on success, else what went wrong. Idempotent.
inline const std::string& enterPrivateNet()
{
    static const std::string error = [] {
        if (unshare(CLONE_NEWNET) != 0)
            return std::string("unshare: ") + strerror(errno);
        int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq req{};
        strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
        std::string e;
        if (s < 0 || ioctl(s, SIOCGIFFLAGS, &req) != 0 ||
            (req.ifr_flags |= IFF_UP, ioctl(s, SIOCSIFFLAGS, &req) != 0))
            e = std::string("loopback up: ") + strerror(errno);
        if (s >= 0)
            close(s);
        return e;
    }();
    return error;
}

inline bool waitFor(const std::function<bool()>& condition, int ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A server frontend stand-in: a ROUTER socket on an ephemeral loopback port.
class RouterPeer {
public:
    RouterPeer()
    {
        sock_ = zsock_new(ZMQ_ROUTER);
        port_ = sock_ ? zsock_bind(sock_, "tcp://127.0.0.1:*") : -1;
        if (sock_)
            zsock_set_rcvtimeo(sock_, 3000);
    }
    ~RouterPeer() { zsock_destroy(&sock_); }
    uint16_t port() const { return static_cast<uint16_t>(port_); }
    bool ok() const { return port_ > 0; }

    // The next message's [identity, payload]; false after the time-out.
    bool receive(std::string* identity, std::string* payload)
    {
        zmsg_t* msg = zmsg_recv(sock_);
        if (!msg)
            return false;
        zframe_t* id = zmsg_pop(msg);
        zframe_t* data = zmsg_pop(msg);
        const bool ok = id && data;
        if (ok) {
            identity->assign(reinterpret_cast<char*>(zframe_data(id)), zframe_size(id));
            payload->assign(reinterpret_cast<char*>(zframe_data(data)), zframe_size(data));
        }
        zframe_destroy(&id);
        zframe_destroy(&data);
        zmsg_destroy(&msg);
        return ok;
    }
    void send(const std::string& identity, const std::string& payload)
    {
        zmsg_t* msg = zmsg_new();
        zmsg_addmem(msg, identity.data(), identity.size());
        zmsg_addmem(msg, payload.data(), payload.size());
        zmsg_send(&msg, sock_);
    }

private:
    zsock_t* sock_ = nullptr;
    int port_ = -1;
};

} // namespace server_test
