#include "app/Log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

uint32_t Log::package_bitmask = 0;
FILE* Log::fh = nullptr;
bool Log::timestamped = false;
const char* const Log::TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
const char* const Log::SEPARATOR = " | ";

void Log::log(unsigned package, const char* format, ...) {
    if (package != 0 && (package & package_bitmask) == 0) return;

    if (timestamped && format != nullptr && std::strlen(format) > 10) {
        char stamp[128];
        std::time_t now = std::time(nullptr);
        std::tm utc{};
        gmtime_r(&now, &utc);
        if (std::strftime(stamp, sizeof stamp, TIMESTAMP_FORMAT, &utc) > 0) {
            std::fputs(stamp, stdout);
            std::fputs(SEPARATOR, stdout);
        }
    }

    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (fh != nullptr) std::fputs(text, fh);
}
