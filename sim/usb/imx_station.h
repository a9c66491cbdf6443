// An i.MX module in the USB lab across its lives: the boot ROM on HID until a
// jump starts the recovery loader it was given, then the loader as a Velmarine
// module on USB; a system reset of the loader powers the chip back into its ROM.
#pragma once
#include "sim/usb/hid_rom.h"
#include "sim/usb/pty_rom.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vmusbsim {

class UsbLab;
class UsbDevice;

struct ImxConfig {
    imxsim::RomConfig rom;
    // The lab device the started loader becomes (none: the ROM stays on its own).
    std::optional<uint32_t> loader_serial;
    // Not empty: the ROM listens on a pseudo-terminal reached through a link at
    // this path instead of on USB-HID.
    std::string tty;
};

// "fingerprint=LOW,HIGH silent answer_in_data refuse_completion loader=<hex> tty=PATH";
// throws std::runtime_error on an unknown key.
ImxConfig parse_imx(const std::string& line);

class ImxStation {
public:
    ImxStation(const ImxConfig& config, vmsim::EventLog& log);

    bool start(UsbLab& lab, std::string& error);
    // Called from the lab's pump: moves between ROM and loader when due.
    void pump(UsbLab& lab);
    // An event of a lab module; a reset of the running loader is the one that matters.
    void module_event(uint32_t serial, const std::string& event);


private:
    using Clock = std::chrono::steady_clock;
    ImxConfig config_;
    vmsim::EventLog& log_;
    std::unique_ptr<HidRom> hid_;
    std::unique_ptr<PtyRom> pty_;
    // Pending moves, taken when their time comes so that the answer to the
    // request that caused them still reaches the host.
    std::optional<Clock::time_point> to_loader_, to_rom_;
    bool loader_on_bus_ = false;
};

} // namespace vmusbsim
