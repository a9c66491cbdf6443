// The running lab: modules built from a LabConfig, their transports, the discovery
// responder, and the event loop that serves them all on one thread.
#pragma once
#include "sim/module/channel.h"
#include "sim/module/config.h"
#include "sim/module/events.h"
#include "sim/module/module.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace vmsim {

class Lab {
public:
    explicit Lab(const LabConfig& cfg);
    // Opens every endpoint and prints one line per endpoint, then "ready", to out:
    //   tcp <serial> <port> | serial <serial> <pty path> | bus <serial> <router serial> <address>
    //   | discovery <port>
    // Returns false with a message in error() when something could not be opened.
    bool start(std::FILE* out);
    // Serves until stop becomes true.
    void run(const std::atomic<bool>& stop);
    const std::string& error() const { return error_; }
    SimModule* module(uint32_t serial) const;

private:
    LabConfig cfg_;
    EventLog log_;
    std::vector<std::unique_ptr<SimModule>> modules_;
    std::vector<std::unique_ptr<Channel>> channels_;
    std::string error_;
};

} // namespace vmsim
