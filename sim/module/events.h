// Line log of what the simulated modules were told, for tests to assert on.
// Each line: "<serial %08X> <event> [arguments]", flushed as it is written.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace vmsim {

class EventLog {
public:
    EventLog() = default;
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    bool open(const std::string& path);
    void log(uint32_t serial, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    // Also hands every event (without the serial number) to a listener in the
    // lab, whether or not a file is open: a module's reset can change what the
    // lab shows the host.
    void set_listener(std::function<void(uint32_t, const std::string&)> listener) { listener_ = std::move(listener); }

private:
    std::FILE* f_ = nullptr;
    std::function<void(uint32_t, const std::string&)> listener_;
};

} // namespace vmsim
