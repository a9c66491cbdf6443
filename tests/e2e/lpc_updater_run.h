#pragma once
// Runs the Updater binary for a test with a bounded wait and keeps what it printed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

struct UpdaterRun {
    int status = -1;  // exit status; -1 when killed after the time-out
    std::string out, err;
};

inline UpdaterRun runUpdater(std::vector<std::string> args, int timeoutMs = 60000) {
    UpdaterRun result;
    args.insert(args.begin(), UPDATER_BIN);
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) return result;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        for (int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool outOpen = true, errOpen = true, killed = false;
    while (outOpen || errOpen) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            killed = true;
            break;
        }
        pollfd p[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
        if (::poll(p, 2, int(left.count())) <= 0) continue;
        char buf[4096];
        for (int i = 0; i < 2; ++i) {
            if (!(p[i].revents & (POLLIN | POLLHUP))) continue;
            ssize_t n = ::read(p[i].fd, buf, sizeof buf);
            if (n > 0) (i == 0 ? result.out : result.err).append(buf, size_t(n));
            else (i == 0 ? outOpen : errOpen) = false;
        }
    }
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = !killed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}
