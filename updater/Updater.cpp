#include "updater/Updater.h"

#include <stdexcept>

#include "updater/UpdaterStore.h"

Updater::Updater(const std::string& serverUrl_, const std::string& storageDirectory_,
                 UpdaterDisplayInterface& display_)
    : serverUrl(serverUrl_), storageDirectory(storageDirectory_), display(display_) {}

void Updater::Set_UEIBytes_Load(bool enable) { ueiBytesLoad = enable; }

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& storageDirectory, const char* caller) {
    try {
        return std::make_unique<UpdaterStore>(storageDirectory);
    } catch (const std::runtime_error& e) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to Create UpdaterStore in: %s - Exception: %s",
                        caller, e.what());
        return nullptr;
    }
}
