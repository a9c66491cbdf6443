#pragma once
// Runs the simulated i.MX boot ROM (velmarine-imx-sim) for a test: starts it, learns
// its pseudo-terminal and collects its event lines.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ImxSimProcess {
public:
    static std::string binary() { return std::string(TEST_BINARY_DIR) + "/sim/imx/velmarine-imx-sim"; }

    // False when the simulator did not come up within 10 s.
    bool start(std::vector<std::string> args = {}) {
        args.insert(args.begin(), binary());
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
        std::string second;
        if (!readLine(path_, 10000) || !readLine(second, 10000) || second != "ready") return false;
        reader_ = std::thread([this] {
            std::string line;
            while (readLine(line, -1)) {
                std::lock_guard<std::mutex> lock(mutex_);
                events_.push_back(line);
            }
        });
        return true;
    }

    ~ImxSimProcess() { stop(); }

    // Ends the simulator, waiting at most 10 s before killing it.
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 1000 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) ::usleep(10000);
        if (::waitpid(pid_, &status, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        if (reader_.joinable()) reader_.join();
        ::close(fd_);
    }

    const std::string& path() const { return path_; }

    // The "event ..." lines, without their first word.
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> out;
        for (const auto& e : events_)
            if (e.rfind("event ", 0) == 0) out.push_back(e.substr(6));
        return out;
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
            line.push_back(c);
        }
    }

    pid_t pid_ = -1;
    int fd_ = -1;
    std::string path_;
    std::thread reader_;
    std::mutex mutex_;
    std::vector<std::string> events_;
};
