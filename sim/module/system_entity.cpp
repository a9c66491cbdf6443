// The system entity (command 3): option reads and writes, actions, byte strings.
#include "sim/module/module.h"

#include <string>

namespace vmsim {

namespace {

constexpr uint8_t kOptionFingerprint = 39;

void put32(std::vector<uint8_t>& d, uint32_t v)
{
    d.push_back(static_cast<uint8_t>(v >> 24));
    d.push_back(static_cast<uint8_t>(v >> 16));
    d.push_back(static_cast<uint8_t>(v >> 8));
    d.push_back(static_cast<uint8_t>(v));
}

std::string hex(const std::vector<uint8_t>& b)
{
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (uint8_t c : b) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

} // namespace

uint32_t SimModule::live_value(uint8_t code, const Option& o) const
{
    if (code == 22)
        return static_cast<uint32_t>(
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started_).count());
    return o.value;
}

std::vector<Packet> SimModule::handle_system(const Packet& p)
{
    const auto& d = p.data;
    if (d.size() < 3)
        return {};
    const uint8_t code = d[1] & 0x3F;
    const bool get = d[1] & 0x40, set = d[1] & 0x80;
    const uint8_t idx = d[2] & 0x1F;
    if (get == set) // neither a read nor a write request (or both): not for us
        return {};
    const uint8_t ropt = get ? code : static_cast<uint8_t>(code | 0xC0);
    auto error = [&](uint8_t e) {
        log_.log(cfg_.serial, "error %s %u %u", get ? "get" : "set", code, e);
        return Packets{reply({cmd::SYS, ropt, static_cast<uint8_t>(0x80 | idx), e})};
    };

    if (auto deny = cfg_.mis.deny.find(code); deny != cfg_.mis.deny.end())
        return error(deny->second);
    if (code == kOptionFingerprint && !cfg_.fingerprint.empty()) {
        // A recovery loader reports the chip's identification, one word per subindex.
        if (!get)
            return error(err::Permission);
        if (d.size() != 4)
            return error(err::Size);
        if (idx != 0 || d[3] >= cfg_.fingerprint.size())
            return error(err::IndexRange);
        // The answer is the plain 32-bit form, without the subindex.
        std::vector<uint8_t> r{cmd::SYS, code, idx};
        put32(r, cfg_.fingerprint[d[3]]);
        return {reply(std::move(r))};
    }
    if (idx != 0)
        return error(err::IndexRange);
    auto it = options_.find(code);
    if (it == options_.end())
        return error(err::InvalidOption);
    Option& o = it->second;

    if (get) {
        if (o.kind == Kind::Call)
            return error(err::Mode);
        if (o.kind == Kind::Bytes)
            return system_bytes_get(code, idx, o);
        // plain [cmd, opt, specifier] or subindex form [cmd, opt, specifier, sub]
        if (d.size() != 3 && d.size() != 4)
            return error(err::Size);
        std::vector<uint8_t> r{cmd::SYS, code, idx};
        if (d.size() == 4)
            r.push_back(d[3]);
        uint32_t v = live_value(code, o);
        if (o.kind == Kind::U8)
            r.push_back(static_cast<uint8_t>(v));
        else
            put32(r, v);
        return {reply(std::move(r))};
    }

    // write request
    if (!o.writable)
        return error(err::Permission);
    if (o.kind == Kind::Bytes)
        return system_bytes_set(code, idx, d);
    std::size_t width = o.kind == Kind::Call ? 0 : o.kind == Kind::U8 ? 1 : 4;
    std::size_t vstart;
    if (d.size() == 3 + width)
        vstart = 3;
    else if (d.size() == 4 + width)
        vstart = 4; // subindex form
    else
        return error(err::Size);
    uint32_t v = 0;
    for (std::size_t i = 0; i < width; ++i)
        v = (v << 8) | d[vstart + i];
    if (o.kind == Kind::Call) {
        log_.log(cfg_.serial, "call %u", code);
        return {reply({cmd::SYS, ropt, idx})};
    }
    o.value = v;
    log_.log(cfg_.serial, "set %u %u", code, v);
    std::vector<uint8_t> r{cmd::SYS, ropt, idx};
    if (o.kind == Kind::U8)
        r.push_back(static_cast<uint8_t>(v));
    else
        put32(r, v);
    return {reply(std::move(r))};
}

// [3, opt|0x80, specifier, chunk (at most 24 bytes), sequence]; sequence bit 7 = more follow.
std::vector<Packet> SimModule::system_bytes_set(uint8_t code, uint8_t idx, const std::vector<uint8_t>& d)
{
    const uint8_t ropt = static_cast<uint8_t>(code | 0xC0);
    auto error = [&](uint8_t e) {
        bytes_rx_.erase(code);
        log_.log(cfg_.serial, "error set %u %u", code, e);
        return Packets{reply({cmd::SYS, ropt, static_cast<uint8_t>(0x80 | idx), e})};
    };
    if (d.size() < 4 || d.size() > 28)
        return error(err::Size);
    const uint8_t seqb = d.back();
    const uint8_t seq = seqb & 0x7F;
    const bool more = seqb & 0x80;
    BytesRx& rx = bytes_rx_[code];
    // Sequence 0 starts a transfer, unless a long one has just wrapped round to 0.
    if (seq == 0 && !(rx.active && rx.next_seq == 0)) {
        rx = BytesRx{};
        rx.active = true;
    }
    if (!rx.active || seq != rx.next_seq)
        return error(err::Packet);
    rx.buf.insert(rx.buf.end(), d.begin() + 3, d.end() - 1);
    rx.next_seq = static_cast<uint8_t>((rx.next_seq + 1) & 0x7F);
    Option& o = options_[code];
    if (rx.buf.size() > o.max_bytes)
        return error(err::Size);
    if (more)
        return {};
    o.bytes = std::move(rx.buf);
    bytes_rx_.erase(code);
    log_.log(cfg_.serial, "set %u bytes=%s", code, hex(o.bytes).c_str());
    return {reply({cmd::SYS, ropt, idx})};
}

std::vector<Packet> SimModule::system_bytes_get(uint8_t code, uint8_t idx, const Option& o)
{
    Packets out;
    std::size_t pos = 0;
    uint8_t seq = 0;
    do {
        std::size_t n = std::min<std::size_t>(24, o.bytes.size() - pos);
        std::vector<uint8_t> r{cmd::SYS, code, idx};
        r.insert(r.end(), o.bytes.begin() + pos, o.bytes.begin() + pos + n);
        pos += n;
        bool more = pos < o.bytes.size();
        r.push_back(static_cast<uint8_t>((seq & 0x7F) | (more ? 0x80 : 0)));
        out.push_back(reply(std::move(r)));
        ++seq;
    } while (pos < o.bytes.size());
    return out;
}

} // namespace vmsim
