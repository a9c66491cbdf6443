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

bool Updater::Update_Firmware(uint32_t, uint32_t, const std::string&, uint8_t, uint32_t, bool) {
    not_available(display, "Update_Firmware");
    return false;
}
