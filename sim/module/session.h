// One link between a host and a directly reachable simulated module (a TCP
// connection or the serial line): address queries, route forcing, heartbeats,
// routing to bus modules, and the configured misbehaviour. Transport-free: the
// transport hands in complete packets and sends what due() returns.
#pragma once
#include "sim/module/module.h"
#include "sim/module/streams.h"

#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <vector>

namespace vmsim {

class Session {
public:
    using Clock = std::chrono::steady_clock;

    // Without heartbeats_now, heartbeats start with the first packet received.
    Session(SimModule& top, EventLog& log, Clock::time_point now, bool heartbeats_now = true);

    void receive(const Packet& p, Clock::time_point now);
    // Packets whose time has come, oldest first (heartbeats included).
    std::vector<Packet> due(Clock::time_point now);
    std::optional<Clock::time_point> next_deadline() const;
    // The configured drop point was reached: the transport ends the link.
    bool dropped() const { return dropped_; }
    // Logs the link's totals when it ends.
    void log_summary(const char* transport);

    unsigned received() const { return received_; }
    unsigned hb_sent() const { return hb_sent_; }
    unsigned hb_ok() const { return hb_ok_; }
    unsigned hb_bad() const { return hb_bad_; }

private:
    void queue(const SimModule& from, Packet p, Clock::time_point now, bool link_level);
    void start_heartbeats(Clock::time_point now);

    SimModule& top_;
    EventLog& log_;
    std::multimap<Clock::time_point, Packet> out_;
    std::optional<Clock::time_point> next_hb_;
    std::deque<uint8_t> hb_expect_; // answers still owed for heartbeats sent
    uint8_t hb_value_ = 0;
    unsigned received_ = 0, hb_sent_ = 0, hb_ok_ = 0, hb_bad_ = 0, hb_missed_ = 0;
    bool dropped_ = false;
    LinkStreams streams_; // streams the host enabled on this link
};

} // namespace vmsim
