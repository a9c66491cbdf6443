// In-process harness for the simulated module: a Session over modules built from
// description lines, driven with request packets and a hand-moved clock.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/module/config.h"
#include "sim/module/events.h"
#include "sim/module/module.h"
#include "sim/module/session.h"

namespace simtest {

using vmsim::Packet;
using Bytes = std::vector<uint8_t>;

class Bench {
public:
    // Description lines as in a lab file; the first line is the module on the link.
    explicit Bench(const std::string& text)
    {
        vmsim::parse_config_text(text, cfg_);
        for (auto& m : cfg_.modules)
            modules_.push_back(std::make_unique<vmsim::SimModule>(m, log_));
        for (auto& m : modules_)
            if (m->config().role == vmsim::Role::Bus)
                for (auto& r : modules_)
                    if (r->serial() == m->config().parent)
                        r->attach(m.get());
        now_ = vmsim::Session::Clock::now();
        session_ = std::make_unique<vmsim::Session>(*modules_[0], log_, now_);
    }

    vmsim::SimModule& top() { return *modules_[0]; }
    vmsim::SimModule& module(std::size_t i) { return *modules_[i]; }
    vmsim::Session& session() { return *session_; }

    // Sends one request and returns what is due at once.
    std::vector<Packet> ask(uint8_t address, Bytes data)
    {
        session_->receive(Packet{address, std::move(data)}, now_);
        return session_->due(now_);
    }
    std::vector<Packet> ask(Bytes data) { return ask(top().address(), std::move(data)); }
    // The single answer's data bytes; fails the test when there is not exactly one.
    Bytes one(uint8_t address, Bytes data)
    {
        auto r = ask(address, std::move(data));
        EXPECT_EQ(r.size(), 1u);
        return r.empty() ? Bytes{} : r[0].data;
    }
    Bytes one(Bytes data) { return one(top().address(), std::move(data)); }

    std::vector<Packet> advance(unsigned ms)
    {
        now_ += std::chrono::milliseconds(ms);
        return session_->due(now_);
    }

private:
    vmsim::LabConfig cfg_;
    vmsim::EventLog log_;
    std::vector<std::unique_ptr<vmsim::SimModule>> modules_;
    vmsim::Session::Clock::time_point now_;
    std::unique_ptr<vmsim::Session> session_;
};

} // namespace simtest
