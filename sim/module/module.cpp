#include "sim/module/module.h"

namespace vmsim {

SimModule::SimModule(const ModuleConfig& cfg, EventLog& log)
    : cfg_(cfg), log_(log), started_(std::chrono::steady_clock::now()), slots_(cfg.slots.size())
{
    if (cfg.in_loader)
        up_.phase = UpgradePhase::Loader;
    auto ro8 = [&](uint8_t c, uint32_t v) { options_[c] = Option{Kind::U8, false, v, {}, 0}; };
    auto rw8 = [&](uint8_t c, uint32_t v) { options_[c] = Option{Kind::U8, true, v, {}, 0}; };
    auto ro32 = [&](uint8_t c, uint32_t v) { options_[c] = Option{Kind::U32, false, v, {}, 0}; };
    auto rw32 = [&](uint8_t c, uint32_t v) { options_[c] = Option{Kind::U32, true, v, {}, 0}; };
    auto call = [&](uint8_t c) { options_[c] = Option{Kind::Call, true, 0, {}, 0}; };
    auto bytes = [&](uint8_t c, std::vector<uint8_t> v, std::size_t max) {
        options_[c] = Option{Kind::Bytes, true, 0, std::move(v), max};
    };
    ro8(1, cfg.address);
    rw8(2, *cfg.router_address);
    rw8(3, cfg.hb_ms / 100 > 255 ? 255 : cfg.hb_ms / 100);
    rw8(4, 0);
    rw8(6, 0);
    ro32(7, cfg.version);
    ro8(8, cfg.model);
    ro32(9, cfg.serial);
    call(10);
    call(11);
    ro32(12, 5000000);
    ro8(13, 0);
    ro8(14, cfg.address);
    rw8(15, 0);
    ro8(16, 0);
    rw8(20, 0);
    ro32(21, 250000);
    ro32(22, 0); // uptime, computed when read
    ro32(23, 41000);
    call(24);
    ro32(25, 12000000);
    ro32(26, 300000);
    ro32(27, 35500);
    ro32(28, 21000);
    ro8(29, 1);
    rw8(30, 0);
    bytes(31, {}, 4096);
    bytes(32, std::vector<uint8_t>(cfg.name.begin(), cfg.name.end()), 32);
    ro32(33, 10000000);
    rw32(34, 10000000);
    ro32(35, 0);
    call(37);
    rw8(38, 0);
    ro32(40, 0x00010000);
    ro32(41, 0);
    rw8(42, 255);
    ro32(43, cfg.build);
    ro32(45, cfg.features);
}

SimModule* SimModule::bus_module(uint8_t address) const
{
    auto it = bus_.find(address);
    return it == bus_.end() ? nullptr : it->second;
}

bool SimModule::routes_to(uint8_t address) const
{
    if (!bus_module(address))
        return false;
    if (!cfg_.strict_route)
        return true;
    auto it = options_.find(20);
    return it != options_.end() && it->second.value != 0;
}

const Option* SimModule::option(uint8_t code) const
{
    auto it = options_.find(code);
    return it == options_.end() ? nullptr : &it->second;
}

const std::vector<uint8_t>* SimModule::factory_record(uint8_t index) const
{
    auto it = cfg_.factory.find(index);
    return it == cfg_.factory.end() ? nullptr : &it->second;
}

const std::vector<uint8_t>* SimModule::slot(std::size_t index) const
{
    return index < slots_.size() ? &slots_[index] : nullptr;
}

std::vector<Packet> SimModule::handle(const Packet& p)
{
    if (p.data.empty())
        return {};
    switch (p.data[0]) {
    case cmd::SYS:
        return handle_system(p);
    case cmd::QUERY:
        return handle_query(p);
    case cmd::DEBUG:
        return handle_debug(p);
    case cmd::FACTORY:
        return handle_factory(p);
    case cmd::SLOT:
        return handle_slot(p);
    case cmd::I2C:
        return is_router() ? handle_i2c(p) : Packets{};
    case cmd::UPGRADE:
        return handle_upgrade(p);
    default:
        break;
    }
    // Commands outside the raw set are entity requests; this module has no such entity.
    static constexpr uint8_t raw[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
    for (uint8_t r : raw)
        if (p.data[0] == r)
            return {};
    if (p.data.size() < 3 || !(p.data[1] & 0xC0))
        return {};
    uint8_t opt = (p.data[1] & 0x80) ? static_cast<uint8_t>(p.data[1] | 0xC0) : static_cast<uint8_t>(p.data[1] & 0x3F);
    log_.log(cfg_.serial, "unknown-entity %u", p.data[0]);
    return {reply({p.data[0], opt, static_cast<uint8_t>(0x80 | (p.data[2] & 0x1F)), err::InvalidEntity})};
}

} // namespace vmsim
