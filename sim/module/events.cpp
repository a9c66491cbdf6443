#include "sim/module/events.h"

#include <cstdarg>

namespace vmsim {

EventLog::~EventLog()
{
    if (f_)
        std::fclose(f_);
}

bool EventLog::open(const std::string& path)
{
    f_ = std::fopen(path.c_str(), "w");
    return f_ != nullptr;
}

void EventLog::log(uint32_t serial, const char* fmt, ...)
{
    if (!f_)
        return;
    std::fprintf(f_, "%08X ", serial);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(f_, fmt, ap);
    va_end(ap);
    std::fputc('\n', f_);
    std::fflush(f_);
}

} // namespace vmsim
