// The routing module's I2C entity (command 8): the bus behind it, seen as raw
// reads and writes that a module sitting at the address acknowledges.
#include "sim/module/module.h"

namespace vmsim {

// write   [8, index, address, length, speed, bytes...] -> [8, index, address, 0, status]
// read    [8, index, address|1, length, speed]         -> [8, index, address|1, n, status, bytes...]
// pull-up [8, index, 1, flag]                          -> [8, index, 1, 0, status]
std::vector<Packet> SimModule::handle_i2c(const Packet& p)
{
    const auto& d = p.data;
    if (d.size() < 4)
        return {};
    const uint8_t idx = d[1], target = d[2];
    if (idx != 0)
        return {reply({cmd::I2C, idx, target, 0, static_cast<uint8_t>(0x80 | err::IndexRange)})};
    if (target == 1) {
        log_.log(cfg_.serial, "i2c-pullup %u", d[3]);
        return {reply({cmd::I2C, idx, 1, 0, 0})};
    }
    if (d.size() < 5)
        return {};
    const uint8_t len = d[3];
    const uint8_t bus = target & 0xFE;
    const bool present = bus_module(bus) != nullptr;
    if (target & 1) {
        log_.log(cfg_.serial, "i2c-read 0x%02X %u %s", bus, len, present ? "ack" : "nack");
        if (!present || len > 23)
            return {reply({cmd::I2C, idx, target, 0, static_cast<uint8_t>(0x80 | (present ? err::Size : err::IO))})};
        std::vector<uint8_t> r{cmd::I2C, idx, target, len, 0};
        r.resize(r.size() + len, 0);
        return {reply(std::move(r))};
    }
    if (d.size() != 5u + len) {
        log_.log(cfg_.serial, "i2c-write 0x%02X %u bad-length", bus, len);
        return {reply({cmd::I2C, idx, target, 0, static_cast<uint8_t>(0x80 | err::Size)})};
    }
    log_.log(cfg_.serial, "i2c-write 0x%02X %u %s", bus, len, present ? "ack" : "nack");
    return {reply({cmd::I2C, idx, target, 0, static_cast<uint8_t>(present ? 0 : 0x80 | err::IO)})};
}

} // namespace vmsim
