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
    if (!f_ && !listener_)
        return;
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    std::vsnprintf(text.data(), text.size() + 1, fmt, again);
    va_end(again);
    if (f_) {
        std::fprintf(f_, "%08X %s\n", serial, text.c_str());
        std::fflush(f_);
    }
    if (listener_)
        listener_(serial, text);
}

} // namespace vmsim
