#pragma once
// Runs the simulated LPC boot ROM (velmarine-lpc-sim) for a test: starts it, learns
// its pseudo-terminal, collects its event lines and reads its flash dump.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class LpcSimProcess {
public:
    static std::string binary() { return std::string(TEST_BINARY_DIR) + "/sim/lpc/velmarine-lpc-sim"; }

    // Starts the simulator; `dump` is where its flash lands. False when it did not come up in 10 s.
    bool start(const std::string& dump, std::vector<std::string> args = {}) {
        dump_ = dump;
        args.insert(args.begin(), {binary(), "--dump", dump});
        int out[2];
        if (::pipe(out) != 0) return false;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        fd_ = out[0];
        std::string first, second;
        if (!readLine(first, 10000) || !readLine(second, 10000) || second != "ready") return false;
        path_ = first;
        reader_ = std::thread([this] {
            std::string line;
            while (readLine(line, -1)) {
                std::lock_guard<std::mutex> lock(mutex_);
                events_.push_back(line);
            }
        });
        return true;
    }

    ~LpcSimProcess() { stop(); }

    // Ends the simulator (which writes its flash dump) and waits at most 10 s for it.
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            for (int i = 0; i < 1000 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) ::usleep(10000);
            if (::waitpid(pid_, &status, WNOHANG) == 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
            }
            pid_ = -1;
        }
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    const std::string& path() const { return path_; }

    // Event lines without their "event " prefix.
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> out;
        for (auto& e : events_)
            if (e.rfind("event ", 0) == 0) out.push_back(e.substr(6));
        return out;
    }

    bool hasEvent(const std::string& e) {
        auto all = events();
        return std::find(all.begin(), all.end(), e) != all.end();
    }

    // The flash as dumped at the last "go" or at stop().
    std::vector<uint8_t> flash() const {
        std::ifstream in(dump_, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }

private:
    bool readLine(std::string& line, int timeoutMs) {
        line.clear();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            int wait = -1;
            if (timeoutMs >= 0) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0) return false;
                wait = int(left.count());
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, wait) <= 0) continue;
            char c;
            if (::read(fd_, &c, 1) != 1) return false;
            if (c == '\n') return true;
            line += c;
        }
    }

    pid_t pid_ = -1;
    int fd_ = -1;
    std::string path_, dump_;
    std::thread reader_;
    std::mutex mutex_;
    std::vector<std::string> events_;
};
