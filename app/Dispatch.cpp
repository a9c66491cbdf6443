#include "app/Dispatch.h"

#include <cstdio>
#include <string>

#include "app/Log.h"
#include "app/Options.h"
#include "app/Parameters.h"
#include "app/ResultDisplay.h"
#include "app/Usage.h"
#include "lib/unix/aDirectory.h"
#include "updater/DeviceInfo.h"
#include "updater/path.h"

namespace {

constexpr auto kInfo = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto kError = UpdaterDisplayInterface::LEVEL_ERROR;

// The serial number under which a chip without one of its own is known.
constexpr uint32_t kDefaultSerialNumber = 0xDEADDEAD;

// Finds (and creates where missing) the storage directory; empty on failure, after
// saying why.
std::string prepare_storage_directory(UpdaterDisplayInterface& display, const Parameters& p) {
    std::string root = p.storageRoot;
    if (root.empty()) {
        char home[2048];
        aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
        if (err != aErrNone) {
            Log::log(Log::DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", err);
            // Without this line the run would end with status 1 and no word on why.
            display.message(kError, "Could not determine the home directory (error %d)", err);
            return {};
        }
        root = BuildPath(home, ".corvane", nullptr);
    }
    std::string directory = BuildPath(root.c_str(), "updater", nullptr);
    if (aDirectory_Ensure(directory.c_str(), 0755) != aErrNone) {
        display.message(kError, "Could not find updater directory at %s", directory.c_str());
        return {};
    }
    return directory;
}

// Decimal build text to a number; empty or non-numeric text means 0, the latest build.
uint32_t build_number(const std::string& build) {
    char* end = nullptr;
    return _get_int_arg(build.c_str(), &end);
}

int discover(UpdaterDisplayInterface& display, UpdaterCommands& updater, const Parameters& p) {
    uint32_t linkType = (p.transportGiven && p.transport != TRANSPORT_RECOVER) ? p.transport : 0;
    std::vector<DeviceInfo> devices;
    if (p.routerSerialNumber != 0) {
        display.message(kInfo, "Searching for Velmarine Network devices connected to %08X", p.routerSerialNumber);
        devices = updater.Discover_VMNetwork_Devices(p.routerSerialNumber, linkType);
    } else {
        display.message(kInfo, "Searching for Velmarine devices");
        if (linkType == 0) linkType = TRANSPORT_USB;
        devices = updater.Discover_Devices(linkType);
    }
    _display_device_list(display, devices, linkType);
    return 0;
}

int update(UpdaterDisplayInterface& display, UpdaterCommands& updater, const Parameters& p) {
    const uint32_t build = build_number(p.build);
    updater.Set_UEIBytes_Load(p.ueiBytesLoad);
    bool done;
    if (p.transport == TRANSPORT_RECOVER) {
        done = updater.Recover_Firmware(p.serialPort, build, p.baudRate, p.serialNumber, p.birdFile, p.override);
    } else {
        if (p.serialNumber == 0) {
            display.message(kError, "Must specify the specific device to be updated");
            return 1;
        }
        done = updater.Update_Firmware(p.serialNumber, build, p.birdFile, p.moduleAddress, p.routerSerialNumber,
                                       p.override);
    }
    return done ? 0 : 1;
}

bool require_serial(UpdaterDisplayInterface& display, const Parameters& p, const char* command) {
    if (p.serialNumber != 0) return true;
    display.message(kError, "Error must supply a serial number for the %s command", command);
    _display_usage(false, false);
    return false;
}

}  // namespace

std::unique_ptr<UpdaterCommands> make_updater(const std::string& serverUrl, const std::string& storageDirectory,
                                              UpdaterDisplayInterface& display) {
    return std::make_unique<Updater>(serverUrl, storageDirectory, display);
}

int run_updater(int argc, char** argv, UpdaterDisplayInterface& display, const UpdaterFactory& factory) {
    Parameters p;
    Log::SetOutput(stderr);

    if (_get_params(display, argc, argv, p) != 0) {
        _display_app_version(display);
        _display_copyright(display);
        _display_usage(false, false);
        return 1;
    }

    _display_app_version(display);

    if (p.commands.IsSet(COMMAND_HELP) || !p.commands.IsSet(COMMAND_WORK_MASK)) {
        _display_copyright(display);
        _display_usage(p.logMaskGiven, p.helpRequested);
        return 0;
    }

    const std::string storageDirectory = prepare_storage_directory(display, p);
    if (storageDirectory.empty()) return 1;

    std::unique_ptr<UpdaterCommands> updater = factory(p.serverUrl, storageDirectory, display);
    int status = 0;

    if (p.commands.IsSet(COMMAND_FINGERPRINT)) {
        if (p.serialPort.empty()) {
            display.message(kError, "Must specify the serial port used for connecting");
            return 1;
        }
        Fingerprint fingerprint{};
        if (updater->Get_Fingerprint(fingerprint, p.serialPort, kDefaultSerialNumber, p.birdFile, p.baudRate, true)) {
            _display_fingerprint(display, fingerprint);
        } else {
            display.message(kError, "Got no response from chip");
            status = 1;
        }
    }

    if (p.commands.IsSet(COMMAND_GET)) {
        if (p.serialNumber == 0) {
            display.message(kError, "-G must specify a specific device via -d");
            display.message(kError, "--help for usage information");
            return 1;
        }
        display.message(kInfo, "Retrieving firmware for device with serial number %08X", p.serialNumber);
        if (p.build.empty()) {
            display.message(kInfo, "No build specified");
            display.message(kInfo, "Using Latest build");
        } else {
            display.message(kInfo, "Retrieving firmware build %s", p.build.c_str());
        }
        // The build just stored is the one a following update in this run transfers.
        // A good download does not clear the failure of a fingerprint before it: the
        // run still failed at something the user asked for.
        const uint32_t downloaded = updater->Download_Firmware(p.serialNumber, p.build, p.override, false);
        if (downloaded != 0)
            p.build = std::to_string(downloaded);
        else
            status = 1;
    }

    if (p.commands.IsSet(COMMAND_DISCOVER)) return discover(display, *updater, p);
    if (p.commands.IsSet(COMMAND_UPDATE)) return update(display, *updater, p);
    if (p.commands.IsSet(COMMAND_LIST_BUILDS)) {
        if (!require_serial(display, p, "List Builds")) return 1;
        _display_builds(display, updater->Get_BuildList(p.serialNumber), p.serialNumber);
        return 0;
    }
    if (p.commands.IsSet(COMMAND_LIST_LOCAL)) {
        if (!require_serial(display, p, "List Local Builds")) return 1;
        _display_builds(display, updater->Get_BuildListLocal(p.serialNumber), p.serialNumber);
        return 0;
    }
    if (p.commands.IsSet(COMMAND_JWT)) {
        if (!require_serial(display, p, "Get JWT")) return 1;
        _display_jwt(display, updater->Get_JWT(p.serialNumber));
        return 0;
    }
    return status;
}
