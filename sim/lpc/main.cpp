// velmarine-lpc-sim: an LPC17xx boot ROM waiting in ISP mode behind a pseudo-terminal.
//
// Prints the terminal's slave path and "ready" on standard output, then one
// "event ..." line for every notable thing the chip does. SIGUSR1 writes the flash
// to the --dump file; SIGTERM and SIGINT write it and end the program.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "sim/lpc/lpc_chip.h"

using Clock = std::chrono::steady_clock;

namespace {

// Set by signal handlers, read by both threads: lock-free atomics are safe in both places.
std::atomic<int> gStop{0};
std::atomic<int> gDump{0};

void onSignal(int sig) {
    if (sig == SIGUSR1) gDump = 1;
    else gStop = 1;
}

struct Options {
    bool pace = false;
    bool rateCheck = true;
    unsigned defaultRate = 115200;
    std::string dumpPath;
    lpcsim::ChipConfig chip;
};

void usage() {
    std::fprintf(stderr,
                 "usage: velmarine-lpc-sim [--pace] [--no-rate-check] [--rate BAUD] [--dump FILE]\n"
                 "       [--serial W0,W1,W2,W3] [--part-id N] [--boot-version MAJOR.MINOR]\n"
                 "       [--resend N] [--bad-read-sums N] [--fault-command NAME]\n"
                 "       [--drop-reply N] [--corrupt-reply N] [--vanish N[:MS]]\n");
}

unsigned speedToRate(speed_t s) {
    switch (s) {
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    default: return 0;
    }
}

// Ten bit times per character: start bit, eight data bits, stop bit.
Clock::duration charTime(unsigned rate) {
    if (rate == 0) return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(10'000'000'000ull / rate));
}

void emit(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void dumpFlash(const std::string& path, const std::vector<uint8_t>& flash) {
    if (path.empty()) return;
    std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) return;
    bool ok = std::fwrite(flash.data(), 1, flash.size(), f) == flash.size();
    ok = std::fclose(f) == 0 && ok;
    if (ok) std::rename(tmp.c_str(), path.c_str());
}

// Sends what the chip says, one character time apart when pacing.
class Transmitter {
public:
    explicit Transmitter(int fd) : fd_(fd), thread_([this] { run(); }) {}
    ~Transmitter() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

    void send(const std::string& bytes, Clock::duration perChar) {
        if (bytes.empty()) return;
        std::lock_guard<std::mutex> lock(mutex_);
        Clock::time_point t = std::max(Clock::now(), clock_);
        for (char c : bytes) {
            t += perChar;
            queue_.push_back({t, c});
        }
        clock_ = t;
        cv_.notify_all();
    }

    // True once every queued byte has been handed to the terminal.
    bool idle() {
        std::lock_guard<std::mutex> lock(mutex_);
        return queue_.empty() && !writing_;
    }

private:
    struct Item {
        Clock::time_point due;
        char byte;
    };

    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stop_) {
            if (queue_.empty()) {
                cv_.wait(lock);
                continue;
            }
            Clock::time_point now = Clock::now();
            if (queue_.front().due > now) {
                cv_.wait_until(lock, queue_.front().due);
                continue;
            }
            std::string burst;
            while (!queue_.empty() && queue_.front().due <= now) {
                burst += queue_.front().byte;
                queue_.pop_front();
            }
            writing_ = true;
            lock.unlock();
            writeAll(burst);
            lock.lock();
            writing_ = false;
        }
    }

    void writeAll(const std::string& data) {
        size_t done = 0;
        while (done < data.size() && !gStop) {
            ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
            if (n > 0) {
                done += size_t(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, 20);
            } else {
                return;
            }
        }
    }

    int fd_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Item> queue_;
    Clock::time_point clock_{};
    bool stop_ = false;
    bool writing_ = false;
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--pace") opt.pace = true;
        else if (a == "--no-rate-check") opt.rateCheck = false;
        else if (a == "--rate") opt.defaultRate = unsigned(std::strtoul(value(), nullptr, 10));
        else if (a == "--dump") opt.dumpPath = value();
        else if (a == "--part-id") opt.chip.partId = uint32_t(std::strtoul(value(), nullptr, 0));
        else if (a == "--resend") opt.chip.writeResends = unsigned(std::strtoul(value(), nullptr, 10));
        else if (a == "--bad-read-sums") opt.chip.readBadSums = unsigned(std::strtoul(value(), nullptr, 10));
        else if (a == "--fault-command") opt.chip.faultCommand = value();
        else if (a == "--drop-reply") opt.chip.dropReplyAt = unsigned(std::strtoul(value(), nullptr, 10));
        else if (a == "--corrupt-reply") opt.chip.corruptReplyAt = unsigned(std::strtoul(value(), nullptr, 10));
        else if (a == "--vanish") {
            unsigned at = 0;
            int ms = -1;
            if (std::sscanf(value(), "%u:%d", &at, &ms) < 1) return usage(), 2;
            opt.chip.vanishAt = at;
            opt.chip.vanishMs = ms;
        }
        else if (a == "--boot-version") {
            unsigned major = 0, minor = 0;
            if (std::sscanf(value(), "%u.%u", &major, &minor) != 2) return usage(), 2;
            opt.chip.bootMajor = major;
            opt.chip.bootMinor = minor;
        } else if (a == "--serial") {
            unsigned long w[4];
            if (std::sscanf(value(), "%li,%li,%li,%li", (long*)&w[0], (long*)&w[1], (long*)&w[2], (long*)&w[3]) != 4)
                return usage(), 2;
            for (int k = 0; k < 4; ++k) opt.chip.serial[k] = uint32_t(w[k]);
        } else {
            usage();
            return 2;
        }
    }

    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::perror("velmarine-lpc-sim: pseudo-terminal");
        return 1;
    }
    std::string slavePath = ::ptsname(master);
    // Holding the slave open keeps the master readable while the host closes and
    // reopens the port; raw mode keeps the line discipline from answering for the chip.
    int slave = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY);
    if (slave < 0) {
        std::perror("velmarine-lpc-sim: slave");
        return 1;
    }
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B115200);
    ::tcsetattr(slave, TCSANOW, &tio);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);

    struct sigaction sa{};
    sa.sa_handler = onSignal;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGUSR1, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    lpcsim::LpcChip chip(opt.chip);
    chip.onEvent = [](const std::string& text) { emit("event " + text); };
    unsigned chipRate = opt.defaultRate;
    auto hostRate = [&]() {
        termios t{};
        if (::tcgetattr(slave, &t) != 0) return 0u;
        return speedToRate(::cfgetospeed(&t));
    };

    emit(slavePath);
    emit("ready");

    struct Rx {
        Clock::time_point due;
        uint8_t byte;
    };
    std::deque<Rx> pending;
    Clock::time_point rxClock{};
    Clock::time_point powerBack{};  // when a vanished chip is back in its boot ROM
    bool powerPending = false;
    bool garbling = false;
    unsigned pendingBaud = 0;
    {
        Transmitter tx(master);
        while (!gStop) {
            if (gDump) {
                gDump = 0;
                dumpFlash(opt.dumpPath, chip.flash());
            }
            // A new rate takes effect once the reply to "B" has left the chip.
            if (pendingBaud && tx.idle()) {
                chipRate = pendingBaud;
                pendingBaud = 0;
            }
            // Sleep exactly until the next paced byte is due: a millisecond timer would
            // either spin or oversleep by most of a character time at 115200 baud.
            auto wait = std::chrono::nanoseconds(std::chrono::milliseconds(20));
            if (!pending.empty())
                wait = std::clamp<std::chrono::nanoseconds>(pending.front().due - Clock::now(),
                                                            std::chrono::nanoseconds(0), wait);
            timespec timeout{time_t(wait.count() / 1'000'000'000), long(wait.count() % 1'000'000'000)};
            pollfd p{master, POLLIN, 0};
            int ready = ::ppoll(&p, 1, &timeout, nullptr);
            if (ready > 0 && (p.revents & POLLIN)) {
                uint8_t buf[4096];
                ssize_t n = ::read(master, buf, sizeof buf);
                Clock::duration ct = opt.pace ? charTime(chipRate) : Clock::duration::zero();
                for (ssize_t i = 0; i < n; ++i) {
                    rxClock = std::max(Clock::now(), rxClock) + ct;
                    pending.push_back({rxClock, buf[i]});
                }
            }
            Clock::time_point now = Clock::now();
            if (chip.dead() && opt.chip.vanishMs >= 0) {
                if (!powerPending) powerBack = now + std::chrono::milliseconds(opt.chip.vanishMs);
                powerPending = true;
                if (now >= powerBack) {
                    chip.powerUp();
                    powerPending = false;
                }
            }
            std::string out;
            while (!pending.empty() && pending.front().due <= now && !pendingBaud) {
                uint8_t byte = pending.front().byte;
                pending.pop_front();
                unsigned line = hostRate();
                if (!chip.synchronised() && byte == '?') {
                    if (line) chipRate = line;
                    emit("event line " + std::to_string(chipRate));
                }
                if (opt.rateCheck && chip.synchronised() && line && line != chipRate) {
                    // A UART at another rate sees framing errors, not characters.
                    if (!garbling) emit("event garbled " + std::to_string(line) + " != " + std::to_string(chipRate));
                    garbling = true;
                    continue;
                }
                garbling = false;
                bool wasRunning = chip.running();
                chip.receive(byte, out);
                if (unsigned b = chip.takePendingBaud()) pendingBaud = b;
                if (!wasRunning && chip.running()) dumpFlash(opt.dumpPath, chip.flash());
            }
            tx.send(out, opt.pace ? charTime(chipRate) : Clock::duration::zero());
        }
    }
    dumpFlash(opt.dumpPath, chip.flash());
    ::close(slave);
    ::close(master);
    return 0;
}
