#include "sim/module/session.h"
#include "sim/module/faults.h"

#include <algorithm>

namespace vmsim {

Session::Session(SimModule& top, EventLog& log, Clock::time_point now, bool heartbeats_now)
    : top_(top), log_(log), streams_(log)
{
    if (heartbeats_now)
        start_heartbeats(now);
}

void Session::start_heartbeats(Clock::time_point now)
{
    const auto& c = top_.config();
    if (c.hb_ms && !c.mis.silent && !next_hb_)
        next_hb_ = now + std::chrono::milliseconds(c.hb_ms);
}

void Session::queue(const SimModule& from, Packet p, Clock::time_point now, bool link_level)
{
    const Misbehaviour& m = from.config().mis;
    if (m.silent || top_.config().mis.silent)
        return;
    auto when = now;
    if (m.late_ms) {
        bool match = m.late_cmd < 0 && m.late_opt < 0;
        if (!link_level && !p.data.empty() && (m.late_cmd < 0 || p.data[0] == m.late_cmd)) {
            match = true;
            if (m.late_opt >= 0)
                match = p.data.size() > 1 && (p.data[1] & 0x3F) == m.late_opt;
        }
        if (match)
            when += std::chrono::milliseconds(m.late_ms);
    }
    if (!link_level && m.wrong_length && p.data.size() > 1 &&
        (m.wrong_length_cmd < 0 || p.data[0] == m.wrong_length_cmd))
        p.data.pop_back();
    if (!link_level && !faults::on_answer(from, p, log_))
        return;
    out_.emplace(when, std::move(p));
}

void Session::receive(const Packet& p, Clock::time_point now)
{
    if (dropped_)
        return;
    if (faults::away(top_, now)) { // a module that dropped off takes no new link
        dropped_ = true;
        next_hb_.reset();
        return;
    }
    ++received_;
    const auto& mis = top_.config().mis;
    if (mis.drop_after && received_ >= mis.drop_after) {
        log_.log(top_.serial(), "drop %u", received_);
        // Answers already owed still go out before the transport ends the link.
        dropped_ = true;
        next_hb_.reset();
        return;
    }
    start_heartbeats(now);

    if (p.address == kAddrSync) {
        if (p.data.empty())
            queue(top_, Packet{top_.address(), {}}, now, true);
        return;
    }
    if (p.address == kAddrForceRoute) {
        if (p.data.size() == 1) {
            top_.set_force_route(p.data[0] != 0);
            log_.log(top_.serial(), "forceroute %u", p.data[0]);
        }
        return;
    }
    if (p.address & 1)
        return;

    if (p.address == top_.address()) {
        if (p.data.size() == 2 && p.data[0] == cmd::HB) { // the host's heartbeat answer
            // Answers come in order; one that skips ahead means the ones before it were lost.
            auto it = std::find(hb_expect_.begin(), hb_expect_.end(), p.data[1]);
            if (it != hb_expect_.end()) {
                ++hb_ok_;
                hb_expect_.erase(hb_expect_.begin(), it + 1);
            } else {
                ++hb_bad_;
                log_.log(top_.serial(), "hb-bad %u", p.data[1]);
            }
            return;
        }
        if (!p.data.empty() && p.data[0] == kCmdStream) { // streams are state of the link
            for (auto& r : streams_.handle(top_, p, now))
                queue(top_, std::move(r), now, false);
            return;
        }
        if (faults::vanishes_on(top_, p, now, log_)) {
            dropped_ = true;
            next_hb_.reset();
            return;
        }
        for (auto& r : top_.handle(p))
            queue(top_, std::move(r), now, false);
        if (top_.take_reboot()) {
            // A rebooting module's link goes down; answers already owed still go out.
            log_.log(top_.serial(), "link-down reboot");
            dropped_ = true;
            next_hb_.reset();
        }
        return;
    }
    if (SimModule* bus = top_.bus_module(p.address)) {
        if (!top_.routes_to(p.address)) {
            log_.log(top_.serial(), "unrouted 0x%02X", p.address);
            return;
        }
        if (!p.data.empty() && p.data[0] == kCmdStream) {
            for (auto& r : streams_.handle(*bus, p, now))
                queue(*bus, std::move(r), now, false);
            return;
        }
        if (faults::vanishes_on(*bus, p, now, log_) || faults::away(*bus, now))
            return; // a bus module that dropped off leaves its packets unanswered
        for (auto& r : bus->handle(p))
            queue(*bus, std::move(r), now, false);
        bus->take_reboot(); // behind a router the link stays up
        return;
    }
    log_.log(top_.serial(), "no-module 0x%02X", p.address);
}

std::vector<Packet> Session::due(Clock::time_point now)
{
    std::vector<Packet> out;
    if (next_hb_ && *next_hb_ <= now) {
        // More than one answer outstanding: the host let a heartbeat go unanswered.
        if (hb_expect_.size() > 1 && ++hb_missed_ == 1)
            log_.log(top_.serial(), "hb-missed");
        if (hb_expect_.size() > 8)
            hb_expect_.pop_front();
        Packet hb{top_.address(), {cmd::HB, hb_value_}};
        hb_expect_.push_back(static_cast<uint8_t>(hb_value_ + 2));
        hb_value_ ^= 1;
        ++hb_sent_;
        out_.emplace(now, std::move(hb));
        *next_hb_ = now + std::chrono::milliseconds(top_.config().hb_ms);
    }
    if (!dropped_)
        for (auto& [from, p] : streams_.due(now))
            queue(*from, std::move(p), now, false);
    while (!out_.empty() && out_.begin()->first <= now) {
        out.push_back(std::move(out_.begin()->second));
        out_.erase(out_.begin());
    }
    return out;
}

std::optional<Session::Clock::time_point> Session::next_deadline() const
{
    std::optional<Clock::time_point> t = next_hb_;
    if (!out_.empty() && (!t || out_.begin()->first < *t))
        t = out_.begin()->first;
    if (auto s = streams_.next_deadline(); s && !dropped_ && (!t || *s < *t))
        t = s;
    return t;
}

void Session::log_summary(const char* transport)
{
    log_.log(top_.serial(), "disconnect %s packets=%u hb_sent=%u hb_ok=%u hb_bad=%u", transport, received_,
             hb_sent_, hb_ok_, hb_bad_);
}

} // namespace vmsim
