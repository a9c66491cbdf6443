#include "sim/usb/imx_station.h"

#include "sim/usb/lab_lock.h"
#include "sim/usb/usb_lab.h"

#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace vmusbsim {

namespace {
// How long a move waits: the answer to the jump or the reset is still on its
// way to the host, and a real chip takes a moment to come up on the bus.
constexpr auto kSettle = std::chrono::milliseconds(150);
// The system entity's reset action.
constexpr const char* kResetEvent = "call 11";
} // namespace

ImxConfig parse_imx(const std::string& line)
{
    ImxConfig c;
    std::istringstream in(line);
    std::string word;
    while (in >> word) {
        auto eq = word.find('=');
        std::string k = word.substr(0, eq), v = eq == std::string::npos ? "" : word.substr(eq + 1);
        if (k == "fingerprint") {
            unsigned long lo = 0, hi = 0;
            if (std::sscanf(v.c_str(), "%lx,%lx", &lo, &hi) != 2)
                throw std::runtime_error("fingerprint=LOW,HIGH takes two hexadecimal words");
            c.rom.fingerprintLow = static_cast<uint32_t>(lo);
            c.rom.fingerprintHigh = static_cast<uint32_t>(hi);
        } else if (k == "silent") {
            c.rom.silent = true;
        } else if (k == "answer_in_data") {
            c.rom.answerInData = true;
        } else if (k == "refuse_completion") {
            c.rom.refuseCompletion = true;
        } else if (k == "tty") {
            c.tty = v;
        } else if (k == "loader") {
            c.loader_serial = static_cast<uint32_t>(std::stoul(v, nullptr, 16));
        } else {
            throw std::runtime_error("unknown --imx key " + k);
        }
    }
    return c;
}

ImxStation::ImxStation(const ImxConfig& config, vmsim::EventLog& log)
    : config_(config), log_(log)
{
    if (config.tty.empty())
        hid_ = std::make_unique<HidRom>(config.rom, log);
    else
        pty_ = std::make_unique<PtyRom>(config.rom, log);
}

bool ImxStation::start(UsbLab& lab, std::string& error)
{
    if (config_.loader_serial && !lab.device(*config_.loader_serial)) {
        char b[16];
        std::snprintf(b, sizeof b, "%08X", *config_.loader_serial);
        error = std::string("--imx loader=") + b + " names no --usb device";
        return false;
    }
    if (pty_)
        return pty_->open(config_.tty, error);
    return hid_->plug(lab.testbed(), lab.take_devnum(), error);
}

void ImxStation::module_event(uint32_t serial, const std::string& event)
{
    // Runs inside the module's handling, under the lab lock: only note it.
    if (config_.loader_serial && serial == *config_.loader_serial && event == kResetEvent && !to_rom_)
        to_rom_ = Clock::now() + kSettle;
}

void ImxStation::pump(UsbLab& lab)
{
    std::lock_guard<std::recursive_mutex> lock(lab_lock());
    const auto now = Clock::now();
    if (pty_)
        pty_->pump();
    if (auto jump = hid_ ? hid_->take_jump() : pty_->take_jump(); jump && config_.loader_serial) {
        to_loader_ = now + kSettle;
        if (pty_)
            pty_->started();
    }
    UsbDevice* loader = config_.loader_serial ? lab.device(*config_.loader_serial) : nullptr;
    if (to_loader_ && *to_loader_ <= now && loader) {
        to_loader_.reset();
        if (hid_)
            hid_->unplug(lab.testbed());
        if (!loader_on_bus_ && !lab.plug(*loader))
            log_.log(loader->serial(), "loader-plug-failed %s", lab.error().c_str());
        loader_on_bus_ = true;
        log_.log(HidRom::EVENT_SERIAL, "rom-started-loader %08X", loader->serial());
    }
    if (to_rom_ && *to_rom_ <= now && loader) {
        to_rom_.reset();
        lab.unplug(*loader);
        loader_on_bus_ = false;
        if (pty_) {
            pty_->reset();
            log_.log(PtyRom::EVENT_SERIAL, "rom-reset");
        } else {
            hid_->reset();
            std::string error;
            if (!hid_->plug(lab.testbed(), lab.take_devnum(), error))
                log_.log(HidRom::EVENT_SERIAL, "rom-plug-failed %s", error.c_str());
        }
    }
}

} // namespace vmusbsim
