// The umockdev test bed holding the emulated modules: their sysfs records, the
// usbfs nodes (FIFOs for readiness) with their handlers, the kernel nodes, and
// unplugging and plugging in again.
#pragma once
#include "sim/usb/imx_station.h"
#include "sim/usb/usb_device.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace vmusbsim {

class UsbLab {
public:
    UsbLab();
    ~UsbLab();
    // Builds every device; false with a message in error().
    bool start(const std::vector<UsbConfig>& devices, const std::string& events_path);
    const std::string& error() const { return error_; }
    UsbDevice* device(uint32_t serial);

    bool plug(UsbDevice& d);
    void unplug(UsbDevice& d);
    // Re-enumeration, as a module does when it reboots or starts a loader that
    // restarts its USB connection: the device leaves the bus at once and comes
    // back after delay_ms under serial (0: its own serial number). Callable from
    // any thread; the unplug and the plug happen in pump() on the main loop.
    void reenumerate(UsbDevice& d, uint32_t serial, unsigned delay_ms);
    // Moves module answers to the hosts, carries out re-enumerations (also those
    // the modules ask for themselves); the main loop calls this often.
    void pump();

    // An i.MX boot ROM on HID, whose started loader becomes one of the devices
    // (kept off the bus until then). Call after start().
    bool add_imx(const ImxConfig& config);
    ImxStation* imx() { return imx_.get(); }
    UMockdevTestbed* testbed() { return tb_; }
    unsigned take_devnum() { return next_devnum_++; }

private:
    struct Node {
        UsbDevice* dev = nullptr;
        std::string syspath, devnode;
        int fifo = -1;
    };
    bool add_kernel_node(UsbDevice& d);

    UMockdevTestbed* tb_ = nullptr;
    vmsim::EventLog log_;
    std::vector<std::unique_ptr<UsbDevice>> devices_;
    std::vector<Node> nodes_; // the current node of each plugged device
    struct Replug {
        UsbDevice* dev = nullptr;
        std::chrono::steady_clock::time_point at;
        uint32_t serial = 0;
        bool unplugged = false;
    };
    std::vector<Replug> replugs_;
    unsigned next_devnum_ = 2;
    std::unique_ptr<ImxStation> imx_;
    std::string error_;
};

} // namespace vmusbsim
