#pragma once
// Process-wide diagnostic logger. Every line carries a package bit and is written
// only when that bit was switched on (-X); package 0 is always written.
#include <cstdint>
#include <cstdio>

class Log {
public:
    enum Package : uint32_t {
        DEBUG_Updater = 0x00000001,
        DEBUG_History = 0x00000002,
        DEBUG_Attributes = 0x00000004,
        DEBUG_BirdFile = 0x00000008,
        DEBUG_Network_Unused = 0x00000010,
        DEBUG_ServerComm = 0x00000020,
        DEBUG_Network = 0x00000100,
        DEBUG_Network_SR = 0x00000200,
        DEBUG_Network_FIRM = 0x00000400,
        DEBUG_NXPSerial = 0x00001000,
        DEBUG_NXPSerial_E = 0x00002000,
        DEBUG_NXPSerial_SR = 0x00004000,
        DEBUG_APP = 0x00010000,
        DEBUG_iMXSerial = 0x10000000,
    };

    static uint32_t package_bitmask;
    static FILE* fh;
    static bool timestamped;
    static const char* const TIMESTAMP_FORMAT;
    static const char* const SEPARATOR;

    static void log(unsigned package, const char* format, ...) __attribute__((format(printf, 2, 3)));
    static void SetOutput(FILE* stream) { fh = stream; }
    static void ActivatePackage(uint32_t mask) { package_bitmask |= mask; }
    static void DeactivatePackage(uint32_t mask) { package_bitmask &= ~mask; }
};
