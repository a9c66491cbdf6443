// One emulated Velmarine module on USB: its descriptors, the usbfs requests
// libusb makes on its device node (claims, control and bulk URBs, reaps,
// discards, halts) and the simulated module behind the bulk endpoints.
// Everything here runs under the lab's lock: umockdev calls the handlers on
// its own worker thread while the main loop pumps the module's answers.
#pragma once
#include "sim/module/events.h"
#include "sim/module/module.h"
#include "sim/module/packet.h"
#include "sim/module/session.h"

#include <umockdev.h>

struct usbdevfs_urb;

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vmusbsim {

struct UsbConfig {
    uint32_t serial = 0;
    uint16_t product = 0x0004;
    std::string serial_string; // empty: "%08X" of serial
    uint16_t in_max = 512, out_max = 512;
    bool no_out = false;       // the vendor interface lacks its OUT endpoint
    bool held = false;         // another program holds the interface: claims fail with EBUSY
    bool kernel = false;       // also (or only) a kernel node /dev/velmarine.<serial>
    bool usb = true;           // a usbfs device at all
    std::string module_line;   // the simulated module's own keys
};

// Device and configuration descriptors as the device reports them.
std::vector<uint8_t> device_descriptors(const UsbConfig& c);
// GET_DESCRIPTOR answers for string index (0: the language table).
std::vector<uint8_t> string_descriptor(const UsbConfig& c, uint8_t index);

// Faults the control socket asks for; each counts down as it is used.
struct Faults {
    unsigned in_error = 0, in_stall = 0, out_error = 0, out_stall = 0, out_timeout = 0;
    // IN URBs the device never completes, not even when they are discarded or it
    // is unplugged: a host must not wait for them without limit.
    unsigned in_lost = 0;
};

class UsbDevice {
public:
    UsbDevice(const UsbConfig& cfg, vmsim::EventLog& log);
    ~UsbDevice();

    const UsbConfig& config() const { return cfg_; }
    uint32_t serial() const { return cfg_.serial; }
    Faults& faults() { return faults_; }

    // The node's ioctl handler; a new one for every plug-in.
    UMockdevIoctlBase* make_handler();
    // The FIFO standing in for the node: full while nothing is reapable, so
    // libusb's poll for POLLOUT means "a URB completed".
    void set_ready_fd(int fd) { ready_fd_ = fd; update_ready(); }

    // Unplug: every pending URB completes with -ESHUTDOWN, later requests fail
    // ENODEV. As on a real usbfs node, what completed can still be reaped, also
    // after the device came back under a new node.
    void unplug();
    void replug();
    bool plugged() const { return plugged_; }
    // The serial number the next plug-in enumerates under (0: its own).
    void set_enumeration_serial(uint32_t serial);
    // Set once when the module restarted on its own and must leave the bus.
    std::optional<vmsim::SimModule::Restart> take_restart() { return module_->take_restart(); }

    // Moves the module's due answers to the IN side and completes waiting IN URBs.
    void pump();
    // Raw bytes for the IN side (besides the module's own answers).
    void inject_in(const std::vector<uint8_t>& bytes);

    // Kernel node: read and write handlers.
    UMockdevIoctlBase* make_kernel_handler();

private:
    struct Urb {
        UMockdevIoctlData* data = nullptr; // the client's URB, kept until reaped
        UMockdevIoctlData* buf = nullptr;  // its buffer
        UMockdevIoctlClient* client = nullptr;
        uint8_t endpoint = 0;
        uint8_t type = 0;
    };
    struct ClientState {
        std::deque<Urb> pending_in, pending_out, done, lost;
        std::set<unsigned> claimed;
        unsigned generation = 0; // the plug-in whose node the client opened
    };

    static gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    static void on_connected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    static void on_vanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    static gboolean on_kernel_read(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    static gboolean on_kernel_write(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    static void on_kernel_connected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    static void on_kernel_vanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);

    void handle(UMockdevIoctlClient* client);
    void submit(UMockdevIoctlClient* client, ClientState& cs);
    void reap(UMockdevIoctlClient* client, ClientState& cs, bool wait);
    void discard(UMockdevIoctlClient* client, ClientState& cs);
    int control(struct usbdevfs_urb* urb, UMockdevIoctlData* buf);
    void finish(ClientState& cs, Urb u, int status, int actual);
    void bulk_out(const uint8_t* bytes, std::size_t n);
    void feed_in();
    void update_ready();
    void start_session();
    void end_session();

    UsbConfig cfg_;
    std::string own_serial_string_; // cfg_.serial_string as configured
    vmsim::EventLog& log_;
    std::unique_ptr<vmsim::SimModule> module_;
    std::unique_ptr<vmsim::Session> session_;
    vmsim::Assembler asm_;
    std::deque<uint8_t> in_bytes_;
    std::map<UMockdevIoctlClient*, ClientState> clients_;
    std::set<uint8_t> halted_;
    unsigned generation_ = 0;
    UMockdevIoctlClient* claim_owner_ = nullptr;
    Faults faults_;
    bool plugged_ = true;
    int ready_fd_ = -1;
    std::set<UMockdevIoctlClient*> kernel_clients_;
};

} // namespace vmusbsim
