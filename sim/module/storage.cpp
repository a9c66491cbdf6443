// Factory data (command 0x5E) and store slots (command 4).
#include "sim/module/module.h"

namespace vmsim {

// Factory requests: [0x5E, flags|index, ...]; flags 0x40 first packet, 0x10 write,
// 0x20 close (index 0, then the transfer's byte count, most significant first).
std::vector<Packet> SimModule::handle_factory(const Packet& p)
{
    const auto& d = p.data;
    if (d.size() < 2)
        return {};
    const uint8_t flags = d[1] & 0xF0, index = d[1] & 0x0F;
    auto error = [&](uint8_t idx, uint8_t e) {
        log_.log(cfg_.serial, "factory-error %u %u", idx, e);
        fx_ = FactoryXfer{};
        return Packets{reply({cmd::FACTORY, static_cast<uint8_t>(0x80 | idx), e})};
    };

    if (flags & 0x20) { // close
        if (d.size() != 4)
            return error(0, err::Size);
        const std::size_t count = (std::size_t{d[2]} << 8) | d[3];
        if (fx_.op == FactoryXfer::Op::Write) {
            if (count != fx_.buf.size())
                return error(0, err::Size);
            cfg_.factory[fx_.index] = fx_.buf;
            log_.log(cfg_.serial, "factory-write %u %zu", fx_.index, count);
        } else if (fx_.op == FactoryXfer::Op::Read) {
            if (count != fx_.pos)
                return error(0, err::Size);
            log_.log(cfg_.serial, "factory-read %u %zu", fx_.index, count);
        } else {
            return error(0, err::Mode);
        }
        fx_ = FactoryXfer{};
        return {reply({cmd::FACTORY, 0})};
    }

    if (flags & 0x10) { // write a chunk of at most 26 bytes
        if (flags & 0x40)
            fx_ = FactoryXfer{FactoryXfer::Op::Write, index, 0, {}};
        else if (fx_.op != FactoryXfer::Op::Write || fx_.index != index)
            return error(index, err::Mode);
        fx_.buf.insert(fx_.buf.end(), d.begin() + 2, d.end());
        if (fx_.buf.size() > 65535)
            return error(index, err::Size);
        return {reply({cmd::FACTORY, index})};
    }

    // read the next chunk
    auto rec = cfg_.factory.find(index);
    if (rec == cfg_.factory.end())
        return error(index, err::NotFound);
    if (flags & 0x40)
        fx_ = FactoryXfer{FactoryXfer::Op::Read, index, 0, {}};
    else if (fx_.op != FactoryXfer::Op::Read || fx_.index != index)
        return error(index, err::Mode);
    const auto& data = rec->second;
    std::size_t n = std::min<std::size_t>(26, data.size() - fx_.pos);
    std::vector<uint8_t> r{cmd::FACTORY, index};
    r.insert(r.end(), data.begin() + fx_.pos, data.begin() + fx_.pos + n);
    fx_.pos += n;
    return {reply(std::move(r))};
}

// Store slots of store 0: [4, sub, ...]; sub 1 capacity, 2 size, 3 open for reading,
// 4 open for writing (which empties the slot), 6 read, 7 write, 8 close.
std::vector<Packet> SimModule::handle_slot(const Packet& p)
{
    const auto& d = p.data;
    if (d.size() < 3)
        return {};
    const uint8_t sub = d[1];
    auto error = [&](std::vector<uint8_t> head, uint8_t e) {
        head[1] |= 0x80;
        head.push_back(e);
        log_.log(cfg_.serial, "slot-error %u %u", sub, e);
        return Packets{reply(std::move(head))};
    };

    if (sub >= 1 && sub <= 4) {
        if (d.size() != 4)
            return {};
        const uint8_t store = d[2], slot = d[3];
        std::vector<uint8_t> head{cmd::SLOT, sub, store, slot};
        if (store != 0 || slot >= slots_.size())
            return error(head, err::IndexRange);
        if (sub <= 2) {
            uint32_t v = sub == 1 ? cfg_.slots[slot] : static_cast<uint32_t>(slots_[slot].size());
            head.push_back(static_cast<uint8_t>(v >> 8));
            head.push_back(static_cast<uint8_t>(v));
            return {reply(std::move(head))};
        }
        for (auto& [h, open] : handles_)
            if (open.slot == slot)
                return error(head, err::Busy);
        if (next_handle_ == 255)
            next_handle_ = 1;
        uint8_t h = next_handle_++;
        handles_[h] = Handle{slot, sub == 4, 0};
        if (sub == 4)
            slots_[slot].clear();
        log_.log(cfg_.serial, "slot-open %u %s", slot, sub == 4 ? "write" : "read");
        head.push_back(h);
        return {reply(std::move(head))};
    }

    const uint8_t h = d[2];
    std::vector<uint8_t> head{cmd::SLOT, sub, h};
    auto it = handles_.find(h);
    if (sub != 6 && sub != 7 && sub != 8)
        return error(head, err::Param);
    if (it == handles_.end())
        return error(head, err::NotFound);
    Handle& open = it->second;
    auto& content = slots_[open.slot];

    if (sub == 8) {
        log_.log(cfg_.serial, "slot-close %zu %zu", open.slot, content.size());
        handles_.erase(it);
        head.push_back(0);
        return {reply(std::move(head))};
    }
    if (sub == 6) {
        if (open.writing)
            return error(head, err::Mode);
        std::size_t n = std::min<std::size_t>(25, content.size() - open.pos);
        head.insert(head.end(), content.begin() + open.pos, content.begin() + open.pos + n);
        open.pos += n;
        return {reply(std::move(head))};
    }
    // sub 7: write a chunk, acknowledged with the 8-bit sum of its bytes
    if (!open.writing)
        return error(head, err::Mode);
    if (content.size() + (d.size() - 3) > cfg_.slots[open.slot])
        return error(head, err::Overrun);
    uint8_t sum = 0;
    for (std::size_t i = 3; i < d.size(); ++i) {
        content.push_back(d[i]);
        sum = static_cast<uint8_t>(sum + d[i]);
    }
    if (cfg_.mis.bad_sum)
        sum = static_cast<uint8_t>(sum + 1);
    head.push_back(sum);
    return {reply(std::move(head))};
}

} // namespace vmsim
