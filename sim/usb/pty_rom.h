// An i.MX boot ROM in serial download mode on a pseudo-terminal inside the USB
// lab, so that a loader it starts can appear on the lab's USB bus. The terminal
// is reached through a symbolic link at a path the caller chooses.
#pragma once
#include "sim/imx/imx_rom.h"
#include "sim/module/events.h"
#include "sim/usb/rom_watch.h"

#include <chrono>
#include <memory>
#include <string>

namespace vmusbsim {

class PtyRom {
public:
    // Its events are logged under this serial number.
    static constexpr uint32_t EVENT_SERIAL = 0x1FC90130;

    PtyRom(const imxsim::RomConfig& config, vmsim::EventLog& log);
    ~PtyRom();
    PtyRom(const PtyRom&) = delete;
    PtyRom& operator=(const PtyRom&) = delete;

    // Opens the terminal and points link at its slave side; false with a message.
    bool open(const std::string& link, std::string& error);
    // Moves bytes both ways; a command left half-sent on a quiet line is dropped.
    void pump();
    std::optional<uint32_t> take_jump() { return watch_.take_jump(); }
    // Once the loader runs, the ROM no longer listens on the line.
    void started() { running_loader_ = true; }
    // A power cycle: back in the ROM, which forgets what was loaded.
    void reset();

private:
    imxsim::RomConfig config_;
    vmsim::EventLog& log_;
    std::unique_ptr<imxsim::ImxRom> rom_;
    RomWatch watch_;
    int master_ = -1, keep_ = -1;
    std::string link_;
    bool running_loader_ = false;
    std::chrono::steady_clock::time_point last_byte_;
};

} // namespace vmusbsim
