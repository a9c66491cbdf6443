#pragma once
// Console rendering of command results: device lists, build lists, fingerprints, tokens.
#include <cstdint>
#include <vector>

#include "app/UpdaterDisplayInterface.h"
#include "updater/DeviceInfo.h"
#include "updater/Fingerprint.h"
#include "updater/Updater.h"

// `linkType` selects the heading (1 USB, 2 TCP/IP, anything else unknown); each row
// is laid out by the link type of its own entry.
void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                          uint32_t linkType);
void _display_builds(UpdaterDisplayInterface& display, const BuildList& builds, uint32_t serialNumber);
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);
void _display_jwt(UpdaterDisplayInterface& display, const std::string& token);
