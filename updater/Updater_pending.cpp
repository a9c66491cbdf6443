// Operations whose flows are not part of this build yet. Each says so through the
// display and reports failure, so a run that asks for one ends with status 1 instead
// of pretending to have done the work.
#include "updater/DeviceInfo.h"
#include "updater/Updater.h"

namespace {

void not_available(UpdaterDisplayInterface& display, const char* operation) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s is not available in this build", operation);
}

}  // namespace

std::vector<DeviceInfo> Updater::Discover_Devices(uint32_t) {
    not_available(display, "Discover_Devices");
    return {};
}

std::vector<DeviceInfo> Updater::Discover_VMNetwork_Devices(uint32_t, uint32_t) {
    not_available(display, "Discover_VMNetwork_Devices");
    return {};
}

bool Updater::Update_Firmware(uint32_t, uint32_t, const std::string&, uint8_t, uint32_t, bool) {
    not_available(display, "Update_Firmware");
    return false;
}

bool Updater::Recover_Firmware(const std::string&, uint32_t, uint32_t, uint32_t, const std::string&, bool) {
    not_available(display, "Recover_Firmware");
    return false;
}

bool Updater::Get_Fingerprint(Fingerprint&, const std::string&, uint32_t, const std::string&, uint32_t, bool) {
    not_available(display, "Get_Fingerprint");
    return false;
}

// ---- TEMPORARY: the constructor and the build, download and token operations. ----
// They live here only until their real implementation lands in Updater.cpp and
// Updater_builds.cpp; delete this whole section in that same change.

Updater::Updater(const std::string& serverUrl_, const std::string& storageDirectory_,
                 UpdaterDisplayInterface& display_)
    : serverUrl(serverUrl_), storageDirectory(storageDirectory_), display(display_) {}

void Updater::Set_UEIBytes_Load(bool enable) { ueiBytesLoad = enable; }

BuildList Updater::Get_BuildList(uint32_t) {
    not_available(display, "Get_BuildList");
    return {};
}

BuildList Updater::Get_BuildListLocal(uint32_t) {
    not_available(display, "Get_BuildListLocal");
    return {};
}

std::string Updater::Get_JWT(uint32_t) {
    not_available(display, "Get_JWT");
    return {};
}

uint32_t Updater::Download_Firmware(uint32_t, const std::string&, bool, bool) {
    not_available(display, "Download_Firmware");
    return 0;
}

uint32_t Updater::Download_Firmware(const Fingerprint&, const std::string&, bool) {
    not_available(display, "Download_Firmware");
    return 0;
}
// ---- end of TEMPORARY section ----
