// Runs test code inside a network namespace of its own, with only loopback up.
//
// Tests of this folder run in parallel in one namespace, and discovery ports
// are fixed (9850-9999, 8585): a server another test starts would be found by
// these searches and a port these tests hold would be taken from it. A
// namespace per test keeps both apart. The namespace is made on a short-lived
// thread (unshare affects only the calling thread) and entered by the thread
// that runs the body; threads the body starts inherit it.
#pragma once

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace private_net {

class Namespace {
public:
    Namespace()
    {
        std::thread maker([this] {
            if (unshare(CLONE_NEWNET) != 0) {
                error_ = std::string("unshare: ") + strerror(errno);
                return;
            }
            fd_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
            if (fd_ < 0) {
                error_ = std::string("namespace handle: ") + strerror(errno);
                return;
            }
            int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            ifreq req{};
            strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
            if (s < 0 || ioctl(s, SIOCGIFFLAGS, &req) != 0 ||
                (req.ifr_flags |= IFF_UP, ioctl(s, SIOCSIFFLAGS, &req) != 0))
                error_ = std::string("loopback up: ") + strerror(errno);
            if (s >= 0) close(s);
        });
        maker.join();
    }
    ~Namespace()
    {
        if (fd_ >= 0) close(fd_);
    }
    Namespace(const Namespace&) = delete;
    Namespace& operator=(const Namespace&) = delete;

    bool ok() const { return fd_ >= 0 && error_.empty(); }
    const std::string& error() const { return error_; }

    // Runs fn on a thread inside the namespace and waits for it. False when the
    // namespace could not be entered (fn is not run then).
    bool run(const std::function<void()>& fn) const
    {
        bool entered = false;
        std::thread worker([&] {
            if (!ok() || setns(fd_, CLONE_NEWNET) != 0) return;
            entered = true;
            fn();
        });
        worker.join();
        return entered;
    }

private:
    int fd_ = -1;
    std::string error_;
};

} // namespace private_net
