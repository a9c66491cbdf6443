// Everything the lab's single event loop watches: listeners, connections, the
// serial line and the discovery socket.
#pragma once
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

namespace vmsim {

using Clock = std::chrono::steady_clock;

class Channel {
public:
    virtual ~Channel() = default;
    virtual int fd() const = 0;
    virtual short events() const; // POLLIN by default
    virtual void on_ready(short revents, Clock::time_point now) = 0;
    virtual std::optional<Clock::time_point> deadline() const { return std::nullopt; }
    virtual void on_time(Clock::time_point) {}
    virtual bool closed() const { return false; }
    // Channels created while handling an event (accepted connections).
    std::vector<std::unique_ptr<Channel>> spawned;
};

} // namespace vmsim
