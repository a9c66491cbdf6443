#pragma once
// The serial download protocol over the boot ROM's USB HID interface (hidapi).
#include <cstdint>

#include "recovery/SDPLoader_Interface.h"

struct hid_device_;

class HID_SDPLoader : public SDPLoader_Interface {
public:
    static constexpr uint16_t IMX_VENDOR = 0x1FC9;
    static constexpr uint16_t IMX_PRODUCT = 0x0130;
    // Report 3 (security mode) keeps its identifier and word; report 4 is kept whole.
    static constexpr size_t REPLY_SIZE = 70;

    HID_SDPLoader(uint16_t vendor, uint16_t product);
    ~HID_SDPLoader() override;
    HID_SDPLoader(const HID_SDPLoader&) = delete;
    HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

    bool init() override;
    int writeData(const std::vector<uint8_t>& packet) override;
    int readData(std::vector<uint8_t>& reply, int timeoutMs) override;
    bool getDataFromBuffer(const std::vector<uint8_t>& reply, size_t index, uint32_t& value) override;

    // Adds one input report of n bytes, as hidapi delivered it, to the reply: report 3
    // keeps its identifier and the 4-byte word, any other report all of its bytes.
    // Returns the bytes added.
    static int appendReport(std::vector<uint8_t>& reply, const unsigned char* report, int n);

private:
    hid_device_* handle_ = nullptr;
    uint16_t vendor_;
    uint16_t product_;
};
