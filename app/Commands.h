#pragma once
// The commands a run was asked to perform, one bit each.
#include <cstdint>

enum COMMANDS : uint32_t {
    COMMAND_DISCOVER = 0x00000001,
    COMMAND_UPDATE = 0x00000002,
    COMMAND_LIST_BUILDS = 0x00000004,
    COMMAND_GET = 0x00000008,
    COMMAND_INFO = 0x00000010,
    COMMAND_CHECK = 0x00000020,
    COMMAND_FINGERPRINT = 0x00000040,
    COMMAND_Z = 0x00000080,
    COMMAND_JWT = 0x00000100,
    COMMAND_LIST_LOCAL = 0x00000200,
    COMMAND_HELP = 0x80000000,
};

// Any of these bits means there is work to do; without one the run prints the usage.
constexpr uint32_t COMMAND_WORK_MASK = 0x000307FF;

class CommandsClass {
public:
    // ORs the bits in; true when some command is now set.
    bool Set(uint32_t commands) {
        word |= commands;
        return word != 0;
    }
    bool IsSet(uint32_t commands) const { return (word & commands) != 0; }
    uint32_t Get() const { return word; }

private:
    uint32_t word = 0;
};
