// An i.MX boot ROM in serial download mode on USB-HID (vendor 0x1FC9, product
// 0x0130), as hidapi's hidraw back end sees it: a hidraw node below a HID device
// below a USB interface and device in sysfs, and the node's reads, writes and
// ioctls. Report 1 carries a 16-byte command, report 2 file data; the ROM answers
// with report 3 (its security word) and report 4 (64 bytes: status or data).
// Behind the reports is the same ROM model as on the serial line.
#pragma once
#include "sim/imx/imx_rom.h"
#include "sim/module/events.h"
#include "sim/usb/rom_watch.h"

#include <umockdev.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vmusbsim {

class HidRom {
public:
    static constexpr uint16_t VENDOR = 0x1FC9;
    static constexpr uint16_t PRODUCT = 0x0130;
    // The serial number its events are logged under (it has none of its own).
    static constexpr uint32_t EVENT_SERIAL = 0x1FC90130;

    HidRom(const imxsim::RomConfig& config, vmsim::EventLog& log);
    ~HidRom();
    HidRom(const HidRom&) = delete;
    HidRom& operator=(const HidRom&) = delete;

    // Adds the sysfs records and the node to the test bed under USB device
    // number devnum; false with a message in error.
    bool plug(UMockdevTestbed* tb, unsigned devnum, std::string& error);
    // Takes the device out of the test bed: a "remove" uevent, then gone.
    void unplug(UMockdevTestbed* tb);
    bool plugged() const { return plugged_; }

    // The address of a jump into memory a file write filled, once per jump.
    std::optional<uint32_t> take_jump() { return watch_.take_jump(); }
    // A power cycle: the ROM forgets what was loaded.
    void reset();

    const imxsim::ImxRom& rom() const { return *rom_; }

    // The HID report descriptor the ROM reports.
    static std::vector<uint8_t> report_descriptor();
    // Splits one answer of the ROM model into input reports: the security word
    // as report 3, the rest as 64-byte reports 4.
    static std::vector<std::vector<uint8_t>> answer_reports(const std::string& answer);

private:
    static gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    static gboolean on_read(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    static gboolean on_write(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    static void on_vanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    void take(const uint8_t* bytes, std::size_t n);
    void update_ready();

    imxsim::RomConfig config_;
    vmsim::EventLog& log_;
    std::unique_ptr<imxsim::ImxRom> rom_;
    std::deque<std::vector<uint8_t>> reports_; // input reports waiting to be read
    RomWatch watch_;
    bool plugged_ = false;
    unsigned generation_ = 0;
    std::string usb_syspath_;
    int ready_fd_ = -1;
};

} // namespace vmusbsim
