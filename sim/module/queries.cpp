// Module queries (command 0x49) and the debug echo (command 0x17).
#include "sim/module/module.h"

namespace vmsim {

uint8_t SimModule::ueiStatus(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) const
{
    if (command == cmd::UPGRADE && cfg_.uei_data) // block writes as byte strings
        return index != 0 ? err::IndexRange : (option & 0x3F) != 10 ? err::InvalidOption : (flags & 0x40) ? err::Mode : 0;
    if (command != cmd::SYS)
        return err::InvalidEntity;
    if (index != 0)
        return err::IndexRange;
    const Option* o = this->option(option & 0x3F);
    if (!o || cfg_.mis.deny.count(option & 0x3F))
        return err::InvalidOption;
    if ((flags & 0x80) && !o->writable)
        return err::Permission;
    if ((flags & 0x40) && o->kind == Kind::Call)
        return err::Mode;
    return 0;
}

std::vector<Packet> SimModule::handle_query(const Packet& p)
{
    const auto& d = p.data;
    if (d.size() < 2)
        return {};
    switch (d[1]) {
    case 0xFF: { // firmware build
        uint32_t b = cfg_.build;
        return {reply({cmd::QUERY, 0xFF, static_cast<uint8_t>(b >> 24), static_cast<uint8_t>(b >> 16),
                       static_cast<uint8_t>(b >> 8), static_cast<uint8_t>(b)})};
    }
    case 1: // is this UEI served: [0x49, 1, command, option, index, flags]
        if (d.size() != 6)
            return {};
        return {reply({cmd::QUERY, 1, d[2], d[3], d[4], ueiStatus(d[2], d[3], d[4], d[5])})};
    case 4: { // number of entities of a class
        if (d.size() != 3)
            return {};
        uint8_t n = 0;
        if (d[2] == cmd::SYS)
            n = 1;
        else if (d[2] == cmd::I2C && is_router())
            n = 1;
        else if (d[2] == cmd::UPGRADE)
            n = 1;
        return {reply({cmd::QUERY, 4, d[2], n})};
    }
    case 5: // subclasses of an entity
    case 6: // group of an entity
        if (d.size() != 4)
            return {};
        return {reply({cmd::QUERY, d[1], d[2], d[3], 0})};
    default:
        return {};
    }
}

std::vector<Packet> SimModule::handle_debug(const Packet& p)
{
    log_.log(cfg_.serial, "debug %zu", p.data.size() - 1);
    return {reply(p.data)};
}

} // namespace vmsim
