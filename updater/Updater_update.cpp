// Firmware update of a running module: build choice, image preparation, connect,
// validation, the loader phase, the re-enumeration wait and the firmware phase.
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/Log.h"
#include "lib/common/aDefs.h"
#include "lib/object/SystemClass.h"
#include "lib/unix/Velmarine-C.h"
#include "lib/unix/aTime.h"
#include "updater/BirdFile.h"
#include "updater/DeviceInfo.h"
#include "updater/UpdateServerRequest.h"
#include "updater/Updater.h"
#include "updater/UpdaterEntity.h"
#include "updater/UpdaterStore.h"
#include "updater/Updater_discover.h"
#include "updater/Updater_update.h"

using Corvane::Velmarine::Module;
using Corvane::Velmarine::SystemClass;

namespace {

using Display = UpdaterDisplayInterface;

constexpr int kBlockAttempts = 5;
constexpr int kEnumerationAttempts = 15;
constexpr uint32_t kEnumerationDelayMs = 1000;

uint32_t latest_stored_build(UpdaterStoreItem& device, uint32_t serialNumber, const std::string& serverUrl,
                             Display& display) {
    std::string latest, firmware;
    UpdateServerRequest::QueryBuild(serialNumber, latest, firmware, serverUrl.empty() ? nullptr : serverUrl.c_str());
    uint32_t build = 0;
    if (latest.empty() || latest[0] < '0' || latest[0] > '9') {
        Log::log(Log::DEBUG_Updater, "Error: Could not convert %s to int.\n", latest.c_str());
        return 0;
    }
    build = static_cast<uint32_t>(std::strtoul(latest.c_str(), nullptr, 10));
    if (build == 0) return 0;
    try {
        device.ReadBirdFile(std::to_string(build) + ".bird");
    } catch (const std::exception&) {
        display.message(Display::LEVEL_INFO,
                        "New firmware is available.  Updater will proceed if valid firmware is found locally.");
        return 0;
    }
    return build;
}

uint32_t attribute_build(UpdaterStoreItem& device, const char* key) {
    const int value = device.attributes.GetInt(key);
    return value > 0 ? static_cast<uint32_t>(value) : 0;
}

// Connects the target through the routing module with the given serial number.
// Returns false (with the message shown) when the update must end without the
// generic failure line; err carries a failure that still gets it.
bool connect_through_router(Display& display, Updater& updater, Module& target, uint32_t serialNumber,
                            uint8_t moduleAddress, uint32_t routerSerialNumber, aErr& err) {
    if (moduleAddress == 0) {
        const std::vector<DeviceInfo> devices = updater.Discover_VMNetwork_Devices(routerSerialNumber, 0);
        if (devices.empty()) {
            display.message(Display::LEVEL_ERROR, "Unable to find modules on Network");
            return false;
        }
        uint16_t found = 0;
        for (const DeviceInfo& info : devices)
            if (info.spec.serialNumber == serialNumber) found = info.busAddress;
        if (found == 0) {
            display.message(Display::LEVEL_ERROR,
                            "Module address required for indirect firmware update, could not find serial number "
                            "[0x%08X] on network",
                            serialNumber);
            return false;
        }
        target.setModuleAddress(static_cast<uint8_t>(found));
    }
    auto router = std::make_unique<Module>(0, true, 0);
    err = _disableEther(*router, display);
    if (err != aErrNone) return true;
    aErr connected = router->connect(USB, routerSerialNumber);
    if (connected == aErrNotFound) connected = router->connect(TCPIP, routerSerialNumber);
    if (connected != aErrNone) {
        display.message(Display::LEVEL_ERROR, "Failed to connect to link module [%08X]", routerSerialNumber);
        return false;
    }
    err = target.connectThroughLinkModule(router.get());
    if (err != aErrNone) display.message(Display::LEVEL_ERROR, "Failed to connect to module [%08X]", serialNumber);
    return true;
}

}  // namespace

bool Updater::Update_Firmware(uint32_t serialNumber, uint32_t build, const std::string& birdFile,
                              uint8_t moduleAddress, uint32_t routerSerialNumber, bool override) {
    if (serialNumber == 0) {
        display.message(Display::LEVEL_ERROR, "Update command must specify the specific device");
        return false;
    }
    auto store = _createUpdaterStore(display, storageDirectory, "Update_Firmware");
    if (!store) return false;
    UpdaterStoreItem device;
    store->FindDevice(serialNumber, device);
    const uint32_t start = aTime_GetMSTicks();

    if (birdFile.empty()) {
        if (build == 0) build = latest_stored_build(device, serialNumber, serverUrl, display);
        if (build == 0) {
            build = attribute_build(device, "LATEST_DOWNLOAD");
            if (build) display.message(Display::LEVEL_INFO, "Updating with the Latest Download");
        }
        if (build == 0) {
            build = attribute_build(device, "LATEST_TRANSFER");
            if (build) display.message(Display::LEVEL_INFO, "Updating with the Latest Transfer");
        }
        if (build == 0) {
            display.message(Display::LEVEL_ERROR, "Could not find valid build for this device.");
            return false;
        }
    }

    BirdFile image;
    try {
        image = load_bird("Updating", birdFile, serialNumber, build, false);
    } catch (const std::runtime_error&) {
        display.message(Display::LEVEL_ERROR, "Failed to load bird file");
        return false;
    }

    if (image.hasSerialOffsets) {
        Log::log(Log::DEBUG_Updater, "Setting serial number into firmware... ");
        if (!image.ReplaceSerialNumber(serialNumber)) {
            Log::log(Log::DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
            return false;
        }
        Log::log(Log::DEBUG_Updater, " Serial Number inserted into firmware.\n");
    }

    Module target(moduleAddress, true, 0);
    aErr err = _disableEther(target, display);
    if (err == aErrNone) {
        if (routerSerialNumber != 0) {
            if (!connect_through_router(display, *this, target, serialNumber, moduleAddress, routerSerialNumber, err))
                return false;
        } else {
            err = target.connect(USB, serialNumber);
            if (err == aErrNotFound) err = target.connect(TCPIP, serialNumber);
            if (err != aErrNone) display.message(Display::LEVEL_ERROR, "Failed to connect to module [%08X]", serialNumber);
        }
        if (err == aErrNone && !override && !_validate_birdfile(display, image, target, serialNumber)) {
            display.message(Display::LEVEL_ERROR, "Birdfile failed validation");
            return false;
        }
    }

    if (err == aErrNone) err = _transfer_loader(display, target, image);

    if (err == aErrNone && !target.isConnected()) {
        // A loader that re-enumerated on USB shows up as a new device; a stale USB
        // context can keep missing it, so it is renewed every third attempt.
        target.disconnect();
        for (int attempt = 0; attempt < kEnumerationAttempts; ++attempt) {
            if ((attempt + 1) % 3 == 0) {
                Log::log(Log::DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
                Velmarine_libusb_exit();
            }
            target.discoverAndConnect(USB, serialNumber);
            if (target.isConnected()) break;
            aTime_MSSleep(kEnumerationDelayMs);
        }
    }

    if (err == aErrNone) err = _transfer_firmware(display, target, image, routerSerialNumber != 0, ueiBytesLoad);

    if (err != aErrNone) {
        Log::log(Log::DEBUG_Updater, "Failed _transfer_firmware(): %d\n", err);
        return false;
    }

    // A device updated from a file may have had no store entry yet; without one its
    // record would be saved under the attributes' default name in the working directory.
    if (!device.IsValid()) {
        try {
            device = store->AddDevice(serialNumber);
        } catch (const std::runtime_error&) {
        }
    }
    const std::string transferred = birdFile.empty() ? std::to_string(build) + ".bird" : birdFile;
    device.attributes.Add("LATEST_TRANSFER", transferred);
    device.attributes.Add("LAST_TRANSFER_DATE", KeyValueStore::TimeStamp());
    if (device.IsValid()) device.attributes.Save(device.Path() + "/" + KeyValueStore::DEFAULT_FILENAME);
    Log::log(Log::DEBUG_Updater, "Updating device firmware: \n");
    display.message(Display::LEVEL_INFO, "Update time: %.4f sec", (aTime_GetMSTicks() - start) / 1000.0);
    return true;
}

bool _validate_birdfile(Display& display, BirdFile& image, Module& module, uint32_t serialNumber) {
    if (image.GetBlocks().empty()) return false;
    if (!image.hasSerialOffsets && !image.ValidateSerialNumber(serialNumber)) return false;
    Log::log(Log::DEBUG_Updater, "UpdateFirmware() Connecting to device\n");

    SystemClass system;
    system.init(&module, 0);
    uint32_t readSerial = 0;
    aErr err = system.getSerialNumber(&readSerial);
    if (err != aErrNone) readSerial = 0;
    if (readSerial != serialNumber) {
        Log::log(Log::DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n", err);
        return false;
    }
    uint8_t model = 0;
    err = system.getModel(&model);
    if (err != aErrNone) model = 0;
    const char* name = aDefs_GetModelName(model);
    if (!image.ValidateModel(name ? name : "")) {
        display.message(Display::LEVEL_ERROR, "Connected device model and Bird file model do not match [%s] (%d)",
                        name ? name : "", err);
        return false;
    }
    return true;
}

aErr _transfer_loader(Display& display, Module& module, BirdFile& image) {
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    aErr err = entity.LoaderInit();
    if (err != aErrNone) {
        Log::log(Log::DEBUG_Updater, "Error starting loader [%d, %s].\n", err, aError_GetErrorText(err));
        return err;
    }
    display.message(Display::LEVEL_INFO, "Transferring loader to device");
    const std::vector<BirdBlock> blocks = image.FindBlocks(BLOCK_LOADER);
    display.display_progress(true);
    int number = 1;
    uint32_t total = 0;
    for (const BirdBlock& block : blocks) {
        display.message(Display::LEVEL_INFO, "Transferring loader block %d of %d, %d bytes", number,
                        static_cast<int>(blocks.size()), static_cast<int>(block.length));
        uint16_t blockSize = 0;
        err = entity.TransferPrepare(block.data, block.length, block.flags, &blockSize);
        if (err != aErrNone && err != aErrTimeout) {
            Log::log(Log::DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", err, aError_GetErrorText(err));
            break;
        }
        err = entity.LoaderTransfer(block.data, block.length);
        if (err != aErrNone) {
            // Starting a loader with a block missing would run half a program.
            Log::log(Log::DEBUG_Updater, "Error loader transfer [%d, %s].\n", err, aError_GetErrorText(err));
            break;
        }
        total += block.length;
        ++number;
    }
    display.message(Display::LEVEL_INFO, "Transferred %d blocks, %d total bytes", number - 1, static_cast<int>(total));
    display.display_progress(false);

    if (err == aErrNone) {
        display.message(Display::LEVEL_INFO, "Starting Load on Device");
        err = entity.LoaderStart();
        if (err == aErrTimeout) {
            Log::log(Log::DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
            err = aErrNone;
        } else if (err != aErrNone) {
            display.message(Display::LEVEL_ERROR, "Error starting loader [%d, %s]", err, aError_GetErrorText(err));
        }
    }
    return err;
}

aErr _transfer_firmware(Display& display, Module& module, BirdFile& image, bool throughRouter, bool ueiBytes) {
    UpdaterEntity entity;
    entity.init(&module, 0, true, throughRouter);
    if (ueiBytes && entity.CheckUEIDataSupport() == aErrNone) entity.CheckPooledPacketsSupport();

    Log::log(Log::DEBUG_Updater, "Transferring firmware to device %s\n", image.GetPath().c_str());
    const std::vector<BirdBlock> blocks = image.FindBlocks(BLOCK_FIRMWARE);
    aErr err = aErrNone;
    unsigned number = 1;
    uint32_t total = 0;
    for (const BirdBlock& block : blocks) {
        for (int attempt = 0; attempt < kBlockAttempts; ++attempt) {
            display.message(Display::LEVEL_INFO, "Transferring firmware block %u of %u, %d bytes", number,
                            static_cast<unsigned>(blocks.size()), static_cast<int>(block.length));
            if (attempt > 0) display.message(Display::LEVEL_INFO, "  Retry %d", attempt);
            uint16_t blockSize = 0;
            err = entity.TransferPrepare(block.data, block.length, block.flags, &blockSize);
            if (err != aErrNone) {
                Log::log(Log::DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", err, aError_GetErrorText(err));
                break;
            }
            err = entity.FirmwareTransfer(block.data, block.length, blockSize, display);
            if (err == aErrNone) break;
            Log::log(Log::DEBUG_Updater, "Error firmware transfer [%d, %s].\n", err, aError_GetErrorText(err));
        }
        if (err != aErrNone) {
            Log::log(Log::DEBUG_Updater, "Error firmware transfer block failed.\n");
            break;
        }
        total += block.length;
        ++number;
    }
    display.message(Display::LEVEL_INFO, "Transferred %d blocks, %d total bytes", static_cast<int>(number - 1),
                    static_cast<int>(total));
    if (err == aErrNone) err = entity.LoaderReboot(display);
    return err;
}
