#pragma once
// One device found by a listing: its link specifier and the firmware identity read from it.
#include <cstdint>
#include <string>

#include "lib/common/linkSpec.h"

struct DeviceInfo {
    linkSpec spec{};             // how the device was reached
    uint16_t busAddress = 0;     // I2C address behind a router; 0 for USB and TCP/IP listings
    uint32_t buildNumber = 0;    // 0 when the read failed
    uint8_t versionMajor = 0;
    uint8_t versionMinor = 0;
    uint32_t versionPatch = 0;
    std::string modelName;
    std::string deviceName;      // empty when not read
    int32_t error = 0;           // first aErr while querying the device; 0 when all went well
};
