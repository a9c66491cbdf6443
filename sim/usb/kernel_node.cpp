// The optional kernel driver's node, /dev/velmarine.<serial>: a one-byte read
// answers EFAULT when nothing is waiting, writes take packet bytes.
#include "sim/usb/lab_lock.h"
#include "sim/usb/usb_device.h"

#include <algorithm>
#include <cerrno>

namespace vmusbsim {

UMockdevIoctlBase* UsbDevice::make_kernel_handler()
{
    UMockdevIoctlBase* h = umockdev_ioctl_base_new();
    g_signal_connect(h, "handle-read", G_CALLBACK(&UsbDevice::on_kernel_read), this);
    g_signal_connect(h, "handle-write", G_CALLBACK(&UsbDevice::on_kernel_write), this);
    g_signal_connect(h, "client-connected", G_CALLBACK(&UsbDevice::on_kernel_connected), this);
    g_signal_connect(h, "client-vanished", G_CALLBACK(&UsbDevice::on_kernel_vanished), this);
    return h;
}

void UsbDevice::on_kernel_connected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
{
    auto* d = static_cast<UsbDevice*>(self);
    std::lock_guard<std::recursive_mutex> lock(lab_lock());
    d->kernel_clients_.insert(client);
    d->log_.log(d->cfg_.serial, "kernel-open");
    d->start_session();
}

void UsbDevice::on_kernel_vanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
{
    auto* d = static_cast<UsbDevice*>(self);
    std::lock_guard<std::recursive_mutex> lock(lab_lock());
    if (d->kernel_clients_.erase(client)) {
        d->log_.log(d->cfg_.serial, "kernel-close");
        d->end_session();
    }
}

gboolean UsbDevice::on_kernel_read(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
{
    auto* d = static_cast<UsbDevice*>(self);
    std::lock_guard<std::recursive_mutex> lock(lab_lock());
    d->pump();
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::size_t n = std::min<std::size_t>(d->in_bytes_.size(), static_cast<std::size_t>(arg->data_len));
    if (n == 0) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return TRUE;
    }
    std::copy_n(d->in_bytes_.begin(), n, arg->data);
    d->in_bytes_.erase(d->in_bytes_.begin(), d->in_bytes_.begin() + static_cast<long>(n));
    umockdev_ioctl_client_complete(client, static_cast<glong>(n), 0);
    return TRUE;
}

gboolean UsbDevice::on_kernel_write(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
{
    auto* d = static_cast<UsbDevice*>(self);
    std::lock_guard<std::recursive_mutex> lock(lab_lock());
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    d->log_.log(d->cfg_.serial, "kernel-write %d", arg->data_len);
    d->bulk_out(arg->data, static_cast<std::size_t>(arg->data_len));
    umockdev_ioctl_client_complete(client, arg->data_len, 0);
    return TRUE;
}

} // namespace vmusbsim
