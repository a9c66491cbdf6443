// Streams of a simulated module: values it sends on its own, once the host has
// enabled them with command 0x5D, as timestamped sample packets on the link.
// Which values exist is configured per module (StreamSource); which of them are
// enabled is state of one link (LinkStreams), owned by the link's Session.
#pragma once
#include "sim/module/packet.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vmsim {

class SimModule;
class EventLog;

constexpr uint8_t kCmdStream = 0x5D;
constexpr uint8_t kStreamWildcard = 0xFF;

// One streamable value, from "stream=CMD:OPT:IDX:TYPE[:PERIOD_MS[:COUNT[:FIRST[:STEP[:SUBINDEX]]]]]".
struct StreamSource {
    uint8_t command = 0;
    uint8_t option = 0;     // 0..63
    uint8_t index = 0;      // 0..31
    uint8_t type = 3;       // sample type 1..7
    unsigned period_ms = 100;
    unsigned count = 0;     // samples per enable (0: until disabled)
    uint32_t first = 1;     // value of the first sample ...
    uint32_t step = 1;      // ... growing by this much per sample (cut to the type's width)
    uint8_t subindex = 0;   // carried by types 5 to 7
};

// Throws std::runtime_error with a readable message on a bad value.
StreamSource parse_stream_source(const std::string& value);

// The packets of one sample: one packet, two for the multi-packet type 4.
// short_sample drops the last value byte (the sequence byte stays last).
std::vector<Packet> stream_sample(uint8_t address, const StreamSource& s, uint64_t timestamp_us, uint32_t value,
                                  bool short_sample = false);

class LinkStreams {
public:
    using Clock = std::chrono::steady_clock;

    explicit LinkStreams(EventLog& log) : log_(log) {}

    // A command 0x5D packet addressed to module m; returns its answers.
    std::vector<Packet> handle(SimModule& m, const Packet& p, Clock::time_point now);
    // Samples whose time has come, each with the module that sends it.
    std::vector<std::pair<SimModule*, Packet>> due(Clock::time_point now);
    std::optional<Clock::time_point> next_deadline() const;
    bool streaming() const { return !active_.empty(); }

private:
    struct Active {
        SimModule* module;
        std::size_t source; // into the module's configured sources
        Clock::time_point next;
        unsigned sent;
    };
    EventLog& log_;
    std::vector<Active> active_;
};

} // namespace vmsim
