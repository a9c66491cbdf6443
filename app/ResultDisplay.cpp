#include "app/ResultDisplay.h"

#include <cstdio>
#include <cstring>

#include "lib/common/aDefs.h"
#include "updater/UpdateServerRequest.h"

namespace {

constexpr auto kInfo = UpdaterDisplayInterface::LEVEL_INFO;

const char* link_type_name(uint32_t linkType) {
    if (linkType == USB) return "USB";
    if (linkType == TCPIP) return "TCPIP";
    return "Unknown";
}

void device_row(UpdaterDisplayInterface& display, const DeviceInfo& device) {
    const linkSpec& spec = device.spec;
    const char* model = aDefs_GetModelName(spec.model);
    // A device that could not be queried shows why, whatever its link type: a TCP/IP row of
    // zeros would read as a module running firmware 0.0.0.
    if (device.error != 0) {
        display.message(kInfo, "    %08X  [Error (%d): Is someone else connected to this device?]",
                        spec.serialNumber, device.error);
    } else if (spec.type == TCPIP) {
        // The address is held in network order: its first octet is its first byte.
        uint8_t octets[4];
        std::memcpy(octets, &spec.ipAddress, sizeof octets);
        char address[24];
        std::snprintf(address, sizeof address, "[%d.%d.%d.%d]", octets[0], octets[1], octets[2], octets[3]);
        display.message(kInfo, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s",
                        spec.serialNumber, spec.module, spec.router, model, device.versionMajor,
                        device.versionMinor, static_cast<int>(device.versionPatch), device.buildNumber, address,
                        device.deviceName.c_str());
    } else {
        display.message(kInfo, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s", spec.serialNumber,
                        spec.module, spec.router, model, device.versionMajor, device.versionMinor,
                        static_cast<int>(device.versionPatch), device.buildNumber, device.deviceName.c_str());
    }
}

}  // namespace

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                          uint32_t linkType) {
    display.message(kInfo, "Discovered Devices: (%s)", link_type_name(linkType));
    if (devices.empty()) {
        display.message(kInfo, "    No devices found.");
        return;
    }
    if (linkType == USB)
        display.message(kInfo, "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
    else
        display.message(kInfo,
                        "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       "
                        "Device Name");
    for (const DeviceInfo& device : devices) device_row(display, device);
}

void _display_builds(UpdaterDisplayInterface& display, const BuildList& builds, uint32_t serialNumber) {
    if (builds.empty()) {
        display.message(kInfo, "No builds found for device [%08X]", serialNumber);
        return;
    }
    display.message(kInfo, "Build List for device [%08X]:\n", serialNumber);
    display.message(kInfo, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const auto& [build, version] : UpdateServerRequest::SortBuildsByVersion(builds))
        display.message(kInfo, "%-15.15s\t%-15.15s", build.c_str(), version.c_str());
}

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint) {
    display.message(kInfo, "[ %08X %08X %08X %08X ]", fingerprint.words[0], fingerprint.words[1],
                    fingerprint.words[2], fingerprint.words[3]);
}

void _display_jwt(UpdaterDisplayInterface& display, const std::string& token) {
    display.message(kInfo, "%s", token.c_str());
}
