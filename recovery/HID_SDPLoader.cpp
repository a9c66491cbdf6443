#include "recovery/HID_SDPLoader.h"

#include <hidapi/hidapi.h>

#include "app/Log.h"

HID_SDPLoader::HID_SDPLoader(uint16_t vendor, uint16_t product) : vendor_(vendor), product_(product) {}

HID_SDPLoader::~HID_SDPLoader() {
    if (handle_ != nullptr) hid_close(handle_);
    hid_exit();
}

bool HID_SDPLoader::init() {
    hid_init();
    handle_ = hid_open(vendor_, product_, nullptr);
    Log::log(Log::DEBUG_iMXSerial, "handle: %p\n", static_cast<void*>(handle_));
    return handle_ != nullptr;
}

int HID_SDPLoader::writeData(const std::vector<uint8_t>& packet) {
    if (handle_ == nullptr) return -1;
    return hid_write(handle_, packet.data(), packet.size());
}

int HID_SDPLoader::readData(std::vector<uint8_t>& reply, int timeoutMs) {
    if (handle_ == nullptr) return 0;
    int appended = 0;
    unsigned char report[65];
    for (;;) {
        int n = hid_read_timeout(handle_, report, sizeof report, timeoutMs);
        if (n <= 0) break;
        appended += appendReport(reply, report, n);
    }
    return appended;
}

int HID_SDPLoader::appendReport(std::vector<uint8_t>& reply, const unsigned char* report, int n) {
    if (n <= 0) return 0;
    int keep = report[0] == 3 ? 5 : n;
    if (keep > n) keep = n;
    reply.insert(reply.end(), report, report + keep);
    return keep;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& reply, size_t index, uint32_t& value) {
    if (reply.size() != REPLY_SIZE || index > 15) return false;
    for (size_t i = 0; i < 4; ++i) value |= uint32_t(reply[index + 6 + i]) << (8 * i);
    return true;
}
