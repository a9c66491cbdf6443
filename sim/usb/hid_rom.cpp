#include "sim/usb/hid_rom.h"

#include "sim/usb/lab_lock.h"

#include <linux/hidraw.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vmusbsim {

namespace {

constexpr const char* kGeneration = "vmhid-generation";
constexpr uint8_t REPORT_COMMAND = 1, REPORT_DATA = 2, REPORT_SECURITY = 3, REPORT_STATUS = 4;
constexpr std::size_t STATUS_REPORT_SIZE = 64;

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

void put16(std::vector<uint8_t>& v, uint16_t x)
{
    v.push_back(static_cast<uint8_t>(x & 0xFF));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

// Device and configuration descriptors: one HID interface with an interrupt IN
// endpoint, as the ROM enumerates at full speed.
std::vector<uint8_t> descriptors()
{
    std::vector<uint8_t> d = {18, 1};
    put16(d, 0x0200);
    d.insert(d.end(), {0, 0, 0, 64});
    put16(d, HidRom::VENDOR);
    put16(d, HidRom::PRODUCT);
    put16(d, 0x0001);
    d.insert(d.end(), {1, 2, 0, 1});
    const auto report = HidRom::report_descriptor();
    std::vector<uint8_t> cfg = {9, 2};
    put16(cfg, 9 + 9 + 9 + 7);
    cfg.insert(cfg.end(), {1, 1, 0, 0xC0, 50});
    cfg.insert(cfg.end(), {9, 4, 0, 0, 1, 3, 0, 0, 0});
    cfg.insert(cfg.end(), {9, 0x21, 0x10, 0x01, 0, 1, 0x22});
    put16(cfg, static_cast<uint16_t>(report.size()));
    cfg.insert(cfg.end(), {7, 5, 0x81, 0x03, 64, 0, 1});
    d.insert(d.end(), cfg.begin(), cfg.end());
    return d;
}

} // namespace

HidRom::HidRom(const imxsim::RomConfig& config, vmsim::EventLog& log) : config_(config), log_(log) { reset(); }

HidRom::~HidRom()
{
    if (ready_fd_ >= 0)
        ::close(ready_fd_);
}

std::vector<uint8_t> HidRom::report_descriptor()
{
    // Vendor page; output reports 1 (16 bytes) and 2 (1024 bytes), input
    // reports 3 (4 bytes) and 4 (64 bytes).
    return {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,                                    //
            0x85, 0x01, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, //
            0x95, 0x10, 0x91, 0x02,                                                       //
            0x85, 0x02, 0x19, 0x01, 0x29, 0x01, 0x75, 0x08, 0x96, 0x00, 0x04, 0x91, 0x02, //
            0x85, 0x03, 0x19, 0x01, 0x29, 0x01, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02,       //
            0x85, 0x04, 0x19, 0x01, 0x29, 0x01, 0x75, 0x08, 0x95, 0x40, 0x81, 0x02,       //
            0xC0};
}

std::vector<std::vector<uint8_t>> HidRom::answer_reports(const std::string& answer)
{
    std::vector<std::vector<uint8_t>> out;
    if (answer.empty())
        return out;
    const std::size_t security = std::min<std::size_t>(4, answer.size());
    std::vector<uint8_t> r3{REPORT_SECURITY};
    r3.insert(r3.end(), answer.begin(), answer.begin() + static_cast<long>(security));
    r3.resize(5, 0);
    out.push_back(std::move(r3));
    for (std::size_t pos = security; pos < answer.size(); pos += STATUS_REPORT_SIZE) {
        const std::size_t n = std::min(STATUS_REPORT_SIZE, answer.size() - pos);
        std::vector<uint8_t> r4{REPORT_STATUS};
        r4.insert(r4.end(), answer.begin() + static_cast<long>(pos), answer.begin() + static_cast<long>(pos + n));
        r4.resize(1 + STATUS_REPORT_SIZE, 0);
        out.push_back(std::move(r4));
    }
    return out;
}

void HidRom::reset()
{
    rom_ = std::make_unique<imxsim::ImxRom>(config_);
    reports_.clear();
    watch_ = RomWatch{};
    rom_->onEvent = [this](const std::string& e) {
        log_.log(EVENT_SERIAL, "rom %s", e.c_str());
        watch_.event(e);
    };
}

bool HidRom::plug(UMockdevTestbed* tb, unsigned devnum, std::string& error)
{
    std::lock_guard<std::recursive_mutex> lock(lab_lock());
    static unsigned generations = 0;
    generation_ = ++generations;
    char usb[128], itf[160], hid[200], raw[240], body[4096];
    std::snprintf(usb, sizeof usb, "/devices/pci0000:00/0000:00:14.0/usb1/1-%u", devnum);
    std::snprintf(itf, sizeof itf, "%s/1-%u:1.0", usb, devnum);
    std::snprintf(hid, sizeof hid, "%s/0003:%04X:%04X.%04X", itf, VENDOR, PRODUCT, generation_);
    std::snprintf(raw, sizeof raw, "%s/hidraw/hidraw%u", hid, generation_);
    usb_syspath_ = std::string("/sys") + usb;

    std::vector<std::string> records;
    std::snprintf(body, sizeof body,
                  "P: %s\nN: bus/usb/001/%03u\n"
                  "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/bus/usb/001/%03u\nE: BUSNUM=001\n"
                  "E: DEVNUM=%03u\nE: PRODUCT=%x/%x/1\n"
                  "A: busnum=1\\n\nA: devnum=%u\\n\nA: speed=12\\n\nA: bConfigurationValue=1\\n\n"
                  "A: bNumConfigurations=1\\n\nA: idVendor=%04x\\n\nA: idProduct=%04x\\n\nA: bcdDevice=0001\\n\n"
                  "A: manufacturer=Freescale SemiConductor Inc \\n\nA: product=SE Blank 6UL\\n\n"
                  "H: descriptors=%s\n",
                  usb, devnum, devnum, devnum, VENDOR, PRODUCT, devnum, VENDOR, PRODUCT, hex(descriptors()).c_str());
    records.push_back(body);
    std::snprintf(body, sizeof body,
                  "P: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: INTERFACE=3/0/0\n"
                  "A: bInterfaceNumber=00\\n\nA: bInterfaceClass=03\\n\nA: bAlternateSetting= 0\\n\n",
                  itf);
    records.push_back(body);
    std::snprintf(body, sizeof body,
                  "P: %s\nE: SUBSYSTEM=hid\nE: HID_ID=0003:%08X:%08X\nE: HID_NAME=Freescale SemiConductor Inc  SE "
                  "Blank 6UL\nE: HID_PHYS=usb-0000:00:14.0-%u/input0\nE: HID_UNIQ=\n"
                  "H: report_descriptor=%s\n",
                  hid, VENDOR, PRODUCT, devnum, hex(report_descriptor()).c_str());
    records.push_back(body);
    std::snprintf(body, sizeof body, "P: %s\nN: hidraw%u\nE: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/hidraw%u\n", raw,
                  generation_, generation_);
    records.push_back(body);
    GError* err = nullptr;
    for (const auto& r : records) {
        if (!umockdev_testbed_add_from_string(tb, r.c_str(), &err)) {
            error = std::string("umockdev: ") + (err ? err->message : "cannot add the i.MX ROM");
            return false;
        }
    }

    // The hidraw back end reads the HID device's uevent and report descriptor
    // through the node's "device" link, as sysfs has it.
    {
        gchar* sys = umockdev_testbed_get_sys_dir(tb);
        std::string link = std::string(sys) + raw + "/device";
        g_free(sys);
        if (::symlink("../..", link.c_str()) != 0 && errno != EEXIST) {
            error = "cannot link " + link;
            return false;
        }
    }

    UMockdevIoctlBase* h = umockdev_ioctl_base_new();
    g_object_set_data(G_OBJECT(h), kGeneration, GUINT_TO_POINTER(generation_));
    g_signal_connect(h, "handle-ioctl", G_CALLBACK(&HidRom::on_ioctl), this);
    g_signal_connect(h, "handle-read", G_CALLBACK(&HidRom::on_read), this);
    g_signal_connect(h, "handle-write", G_CALLBACK(&HidRom::on_write), this);
    g_signal_connect(h, "client-vanished", G_CALLBACK(&HidRom::on_vanished), this);
    char node[64];
    std::snprintf(node, sizeof node, "/dev/hidraw%u", generation_);
    if (!umockdev_testbed_attach_ioctl(tb, node, h, &err)) {
        error = std::string("umockdev: ") + (err ? err->message : "cannot attach the hidraw node");
        return false;
    }
    // A reader polls the node for input: a FIFO holding a byte while a report
    // waits gives that poll its meaning.
    gchar* root = umockdev_testbed_get_root_dir(tb);
    std::string path = std::string(root) + node;
    g_free(root);
    ::unlink(path.c_str());
    if (::mkfifo(path.c_str(), 0666) != 0) {
        error = "cannot make the node " + path;
        return false;
    }
    if (ready_fd_ >= 0)
        ::close(ready_fd_);
    ready_fd_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (ready_fd_ < 0) {
        error = "cannot open the node " + path;
        return false;
    }
    plugged_ = true;
    reports_.clear();
    update_ready();
    log_.log(EVENT_SERIAL, "rom-plug");
    return true;
}

void HidRom::unplug(UMockdevTestbed* tb)
{
    std::lock_guard<std::recursive_mutex> lock(lab_lock());
    if (!plugged_)
        return;
    plugged_ = false;
    reports_.clear();
    update_ready();
    umockdev_testbed_uevent(tb, usb_syspath_.c_str(), "remove");
    umockdev_testbed_remove_device(tb, usb_syspath_.c_str());
    log_.log(EVENT_SERIAL, "rom-unplug");
}

void HidRom::update_ready()
{
    if (ready_fd_ < 0)
        return;
    uint8_t scratch[64];
    while (::read(ready_fd_, scratch, sizeof scratch) > 0) {
    }
    // After an unplug the node stays readable, so a waiting reader wakes and
    // learns that the device is gone.
    if (!reports_.empty() || !plugged_) {
        const uint8_t one = 1;
        (void)!::write(ready_fd_, &one, 1);
    }
}

void HidRom::take(const uint8_t* bytes, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        std::string answer;
        rom_->receive(bytes[i], answer);
        for (auto& r : answer_reports(answer))
            reports_.push_back(std::move(r));
    }
    update_ready();
}

gboolean HidRom::on_write(UMockdevIoctlBase* h, UMockdevIoctlClient* client, gpointer self)
{
    auto* d = static_cast<HidRom*>(self);
    std::lock_guard<std::recursive_mutex> lock(lab_lock());
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (!d->plugged_ || GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(h), kGeneration)) != d->generation_) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    const int n = arg->data_len;
    if (n < 1) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return TRUE;
    }
    const uint8_t id = arg->data[0];
    if (id == REPORT_COMMAND) {
        // A command report always carries its 16 bytes; the ROM reads no more.
        std::vector<uint8_t> cmd(arg->data + 1, arg->data + std::min(n, 17));
        cmd.resize(16, 0);
        d->take(cmd.data(), cmd.size());
    } else if (id == REPORT_DATA) {
        d->take(arg->data + 1, static_cast<std::size_t>(n - 1));
    } else {
        umockdev_ioctl_client_complete(client, -1, EPIPE);
        return TRUE;
    }
    umockdev_ioctl_client_complete(client, n, 0);
    return TRUE;
}

gboolean HidRom::on_read(UMockdevIoctlBase* h, UMockdevIoctlClient* client, gpointer self)
{
    auto* d = static_cast<HidRom*>(self);
    std::lock_guard<std::recursive_mutex> lock(lab_lock());
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (!d->plugged_ || GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(h), kGeneration)) != d->generation_) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    if (d->reports_.empty()) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return TRUE;
    }
    // One report per read, cut to the reader's buffer as hidraw does.
    std::vector<uint8_t> r = std::move(d->reports_.front());
    d->reports_.pop_front();
    const std::size_t n = std::min<std::size_t>(r.size(), static_cast<std::size_t>(arg->data_len));
    std::memcpy(arg->data, r.data(), n);
    d->update_ready();
    umockdev_ioctl_client_complete(client, static_cast<glong>(n), 0);
    return TRUE;
}

gboolean HidRom::on_ioctl(UMockdevIoctlBase* h, UMockdevIoctlClient* client, gpointer self)
{
    auto* d = static_cast<HidRom*>(self);
    std::lock_guard<std::recursive_mutex> lock(lab_lock());
    if (!d->plugged_ || GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(h), kGeneration)) != d->generation_) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    const unsigned long req = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    GError* err = nullptr;
    const auto desc = report_descriptor();
    if (req == HIDIOCGRDESCSIZE) {
        UMockdevIoctlData* size = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), &err);
        if (!size) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        *reinterpret_cast<int*>(size->data) = static_cast<int>(desc.size());
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(size);
    } else if (req == HIDIOCGRDESC) {
        UMockdevIoctlData* rd = umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_report_descriptor), &err);
        if (!rd) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        auto* out = reinterpret_cast<hidraw_report_descriptor*>(rd->data);
        out->size = static_cast<uint32_t>(desc.size());
        std::memcpy(out->value, desc.data(), desc.size());
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(rd);
    } else if (req == HIDIOCGRAWINFO) {
        UMockdevIoctlData* info = umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_devinfo), &err);
        if (!info) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        auto* out = reinterpret_cast<hidraw_devinfo*>(info->data);
        out->bustype = 3; // BUS_USB
        out->vendor = static_cast<int16_t>(VENDOR);
        out->product = static_cast<int16_t>(PRODUCT);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(info);
    } else {
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
    }
    return TRUE;
}

void HidRom::on_vanished(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer self)
{
    auto* d = static_cast<HidRom*>(self);
    std::lock_guard<std::recursive_mutex> lock(lab_lock());
    d->log_.log(EVENT_SERIAL, "rom-close");
}

} // namespace vmusbsim
