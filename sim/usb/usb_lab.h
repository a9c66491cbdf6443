// The umockdev test bed holding the emulated modules: their sysfs records, the
// usbfs nodes (FIFOs for readiness) with their handlers, the kernel nodes, and
// unplugging and plugging in again.
#pragma once
#include "sim/usb/usb_device.h"

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
    // Moves module answers to the hosts; the main loop calls this often.
    void pump();

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
    unsigned next_devnum_ = 2;
    std::string error_;
};

} // namespace vmusbsim
