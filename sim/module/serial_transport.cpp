#include "sim/module/serial_transport.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace vmsim {

// Heartbeats wait for the host's first frame: nobody may be listening on the line yet.
SerialPort::SerialPort(SimModule& m, EventLog& log, Clock::time_point now)
    : m_(m), log_(log), session_(m, log, now, false)
{
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        error_ = std::string("pseudo-terminal: ") + std::strerror(errno);
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
        return;
    }
    const char* name = ::ptsname(master_);
    path_ = name ? name : "";
    termios t{};
    if (::tcgetattr(master_, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(master_, TCSANOW, &t);
    }
    slave_keep_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_keep_ >= 0 && ::tcgetattr(slave_keep_, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(slave_keep_, TCSANOW, &t);
    }
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
}

SerialPort::~SerialPort()
{
    if (master_ >= 0) {
        session_.log_summary("serial");
        ::close(master_);
    }
    if (slave_keep_ >= 0)
        ::close(slave_keep_);
}

short SerialPort::events() const { return static_cast<short>(POLLIN | (pending_.empty() ? 0 : POLLOUT)); }

void SerialPort::on_ready(short revents, Clock::time_point now)
{
    if (revents & POLLIN) {
        uint8_t buf[1024];
        ssize_t n = ::read(master_, buf, sizeof buf);
        for (ssize_t i = 0; i < n; ++i) {
            Packet p;
            auto r = dec_.feed(buf[i], &p);
            if (r == FrameDecoder::Result::Packet)
                session_.receive(p, now);
            else if (r == FrameDecoder::Result::Bad)
                log_.log(m_.serial(), "bad-frame");
        }
    }
    flush(now);
}

void SerialPort::on_time(Clock::time_point now) { flush(now); }

void SerialPort::flush(Clock::time_point now)
{
    // A dropped serial link goes quiet for good: there is no connection to close.
    for (auto& p : session_.due(now)) {
        auto f = frame_packet(p);
        pending_.insert(pending_.end(), f.begin(), f.end());
    }
    while (!pending_.empty()) {
        ssize_t n = ::write(master_, pending_.data(), pending_.size());
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                return;
            pending_.clear();
            return;
        }
        pending_.erase(pending_.begin(), pending_.begin() + n);
    }
}

} // namespace vmsim
