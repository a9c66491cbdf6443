#pragma once
// Helpers shared by the device listing and the update and recovery flows:
// switching a module's network server off, reading its firmware identity, and
// finding out on which link type a module is reachable.
#include <cstdint>

#include "app/UpdaterDisplayInterface.h"
#include "lib/common/aError.h"
#include "lib/common/linkSpec.h"
#include "lib/object/Module.h"
#include "updater/DeviceInfo.h"

// Every module the updater opens talks over a direct engine link: no shared
// server, and no retry with another link family.
aErr _disableEther(Corvane::Velmarine::Module& module, UpdaterDisplayInterface& display);
// The module's build number, 0 on any failure.
uint32_t _get_build_number(Corvane::Velmarine::Module& module);
// Fills the version and the module and router addresses.
aErr _get_version(Corvane::Velmarine::Module& module, DeviceInfo& info);
// Fills the device name of firmware that has one (2.10.4 and later).
aErr _get_device_name(Corvane::Velmarine::Module& module, DeviceInfo& info);
// The link type (USB first, then TCP/IP) on which the module answers discovery; 0 when none.
uint32_t _discover_link_type(uint32_t serialNumber);

// Capacity of the name read from a device.
constexpr uint32_t kDeviceNameCapacity = 32;
