#pragma once
// A simulated LPC boot ROM behind a pseudo-terminal, run on a thread of the test,
// so the host side can be driven through a real serial port while the test sees
// every byte the host sent and the chip's memory.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/lpc/lpc_chip.h"

class PtyChip {
public:
    // silent: the port exists but nothing ever answers.
    explicit PtyChip(const lpcsim::ChipConfig& config = {}, bool silent = false) : chip_(config), silent_(silent) {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        ::grantpt(master_);
        ::unlockpt(master_);
        path_ = ::ptsname(master_);
        slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY);
        termios tio{};
        ::tcgetattr(slave_, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(slave_, TCSANOW, &tio);
        chip_.onEvent = [this](const std::string& e) { events_.push_back(e); };
        thread_ = std::thread([this] { run(); });
    }

    ~PtyChip() {
        stop_ = true;
        thread_.join();
        ::close(slave_);
        ::close(master_);
    }

    const std::string& path() const { return path_; }

    // Everything the host wrote since the last call.
    std::string takeReceived() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string out;
        out.swap(received_);
        return out;
    }

    std::vector<uint8_t> flash() {
        std::lock_guard<std::mutex> lock(mutex_);
        return chip_.flash();
    }

    std::vector<std::string> events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

    // Runs f on the chip while the line is quiet (to preload flash, for example).
    template <typename F>
    void withChip(F f) {
        std::lock_guard<std::mutex> lock(mutex_);
        f(chip_);
    }

private:
    void run() {
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 5) <= 0) continue;
            char buf[4096];
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) continue;
            std::string out;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                received_.append(buf, size_t(n));
                if (!silent_)
                    for (ssize_t i = 0; i < n; ++i) chip_.receive(uint8_t(buf[i]), out);
            }
            for (size_t done = 0; done < out.size();) {
                ssize_t w = ::write(master_, out.data() + done, out.size() - done);
                if (w <= 0) break;
                done += size_t(w);
            }
        }
    }

    lpcsim::LpcChip chip_;
    bool silent_;
    int master_ = -1, slave_ = -1;
    std::string path_;
    std::mutex mutex_;
    std::string received_;
    std::vector<std::string> events_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
