#include "updater/path.h"

#include <cstdarg>

#include "lib/unix/aDirectory.h"

std::string BuildPath(const char* first, ...)
{
    if (!first)
        return {};
    std::string path(first);
    va_list args;
    va_start(args, first);
    while (const char* component = va_arg(args, const char*)) {
        path += aDIR_PATH_SEP;
        path += component;
    }
    va_end(args);
    return path;
}

std::string BuildPath(std::initializer_list<std::string> components)
{
    std::string path;
    bool firstOne = true;
    for (const std::string& component : components) {
        if (!firstOne)
            path += aDIR_PATH_SEP;
        path += component;
        firstOne = false;
    }
    return path;
}
