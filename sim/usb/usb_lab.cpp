#include "sim/usb/usb_lab.h"

#include "sim/usb/lab_lock.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vmusbsim {

namespace {

std::string hex(const std::vector<uint8_t>& bytes)
{
    std::string s;
    char b[3];
    for (uint8_t x : bytes) {
        std::snprintf(b, sizeof b, "%02x", x);
        s += b;
    }
    return s;
}

} // namespace

UsbLab::UsbLab() { tb_ = umockdev_testbed_new(); }

UsbLab::~UsbLab()
{
    log_.set_listener(nullptr);
    for (auto& n : nodes_)
        if (n.fifo >= 0)
            ::close(n.fifo);
    if (tb_)
        g_object_unref(tb_);
}

UsbDevice* UsbLab::device(uint32_t serial)
{
    for (auto& d : devices_)
        if (d->serial() == serial)
            return d.get();
    return nullptr;
}

bool UsbLab::start(const std::vector<UsbConfig>& devices, const std::string& events_path)
{
    if (!events_path.empty() && !log_.open(events_path)) {
        error_ = "cannot write the event log " + events_path;
        return false;
    }
    for (const auto& c : devices) {
        try {
            devices_.push_back(std::make_unique<UsbDevice>(c, log_));
        } catch (const std::exception& e) {
            error_ = e.what();
            return false;
        }
    }
    for (auto& d : devices_) {
        if (d->config().usb && !plug(*d))
            return false;
        if (d->config().kernel && !add_kernel_node(*d))
            return false;
    }
    return true;
}

bool UsbLab::plug(UsbDevice& d)
{
    std::lock_guard<std::recursive_mutex> lock(lab_lock());
    const UsbConfig& c = d.config();
    const unsigned devnum = next_devnum_++;
    char syspath[128], devnode[64], body[2048];
    std::snprintf(syspath, sizeof syspath, "/devices/pci0000:00/0000:00:14.0/usb1/1-%u", devnum);
    std::snprintf(devnode, sizeof devnode, "/dev/bus/usb/001/%03u", devnum);
    std::snprintf(body, sizeof body,
                  "P: %s\nN: bus/usb/001/%03u\n"
                  "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=%s\nE: BUSNUM=001\nE: DEVNUM=%03u\n"
                  "E: PRODUCT=24ff/%x/100\n"
                  "A: busnum=1\\n\nA: devnum=%u\\n\nA: speed=480\\n\nA: bConfigurationValue=1\\n\n"
                  "A: bNumConfigurations=1\\n\nA: idVendor=24ff\\n\nA: idProduct=%04x\\n\n"
                  "H: descriptors=%s\n",
                  syspath, devnum, devnode, devnum, c.product, devnum, c.product,
                  hex(device_descriptors(c)).c_str());
    GError* err = nullptr;
    if (!umockdev_testbed_add_from_string(tb_, body, &err)) {
        error_ = std::string("umockdev: ") + (err ? err->message : "cannot add the device");
        return false;
    }
    std::string sys = std::string("/sys") + syspath;
    UMockdevIoctlBase* handler = d.make_handler();
    if (!umockdev_testbed_attach_ioctl(tb_, devnode, handler, &err)) {
        error_ = std::string("umockdev: ") + (err ? err->message : "cannot attach the handler");
        return false;
    }
    // libusb waits for URB completions by polling the node for POLLOUT; a FIFO
    // kept full while nothing is reapable makes that wait mean something.
    gchar* root = umockdev_testbed_get_root_dir(tb_);
    std::string path = std::string(root) + devnode;
    g_free(root);
    ::unlink(path.c_str());
    if (::mkfifo(path.c_str(), 0666) != 0) {
        error_ = "cannot make the node " + path;
        return false;
    }
    int fifo = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fifo < 0) {
        error_ = "cannot open the node " + path;
        return false;
    }
    std::erase_if(nodes_, [&](const Node& n) { return n.dev == &d; });
    nodes_.push_back(Node{&d, sys, devnode, fifo});
    if (!d.plugged())
        d.replug();
    d.set_ready_fd(fifo);
    return true;
}

void UsbLab::unplug(UsbDevice& d)
{
    std::lock_guard<std::recursive_mutex> lock(lab_lock());
    for (auto& n : nodes_) {
        if (n.dev != &d)
            continue;
        d.unplug();
        // Hotplug listeners learn of it the way the kernel tells them.
        umockdev_testbed_uevent(tb_, n.syspath.c_str(), "remove");
        umockdev_testbed_remove_device(tb_, n.syspath.c_str());
    }
}

bool UsbLab::add_kernel_node(UsbDevice& d)
{
    char syspath[128], name[64], body[512];
    std::snprintf(name, sizeof name, "velmarine.%08X", d.serial());
    std::snprintf(syspath, sizeof syspath, "/devices/virtual/velmarine/%s", name);
    std::snprintf(body, sizeof body, "P: %s\nN: %s\nE: SUBSYSTEM=velmarine\nE: DEVNAME=/dev/%s\n", syspath,
                  name, name);
    GError* err = nullptr;
    if (!umockdev_testbed_add_from_string(tb_, body, &err)) {
        error_ = std::string("umockdev: ") + (err ? err->message : "cannot add the kernel node");
        return false;
    }
    std::string node = std::string("/dev/") + name;
    if (!umockdev_testbed_attach_ioctl(tb_, node.c_str(), d.make_kernel_handler(), &err)) {
        error_ = std::string("umockdev: ") + (err ? err->message : "cannot attach the kernel node");
        return false;
    }
    return true;
}

void UsbLab::reenumerate(UsbDevice& d, uint32_t serial, unsigned delay_ms)
{
    std::lock_guard<std::recursive_mutex> lock(lab_lock());
    log_.log(d.serial(), "usb-reenumerate %08X %u", serial ? serial : d.serial(), delay_ms);
    std::erase_if(replugs_, [&](const Replug& r) { return r.dev == &d; });
    replugs_.push_back(Replug{&d, std::chrono::steady_clock::now() + std::chrono::milliseconds(delay_ms), serial});
}

void UsbLab::pump()
{
    std::lock_guard<std::recursive_mutex> lock(lab_lock());
    for (auto& d : devices_) {
        d->pump();
        if (auto r = d->take_restart())
            reenumerate(*d, r->serial, r->away_ms);
    }
    const auto now = std::chrono::steady_clock::now();
    for (auto it = replugs_.begin(); it != replugs_.end();) {
        if (!it->unplugged) {
            if (it->dev->plugged())
                unplug(*it->dev);
            it->unplugged = true;
        }
        if (now < it->at) {
            ++it;
            continue;
        }
        it->dev->set_enumeration_serial(it->serial);
        if (!plug(*it->dev))
            std::fprintf(stderr, "velmarine-usbsim: re-plug failed: %s\n", error_.c_str());
        it = replugs_.erase(it);
    }
    if (imx_)
        imx_->pump(*this);
}

bool UsbLab::add_imx(const ImxConfig& config)
{
    std::lock_guard<std::recursive_mutex> lock(lab_lock());
    imx_ = std::make_unique<ImxStation>(config, log_);
    log_.set_listener([this](uint32_t serial, const std::string& event) { imx_->module_event(serial, event); });
    return imx_->start(*this, error_);
}

} // namespace vmusbsim
