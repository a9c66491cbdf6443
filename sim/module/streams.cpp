#include "sim/module/streams.h"

#include "sim/module/module.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>

namespace vmsim {

namespace {

[[noreturn]] void bad(const std::string& what) { throw std::runtime_error("stream: " + what); }

uint32_t field(const std::string& v, uint64_t max)
{
    try {
        std::size_t used = 0;
        unsigned long long n = std::stoull(v, &used, 0);
        if (used != v.size() || n > max)
            bad("value out of range: " + v);
        return static_cast<uint32_t>(n);
    } catch (const std::logic_error&) {
        bad("not a number: " + v);
    }
}

unsigned value_width(uint8_t type)
{
    switch (type) {
    case 1:
    case 5:
        return 1;
    case 2:
    case 6:
        return 2;
    default:
        return 4;
    }
}

void put_be(std::vector<uint8_t>& d, uint64_t v, unsigned bytes)
{
    for (unsigned i = bytes; i-- > 0;)
        d.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

bool matches(uint8_t wanted, uint8_t have) { return wanted == kStreamWildcard || wanted == have; }

} // namespace

StreamSource parse_stream_source(const std::string& value)
{
    std::vector<std::string> parts;
    std::string cur;
    std::istringstream in(value);
    while (std::getline(in, cur, ':'))
        parts.push_back(cur);
    if (parts.size() < 4 || parts.size() > 9)
        bad("expected CMD:OPT:IDX:TYPE[:PERIOD_MS[:COUNT[:FIRST[:STEP[:SUBINDEX]]]]]: " + value);
    StreamSource s;
    s.command = static_cast<uint8_t>(field(parts[0], 254));
    s.option = static_cast<uint8_t>(field(parts[1], 63));
    s.index = static_cast<uint8_t>(field(parts[2], 31));
    s.type = static_cast<uint8_t>(field(parts[3], 7));
    if (s.type == 0)
        bad("sample type must be 1 to 7: " + value);
    if (parts.size() > 4)
        s.period_ms = field(parts[4], 3600000);
    if (s.period_ms == 0)
        bad("period must be at least 1 ms: " + value);
    if (parts.size() > 5)
        s.count = field(parts[5], 0xFFFFFFFFu);
    if (parts.size() > 6)
        s.first = field(parts[6], 0xFFFFFFFFu);
    if (parts.size() > 7)
        s.step = field(parts[7], 0xFFFFFFFFu);
    if (parts.size() > 8)
        s.subindex = static_cast<uint8_t>(field(parts[8], 255));
    return s;
}

std::vector<Packet> stream_sample(uint8_t address, const StreamSource& s, uint64_t timestamp_us, uint32_t value,
                                  bool short_sample)
{
    std::vector<uint8_t> d{s.command, s.option, static_cast<uint8_t>(0x40 | s.index), s.type};
    if (s.type == 4) {
        // A value too long for one packet: the timestamp and the value's upper half,
        // then its lower half, chained by the sequence byte.
        put_be(d, timestamp_us, 8);
        put_be(d, value, 4);
        d.push_back(0x80);
        std::vector<uint8_t> tail{s.command, s.option, static_cast<uint8_t>(0x40 | s.index), s.type};
        put_be(tail, ~value, 4);
        tail.push_back(0x01);
        return {Packet{address, std::move(d)}, Packet{address, std::move(tail)}};
    }
    if (s.type >= 5)
        d.push_back(s.subindex);
    put_be(d, timestamp_us, 8);
    unsigned width = value_width(s.type);
    put_be(d, value, width);
    if (short_sample)
        d.pop_back();
    d.push_back(0); // sequence byte: a single-packet sample
    return {Packet{address, std::move(d)}};
}

std::vector<Packet> LinkStreams::handle(SimModule& m, const Packet& p, Clock::time_point now)
{
    const auto& d = p.data;
    if (d.size() < 3)
        return {};
    const uint8_t code = d[1] & 0x3F;
    const bool get = d[1] & 0x40, set = d[1] & 0x80;
    const uint8_t idx = d[2] & 0x1F;
    if (get == set)
        return {};
    const uint8_t ropt = get ? code : static_cast<uint8_t>(code | 0xC0);
    auto answer = [&](std::vector<uint8_t> data) { return std::vector<Packet>{Packet{m.address(), std::move(data)}}; };
    auto error = [&](uint8_t e) {
        log_.log(m.serial(), "stream-error %s %u %u", get ? "get" : "set", code, e);
        return answer({kCmdStream, ropt, static_cast<uint8_t>(0x80 | idx), e});
    };

    if (m.config().mis.stream_deny)
        return error(*m.config().mis.stream_deny);
    if (idx != 0)
        return error(err::IndexRange);
    if (get) {
        if (code != 1)
            return error(err::InvalidOption);
        return answer({kCmdStream, ropt, idx, static_cast<uint8_t>(streaming() ? 1 : 0)});
    }
    if (code != 1 && code != 2)
        return error(err::InvalidOption);
    if (d.size() != 7)
        return error(err::Size);
    const uint32_t v = (uint32_t{d[3]} << 24) | (uint32_t{d[4]} << 16) | (uint32_t{d[5]} << 8) | d[6];
    const uint8_t module = static_cast<uint8_t>(v >> 24), command = static_cast<uint8_t>(v >> 16),
                  option = static_cast<uint8_t>(v >> 8), index = static_cast<uint8_t>(v);
    if (module != m.address())
        return error(err::Param);

    const auto& sources = m.config().streams;
    unsigned n = 0;
    if (code == 1) {
        for (std::size_t i = 0; i < sources.size(); ++i) {
            const auto& s = sources[i];
            if (!matches(command, s.command) || !matches(option, s.option) || !matches(index, s.index))
                continue;
            bool running = std::any_of(active_.begin(), active_.end(),
                                       [&](const Active& a) { return a.module == &m && a.source == i; });
            if (!running) {
                active_.push_back(Active{&m, i, now, 0});
                ++n;
            }
        }
        log_.log(m.serial(), "stream-enable %u %u %u started=%u", command, option, index, n);
    } else {
        auto gone = std::remove_if(active_.begin(), active_.end(), [&](const Active& a) {
            const auto& s = sources[a.source];
            return a.module == &m && matches(command, s.command) && matches(option, s.option) &&
                   matches(index, s.index);
        });
        n = static_cast<unsigned>(active_.end() - gone);
        active_.erase(gone, active_.end());
        log_.log(m.serial(), "stream-disable %u %u %u stopped=%u", command, option, index, n);
    }
    return answer({kCmdStream, ropt, idx});
}

std::vector<std::pair<SimModule*, Packet>> LinkStreams::due(Clock::time_point now)
{
    std::vector<std::pair<SimModule*, Packet>> out;
    for (auto& a : active_) {
        const auto& s = a.module->config().streams[a.source];
        while (a.next <= now && (s.count == 0 || a.sent < s.count)) {
            auto since = a.next - a.module->started();
            uint64_t us = since.count() < 0
                              ? 0
                              : static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(since).count());
            uint32_t value = s.first + a.sent * s.step;
            for (auto& p : stream_sample(a.module->address(), s, us, value, a.module->config().mis.short_sample))
                out.emplace_back(a.module, std::move(p));
            ++a.sent;
            a.next += std::chrono::milliseconds(s.period_ms);
        }
    }
    // A stream that sent its configured count is finished.
    active_.erase(std::remove_if(active_.begin(), active_.end(),
                                 [](const Active& a) {
                                     unsigned c = a.module->config().streams[a.source].count;
                                     return c != 0 && a.sent >= c;
                                 }),
                  active_.end());
    return out;
}

std::optional<LinkStreams::Clock::time_point> LinkStreams::next_deadline() const
{
    std::optional<Clock::time_point> t;
    for (const auto& a : active_)
        if (!t || a.next < *t)
            t = a.next;
    return t;
}

} // namespace vmsim
