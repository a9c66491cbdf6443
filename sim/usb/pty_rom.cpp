#include "sim/usb/pty_rom.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vmusbsim {

namespace {
// A pause this long ends whatever half command was on the line.
constexpr auto kQuietLine = std::chrono::milliseconds(50);
} // namespace

PtyRom::PtyRom(const imxsim::RomConfig& config, vmsim::EventLog& log) : config_(config), log_(log) { reset(); }

PtyRom::~PtyRom()
{
    if (!link_.empty())
        ::unlink(link_.c_str());
    if (keep_ >= 0)
        ::close(keep_);
    if (master_ >= 0)
        ::close(master_);
}

void PtyRom::reset()
{
    rom_ = std::make_unique<imxsim::ImxRom>(config_);
    watch_ = RomWatch{};
    running_loader_ = false;
    rom_->onEvent = [this](const std::string& e) {
        log_.log(EVENT_SERIAL, "rom %s", e.c_str());
        watch_.event(e);
    };
}

bool PtyRom::open(const std::string& link, std::string& error)
{
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        error = std::string("pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const std::string slave = ::ptsname(master_);
    // A slave side kept open spares the master a hang-up between two hosts.
    keep_ = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (keep_ < 0 || ::tcgetattr(keep_, &tio) != 0) {
        error = "cannot open " + slave;
        return false;
    }
    ::cfmakeraw(&tio);
    ::tcsetattr(keep_, TCSANOW, &tio);
    ::unlink(link.c_str());
    if (::symlink(slave.c_str(), link.c_str()) != 0) {
        error = "cannot link " + link + ": " + std::strerror(errno);
        return false;
    }
    link_ = link;
    last_byte_ = std::chrono::steady_clock::now();
    log_.log(EVENT_SERIAL, "rom-tty %s", slave.c_str());
    return true;
}

void PtyRom::pump()
{
    if (master_ < 0)
        return;
    const auto now = std::chrono::steady_clock::now();
    uint8_t buf[4096];
    ssize_t n;
    std::string out;
    bool any = false;
    while ((n = ::read(master_, buf, sizeof buf)) > 0) {
        any = true;
        if (running_loader_)
            continue;
        for (ssize_t i = 0; i < n; ++i)
            rom_->receive(buf[i], out);
    }
    if (any)
        last_byte_ = now;
    else if (now - last_byte_ > kQuietLine)
        rom_->lineIdle();
    for (std::size_t done = 0; done < out.size();) {
        ssize_t w = ::write(master_, out.data() + done, out.size() - done);
        if (w <= 0)
            break;
        done += static_cast<std::size_t>(w);
    }
}

} // namespace vmusbsim
