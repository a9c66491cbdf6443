// Line log of what the simulated modules were told, for tests to assert on.
// Each line: "<serial %08X> <event> [arguments]", flushed as it is written.
#pragma once
#include <cstdint>
#include <cstdio>
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

private:
    std::FILE* f_ = nullptr;
};

} // namespace vmsim
