#include "sim/usb/usb_device.h"

#include "sim/module/config.h"
#include "sim/usb/lab_lock.h"

#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace vmusbsim {

std::recursive_mutex& lab_lock()
{
    static std::recursive_mutex m;
    return m;
}

namespace {

using Clock = std::chrono::steady_clock;

// Which plug-in a handler belongs to: requests through a node of an earlier
// plug-in find the device gone.
constexpr const char* kGeneration = "vmusb-generation";

vmsim::ModuleConfig module_config(const UsbConfig& c)
{
    vmsim::LabConfig none;
    char head[64];
    // The parser wants a transport; this module's transport is USB, which the
    // core model does not know about and does not need to.
    std::snprintf(head, sizeof head, "module serial=%08X model=%u transport=tcp ", c.serial, c.product & 0xFFu);
    vmsim::ModuleConfig m = vmsim::parse_module_line(head + c.module_line, none);
    m.transport = vmsim::Transport::None;
    return m;
}

} // namespace

UsbDevice::UsbDevice(const UsbConfig& cfg, vmsim::EventLog& log)
    : cfg_(cfg), own_serial_string_(cfg.serial_string), log_(log),
      module_(std::make_unique<vmsim::SimModule>(module_config(cfg), log))
{
}

void UsbDevice::set_enumeration_serial(uint32_t serial)
{
    if (serial == 0 || serial == cfg_.serial) {
        cfg_.serial_string = own_serial_string_;
        return;
    }
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    cfg_.serial_string = text;
}

UsbDevice::~UsbDevice() = default;

UMockdevIoctlBase* UsbDevice::make_handler()
{
    static unsigned generations = 0;
    UMockdevIoctlBase* h = umockdev_ioctl_base_new();
    generation_ = ++generations;
    g_object_set_data(G_OBJECT(h), kGeneration, GUINT_TO_POINTER(generation_));
    g_signal_connect(h, "handle-ioctl", G_CALLBACK(&UsbDevice::on_ioctl), this);
    g_signal_connect(h, "client-vanished", G_CALLBACK(&UsbDevice::on_vanished), this);
    g_signal_connect(h, "client-connected", G_CALLBACK(&UsbDevice::on_connected), this);
    return h;
}

gboolean UsbDevice::on_ioctl(UMockdevIoctlBase* h, UMockdevIoctlClient* client, gpointer self)
{
    auto* d = static_cast<UsbDevice*>(self);
    std::lock_guard<std::recursive_mutex> lock(lab_lock());
    if (GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(h), kGeneration)) != d->generation_) {
        // A node of an earlier plug-in. The URBs completed when it was unplugged
        // stay reapable, as usbfs keeps them after a disconnect: a host that had
        // not reaped them yet would otherwise wait for them for ever.
        const unsigned long req = umockdev_ioctl_client_get_request(client);
        auto it = d->clients_.find(client);
        if ((req == USBDEVFS_REAPURB || req == USBDEVFS_REAPURBNDELAY) && it != d->clients_.end())
            d->reap(client, it->second, req == USBDEVFS_REAPURB);
        else
            umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    d->handle(client);
    return TRUE;
}

void UsbDevice::on_connected(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer self)
{
    auto* d = static_cast<UsbDevice*>(self);
    std::lock_guard<std::recursive_mutex> lock(lab_lock());
    d->log_.log(d->cfg_.serial, "usb-open");
}

void UsbDevice::on_vanished(UMockdevIoctlBase* h, UMockdevIoctlClient* client, gpointer self)
{
    auto* d = static_cast<UsbDevice*>(self);
    std::lock_guard<std::recursive_mutex> lock(lab_lock());
    d->log_.log(d->cfg_.serial, "usb-close");
    auto it = d->clients_.find(client);
    if (it == d->clients_.end())
        return;
    d->clients_.erase(it);
    if (d->claim_owner_ == client) {
        d->claim_owner_ = nullptr;
        if (GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(h), kGeneration)) == d->generation_)
            d->end_session();
    }
    d->update_ready();
}

void UsbDevice::handle(UMockdevIoctlClient* client)
{
    const unsigned long req = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    auto [entry, fresh] = clients_.try_emplace(client);
    ClientState& cs = entry->second;
    if (fresh)
        cs.generation = generation_;
    GError* err = nullptr;

    if (req == USBDEVFS_REAPURB || req == USBDEVFS_REAPURBNDELAY) {
        reap(client, cs, req == USBDEVFS_REAPURB);
        return;
    }
    if (!plugged_) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    switch (req) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &err);
        if (caps)
            *reinterpret_cast<uint32_t*>(caps->data) = 0;
        umockdev_ioctl_client_complete(client, caps ? 0 : -1, caps ? 0 : EFAULT);
        if (caps)
            g_object_unref(caps);
        return;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        UMockdevIoctlData* n = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), &err);
        if (!n) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        unsigned itf = *reinterpret_cast<unsigned*>(n->data);
        g_object_unref(n);
        if (req == USBDEVFS_CLAIMINTERFACE) {
            if (cfg_.held || (claim_owner_ && claim_owner_ != client)) {
                log_.log(cfg_.serial, "usb-claim-busy %u", itf);
                umockdev_ioctl_client_complete(client, -1, EBUSY);
                return;
            }
            cs.claimed.insert(itf);
            if (claim_owner_ != client) {
                claim_owner_ = client;
                start_session();
            }
            log_.log(cfg_.serial, "usb-claim %u", itf);
        } else {
            cs.claimed.erase(itf);
            if (claim_owner_ == client && cs.claimed.empty()) {
                claim_owner_ = nullptr;
                end_session();
            }
            log_.log(cfg_.serial, "usb-release %u", itf);
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    case USBDEVFS_CLEAR_HALT: {
        UMockdevIoctlData* n = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), &err);
        if (!n) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        unsigned ep = *reinterpret_cast<unsigned*>(n->data);
        g_object_unref(n);
        halted_.erase(static_cast<uint8_t>(ep));
        log_.log(cfg_.serial, "usb-clear-halt 0x%02X", ep);
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    case USBDEVFS_SUBMITURB:
        submit(client, cs);
        return;
    case USBDEVFS_DISCARDURB:
        discard(client, cs);
        return;
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESET:
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    case USBDEVFS_GETDRIVER:
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return;
    default:
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return;
    }
}

void UsbDevice::submit(UMockdevIoctlClient* client, ClientState& cs)
{
    GError* err = nullptr;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &err);
    if (!data) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    auto* urb = reinterpret_cast<usbdevfs_urb*>(data->data);
    UMockdevIoctlData* buf = nullptr;
    if (urb->buffer_length > 0) {
        buf = umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer),
                                          static_cast<gsize>(urb->buffer_length), &err);
        if (!buf) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
    }
    Urb u{data, buf, client, urb->endpoint, urb->type};
    urb->status = 0;
    urb->actual_length = 0;
    umockdev_ioctl_client_complete(client, 0, 0);

    if (u.type == USBDEVFS_URB_TYPE_CONTROL) {
        finish(cs, u, 0, control(urb, buf));
        return;
    }
    const bool in = (u.endpoint & 0x80) != 0;
    if (in) {
        if (faults_.in_lost) {
            --faults_.in_lost;
            log_.log(cfg_.serial, "usb-in-lost");
            cs.lost.push_back(u);
        } else if (faults_.in_error) {
            --faults_.in_error;
            log_.log(cfg_.serial, "usb-in-error");
            finish(cs, u, -EPROTO, 0);
        } else if (faults_.in_stall) {
            --faults_.in_stall;
            halted_.insert(u.endpoint);
            log_.log(cfg_.serial, "usb-in-stall");
            finish(cs, u, -EPIPE, 0);
        } else if (halted_.count(u.endpoint)) {
            finish(cs, u, -EPIPE, 0);
        } else {
            cs.pending_in.push_back(u);
            feed_in();
        }
        return;
    }
    if (faults_.out_error) {
        --faults_.out_error;
        log_.log(cfg_.serial, "usb-out-error");
        finish(cs, u, -EPROTO, 0);
    } else if (faults_.out_stall) {
        --faults_.out_stall;
        halted_.insert(u.endpoint);
        log_.log(cfg_.serial, "usb-out-stall");
        finish(cs, u, -EPIPE, 0);
    } else if (faults_.out_timeout) {
        // Never taken: the host gives up on it and discards it.
        --faults_.out_timeout;
        log_.log(cfg_.serial, "usb-out-nak");
        cs.pending_out.push_back(u);
    } else if (halted_.count(u.endpoint)) {
        finish(cs, u, -EPIPE, 0);
    } else {
        const int n = urb->buffer_length;
        log_.log(cfg_.serial, "usb-out %d", n);
        if (buf)
            bulk_out(buf->data, static_cast<std::size_t>(n));
        finish(cs, u, 0, n);
    }
}

int UsbDevice::control(usbdevfs_urb* urb, UMockdevIoctlData* buf)
{
    if (!buf || urb->buffer_length < 8)
        return 0;
    const uint8_t* setup = buf->data;
    const uint8_t type = setup[0], request = setup[1];
    const uint16_t value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
    const uint16_t length = static_cast<uint16_t>(setup[6] | setup[7] << 8);
    if (!(type & 0x80))
        return 0;
    std::vector<uint8_t> answer;
    if (request == 6) { // GET_DESCRIPTOR
        const uint8_t kind = static_cast<uint8_t>(value >> 8), index = static_cast<uint8_t>(value);
        if (kind == 3) {
            answer = string_descriptor(cfg_, index);
        } else if (kind == 1 || kind == 2) {
            auto all = device_descriptors(cfg_);
            answer = kind == 1 ? std::vector<uint8_t>(all.begin(), all.begin() + 18)
                               : std::vector<uint8_t>(all.begin() + 18, all.end());
        }
    } else if (request == 8) { // GET_CONFIGURATION
        answer = {1};
    }
    std::size_t n = std::min<std::size_t>({answer.size(), length, static_cast<std::size_t>(urb->buffer_length - 8)});
    std::memcpy(buf->data + 8, answer.data(), n);
    return static_cast<int>(n);
}

void UsbDevice::finish(ClientState& cs, Urb u, int status, int actual)
{
    auto* urb = reinterpret_cast<usbdevfs_urb*>(u.data->data);
    urb->status = status;
    urb->actual_length = actual;
    cs.done.push_back(u);
    update_ready();
}

void UsbDevice::reap(UMockdevIoctlClient* client, ClientState& cs, bool)
{
    if (cs.done.empty()) {
        const bool gone = !plugged_ || cs.generation != generation_;
        umockdev_ioctl_client_complete(client, -1, gone ? ENODEV : EAGAIN);
        update_ready();
        return;
    }
    Urb u = cs.done.front();
    cs.done.pop_front();
    GError* err = nullptr;
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                                          sizeof(void*), &err);
    if (!slot || !umockdev_ioctl_data_set_ptr(slot, 0, u.data)) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
    } else {
        umockdev_ioctl_client_complete(client, 0, 0);
    }
    // The reply holds its own references; ours end with the URB's life.
    if (slot)
        g_object_unref(slot);
    if (u.buf)
        g_object_unref(u.buf);
    g_object_unref(u.data);
    update_ready();
}

void UsbDevice::discard(UMockdevIoctlClient* client, ClientState& cs)
{
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    gulong addr = 0;
    std::memcpy(&addr, arg->data, std::min<std::size_t>(sizeof addr, static_cast<std::size_t>(arg->data_len)));
    for (auto* q : {&cs.pending_in, &cs.pending_out}) {
        for (auto it = q->begin(); it != q->end(); ++it) {
            if (it->data->client_addr != addr)
                continue;
            Urb u = *it;
            q->erase(it);
            umockdev_ioctl_client_complete(client, 0, 0);
            finish(cs, u, -ENOENT, 0);
            return;
        }
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

void UsbDevice::bulk_out(const uint8_t* bytes, std::size_t n)
{
    const auto now = Clock::now();
    unsigned packets = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (auto p = asm_.feed(bytes[i])) {
            ++packets;
            if (session_)
                session_->receive(*p, now);
        }
    // Several packets in one transfer: the host's pooled writing.
    if (packets > 1)
        log_.log(cfg_.serial, "usb-burst %u", packets);
    pump();
}

void UsbDevice::pump()
{
    if (session_ && plugged_)
        for (auto& p : session_->due(Clock::now())) {
            auto w = p.wire();
            in_bytes_.insert(in_bytes_.end(), w.begin(), w.end());
        }
    feed_in();
}

void UsbDevice::inject_in(const std::vector<uint8_t>& bytes)
{
    in_bytes_.insert(in_bytes_.end(), bytes.begin(), bytes.end());
    feed_in();
}

void UsbDevice::feed_in()
{
    if (!plugged_)
        return;
    while (!in_bytes_.empty()) {
        ClientState* owner = nullptr;
        if (claim_owner_) {
            auto it = clients_.find(claim_owner_);
            if (it != clients_.end() && !it->second.pending_in.empty())
                owner = &it->second;
        }
        if (!owner)
            return;
        Urb u = owner->pending_in.front();
        owner->pending_in.pop_front();
        auto* urb = reinterpret_cast<usbdevfs_urb*>(u.data->data);
        std::size_t n = std::min<std::size_t>(in_bytes_.size(), static_cast<std::size_t>(urb->buffer_length));
        std::copy_n(in_bytes_.begin(), n, u.buf->data);
        in_bytes_.erase(in_bytes_.begin(), in_bytes_.begin() + static_cast<long>(n));
        log_.log(cfg_.serial, "usb-in %zu", n);
        finish(*owner, u, 0, static_cast<int>(n));
    }
}

void UsbDevice::update_ready()
{
    if (ready_fd_ < 0)
        return;
    // Only clients of the current node poll this FIFO; the FIFO of an earlier
    // node was left drained when that node was unplugged and stays ready.
    bool reapable = !plugged_;
    for (auto& [c, cs] : clients_)
        reapable = reapable || (cs.generation == generation_ && !cs.done.empty());
    uint8_t chunk[4096];
    if (reapable) {
        while (::read(ready_fd_, chunk, sizeof chunk) > 0) {
        }
    } else {
        std::memset(chunk, 0, sizeof chunk);
        while (::write(ready_fd_, chunk, sizeof chunk) > 0) {
        }
        while (::write(ready_fd_, chunk, 1) > 0) {
        }
    }
}

void UsbDevice::start_session()
{
    asm_ = vmsim::Assembler{};
    in_bytes_.clear();
    halted_.clear();
    session_ = std::make_unique<vmsim::Session>(*module_, log_, Clock::now(), false);
}

void UsbDevice::end_session()
{
    if (session_)
        session_->log_summary("usb");
    session_.reset();
    in_bytes_.clear();
}

void UsbDevice::unplug()
{
    plugged_ = false;
    for (auto& [c, cs] : clients_) {
        for (auto* q : {&cs.pending_in, &cs.pending_out})
            while (!q->empty()) {
                Urb u = q->front();
                q->pop_front();
                auto* urb = reinterpret_cast<usbdevfs_urb*>(u.data->data);
                urb->status = -ESHUTDOWN;
                urb->actual_length = 0;
                cs.done.push_back(u);
            }
    }
    claim_owner_ = nullptr;
    end_session();
    log_.log(cfg_.serial, "usb-unplug");
    update_ready();
}

void UsbDevice::replug()
{
    // Clients of the old node are told the device is gone by the generation
    // check; those with completions not yet reaped keep them until they reap
    // them or close the node.
    plugged_ = true;
    halted_.clear();
    std::erase_if(clients_, [](const auto& entry) { return entry.second.done.empty(); });
    log_.log(cfg_.serial, "usb-plug");
}

} // namespace vmusbsim
