// Answers TCP/IP discovery requests (a 16-byte datagram starting 0x01 sent to the
// multicast group 232.2.2.2) with one unicast reply per TCP/IP module.
#pragma once
#include "sim/module/channel.h"
#include "sim/module/module.h"

#include <string>

namespace vmsim {

struct DiscoveryEntry {
    const SimModule* module;
    uint16_t port;
};

// The 16 reply bytes for one module: [1] address, [2-3] TCP port and [4-7] serial
// number least significant byte first, [12] model; the rest zero.
std::vector<uint8_t> discovery_reply(const SimModule& m, uint16_t port);

class DiscoveryResponder : public Channel {
public:
    DiscoveryResponder(uint16_t port, std::vector<DiscoveryEntry> entries, EventLog& log);
    ~DiscoveryResponder() override;
    bool ok() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }
    int fd() const override { return fd_; }
    void on_ready(short revents, Clock::time_point now) override;

private:
    int fd_ = -1;
    uint16_t port_;
    std::vector<DiscoveryEntry> entries_;
    EventLog& log_;
    std::string error_;
};

} // namespace vmsim
