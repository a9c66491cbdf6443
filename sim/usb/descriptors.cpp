#include "sim/usb/usb_device.h"

#include <cstdio>

namespace vmusbsim {

namespace {
void put16(std::vector<uint8_t>& v, uint16_t x)
{
    v.push_back(static_cast<uint8_t>(x & 0xFF));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
} // namespace

std::vector<uint8_t> device_descriptors(const UsbConfig& c)
{
    std::vector<uint8_t> d = {18, 1};
    put16(d, 0x0200);          // USB 2.0
    d.insert(d.end(), {0, 0, 0, 64});
    put16(d, 0x24FF);
    put16(d, c.product);
    put16(d, 0x0100);
    d.insert(d.end(), {1, 2, 3, 1}); // manufacturer, product, serial strings; one configuration

    const uint8_t endpoints = c.no_out ? 1 : 2;
    const uint16_t total = static_cast<uint16_t>(9 + 9 + 7 * endpoints);
    std::vector<uint8_t> cfg = {9, 2};
    put16(cfg, total);
    cfg.insert(cfg.end(), {1, 1, 0, 0x80, 50});
    // The vendor interface the host looks for: class 0xFF, subclass 0x88, protocol 0x10.
    cfg.insert(cfg.end(), {9, 4, 0, 0, endpoints, 0xFF, 0x88, 0x10, 0});
    cfg.insert(cfg.end(), {7, 5, 0x81, 0x02});
    put16(cfg, c.in_max);
    cfg.push_back(0);
    if (!c.no_out) {
        cfg.insert(cfg.end(), {7, 5, 0x02, 0x02});
        put16(cfg, c.out_max);
        cfg.push_back(0);
    }
    d.insert(d.end(), cfg.begin(), cfg.end());
    return d;
}

std::vector<uint8_t> string_descriptor(const UsbConfig& c, uint8_t index)
{
    if (index == 0)
        return {4, 3, 0x09, 0x04};
    std::string text;
    if (index == 1)
        text = "Corvane";
    else if (index == 2)
        text = "Velmarine module";
    else if (index == 3) {
        if (c.serial_string.empty()) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "%08X", c.serial);
            text = buf;
        } else {
            text = c.serial_string;
        }
    } else {
        return {};
    }
    std::vector<uint8_t> d = {static_cast<uint8_t>(2 + 2 * text.size()), 3};
    for (char ch : text) {
        d.push_back(static_cast<uint8_t>(ch));
        d.push_back(0);
    }
    return d;
}

} // namespace vmusbsim
