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
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

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

    // Runs a program (such as "ip link add ...") inside the namespace: it is
    // started from a thread that has entered it. True when it exits with 0
    // within ten seconds; it is killed after that.
    bool command(const std::vector<std::string>& argv) const
    {
        bool done = false;
        run([&] {
            std::vector<char*> args;
            for (const auto& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            pid_t pid = 0;
            if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return;
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            int status = 0;
            while (waitpid(pid, &status, WNOHANG) == 0) {
                if (std::chrono::steady_clock::now() > end) {
                    kill(pid, SIGKILL);
                    waitpid(pid, &status, 0);
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            done = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        });
        return done;
    }

private:
    int fd_ = -1;
    std::string error_;
};

} // namespace private_net
