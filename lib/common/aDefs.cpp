#include "lib/common/aDefs.h"

#include <cstdarg>
#include <cstdio>

bool aVelmarineDebuggingEnable = false;
uint32_t aVelmarineDebuggingLevel = 0;

namespace {

struct ModelName {
    uint32_t code;
    const char* name;
};

// Our product line; codes missing here are modules this tool does not know by name.
constexpr ModelName kModels[] = {
    {4, "VM-Core"},          {5, "VM-Core Plus"},     {13, "VM-Router"},
    {14, "VM-Analog-8"},     {15, "VM-Analog-16"},    {16, "VM-Digital-32"},
    {17, "VM-Relay-8"},      {18, "VM-Power-2"},      {19, "VM-Temp-4"},
    {20, "VM-Serial-4"},     {21, "VM-Motor-2"},      {22, "VM-Strain-4"},
    {23, "VM-Sonar"},        {24, "VM-Compass"},      {25, "VM-GNSS"},
    {26, "VM-Depth"},        {27, "VM-Router Plus"},
};

} // namespace

extern "C" const char* aDefs_GetModelName(uint32_t model)
{
    for (const auto& m : kModels)
        if (m.code == model)
            return m.name;
    return "Unknown";
}

extern "C" void aDebug_Printf(uint32_t bit, const char* format, ...)
{
    if (!aVelmarineDebuggingEnable || (aVelmarineDebuggingLevel & bit) == 0)
        return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}
