// Device listing: modules found by discovery on USB and TCP/IP, or on the I2C
// bus behind a routing module, each briefly connected to read its identity.
#include "updater/Updater_discover.h"

#include <cstring>
#include <vector>

#include "app/Log.h"
#include "lib/common/aDefs.h"
#include "lib/common/aVersion.h"
#include "lib/common/discover.h"
#include "lib/object/I2CClass.h"
#include "lib/object/SystemClass.h"
#include "updater/Updater.h"

using Corvane::Velmarine::aEtherConfig;
using Corvane::Velmarine::I2CClass;
using Corvane::Velmarine::Module;
using Corvane::Velmarine::SystemClass;

namespace {

constexpr auto kError = UpdaterDisplayInterface::LEVEL_ERROR;

// A directly attached module starts at address 2; the real one is learnt on connect.
constexpr uint8_t kInitialAddress = 2;
constexpr uint8_t kFirstBusAddress = 2;
constexpr uint8_t kLastBusAddress = 252;
constexpr uint8_t kProbeSpeed = 3;
constexpr size_t kTransportOffset = 24;

bool _discovered_device(const linkSpec* spec, bool* success, void* ref)
{
    auto* list = static_cast<std::vector<DeviceInfo>*>(ref);
    DeviceInfo info;
    memcpy(&info.spec, spec, sizeof(linkSpec));
    list->push_back(info);
    *success = true;
    return true;
}

// ref: [0] the wanted serial number, [1] the link type found (0 until then).
bool _discovered_link(const linkSpec* spec, bool* success, void* ref)
{
    auto* words = static_cast<uint32_t*>(ref);
    *success = true;
    if (spec->serialNumber != words[0]) return true;
    Log::log(Log::DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serialNumber,
             static_cast<int>(spec->type));
    words[1] = spec->type;
    return false;
}

} // namespace

aErr _disableEther(Module& module, UpdaterDisplayInterface& display)
{
    aEtherConfig config;
    config.enabled = false;
    config.fallback = false;
    config.localOnly = true;
    aErr err = module.setConfig(config);
    if (err != aErrNone) display.message(kError, "Failed to SET network configuration");
    return err;
}

uint32_t _get_build_number(Module& module)
{
    Corvane::Velmarine::Link* link = module.getLink();
    if (!link) return 0;
    const uint8_t query = 0xFF;
    if (link->sendPacket(module.getModuleAddress(), cmdMODULE_QUERY, 1, &query) != aErrNone) return 0;
    uint8_t match[2] = {cmdMODULE_QUERY, 0xFF};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 2;
    if (link->receivePacket(module.getModuleAddress(), match, &length, reply) != aErrNone) return 0;
    if (length != 6) return 0;
    return static_cast<uint32_t>(reply[2]) << 24 | static_cast<uint32_t>(reply[3]) << 16 |
           static_cast<uint32_t>(reply[4]) << 8 | reply[5];
}

aErr _get_version(Module& module, DeviceInfo& info)
{
    SystemClass sys;
    sys.init(&module, 0);
    uint32_t packed = 0;
    if (aErr err = sys.getVersion(&packed)) return err;
    info.versionMajor = aVersion_ParseMajor(packed);
    info.versionMinor = aVersion_ParseMinor(packed);
    info.versionPatch = aVersion_ParsePatch(packed);
    uint8_t address = 0;
    if (aErr err = sys.getModule(&address)) return err;
    info.spec.module = address;
    if (aErr err = sys.getRouter(&address)) return err;
    info.spec.router = address;
    return aErrNone;
}

aErr _get_device_name(Module& module, DeviceInfo& info)
{
    if (!aVersion_IsAtLeastCompare(info.versionMajor, info.versionMinor, static_cast<uint8_t>(info.versionPatch), 2, 10,
                                   4))
        return aErrNone;
    SystemClass sys;
    sys.init(&module, 0);
    uint8_t name[kDeviceNameCapacity];
    uint32_t count = 0;
    if (aErr err = sys.getName(name, sizeof name, &count)) return err;
    // A name that fills the buffer has no terminator: take exactly the bytes received.
    info.deviceName.assign(reinterpret_cast<const char*>(name), count > sizeof name ? sizeof name : count);
    return aErrNone;
}

uint32_t _discover_link_type(uint32_t serialNumber)
{
    uint32_t ref[2] = {serialNumber, 0};
    aDiscovery_EnumerateModules(USB, _discovered_link, ref, aDISCOVERY_LOCALHOST);
    if (ref[1] == 0) aDiscovery_EnumerateModules(TCPIP, _discovered_link, ref, aDISCOVERY_LOCALHOST);
    return ref[1];
}

std::vector<DeviceInfo> Updater::Discover_Devices(uint32_t linkType)
{
    std::vector<DeviceInfo> devices;
    std::vector<::linkType> types;
    if (linkType == 0)
        types = {USB, TCPIP};
    else
        types = {static_cast<::linkType>(linkType)};
    for (::linkType t : types) aDiscovery_EnumerateModules(t, _discovered_device, &devices, aDISCOVERY_LOCALHOST);

    for (DeviceInfo& info : devices) {
        info.modelName = aDefs_GetModelName(info.spec.model);
        Module module(kInitialAddress, static_cast<uint8_t>(0));
        if (aErr err = _disableEther(module, display)) {
            info.error = err;
            continue;
        }
        if (aErr err = module.connectFromSpec(info.spec)) {
            info.error = err;
            continue;
        }
        info.buildNumber = _get_build_number(module);
        info.error = _get_version(module, info);
        if (info.error == 0) info.error = _get_device_name(module, info);
        module.disconnect();
    }
    return devices;
}

std::vector<DeviceInfo> Updater::Discover_VMNetwork_Devices(uint32_t routerSerialNumber, uint32_t linkType)
{
    std::vector<DeviceInfo> devices;
    if (linkType == 0) linkType = _discover_link_type(routerSerialNumber);

    linkSpec* found = aDiscovery_FindModule(static_cast<::linkType>(linkType), routerSerialNumber, aDISCOVERY_LOCALHOST);
    if (!found) return devices;
    const linkSpec routerSpec = *found;
    aLinkSpec_Destroy(&found);

    Log::log(Log::DEBUG_Updater, "Found Link Module");
    Module router(kInitialAddress, static_cast<uint8_t>(0));
    if (_disableEther(router, display) != aErrNone) return devices;
    if (aErr err = router.connectFromSpec(routerSpec)) {
        display.message(kError, "Error %d on connectFromSpec", err);
        return devices;
    }

    SystemClass routerSys;
    routerSys.init(&router, 0);
    if (aErr err = routerSys.routeToMe(1)) {
        display.message(kError, "Error %d on route to me", err);
        router.disconnect();
        return devices;
    }
    I2CClass bus;
    bus.init(&router, 0);
    bus.setSpeed(kProbeSpeed);

    const uint8_t routerAddress = router.getModuleAddress();
    for (unsigned a = kFirstBusAddress; a <= kLastBusAddress; a += 2) {
        const uint8_t address = static_cast<uint8_t>(a);
        if (address == routerAddress) continue;
        Log::log(Log::DEBUG_Updater, "Searching Address 0x%02x\n", address);
        const uint8_t probe[2] = {0, 0};
        if (bus.write(address, sizeof probe, probe) != aErrNone) continue;
        Log::log(Log::DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);

        Module module(address, false, 0);
        _disableEther(module, display);
        if (module.connectThroughLinkModule(&router) != aErrNone) continue;
        SystemClass sys;
        sys.init(&module, 0);
        uint32_t serial = 0;
        if (sys.getSerialNumber(&serial) != aErrNone) {
            module.disconnect();
            continue;
        }
        Log::log(Log::DEBUG_Updater, "Got Serial [0x%08X]\n", serial);

        DeviceInfo info;
        info.spec.type = static_cast<::linkType>(linkType);
        info.spec.serialNumber = serial;
        info.spec.router = routerAddress;
        info.spec.routerSerialNumber = routerSerialNumber;
        memcpy(reinterpret_cast<uint8_t*>(&info.spec) + kTransportOffset,
               reinterpret_cast<const uint8_t*>(&routerSpec) + kTransportOffset, sizeof(linkSpec) - kTransportOffset);
        info.busAddress = address;
        info.buildNumber = _get_build_number(module);
        info.error = _get_version(module, info);
        uint8_t model = 0;
        if (aErr err = sys.getModel(&model)) {
            info.error = err;
        } else {
            info.spec.model = model;
            info.modelName = aDefs_GetModelName(model);
        }
        module.disconnect();
        devices.push_back(info);
    }

    routerSys.routeToMe(0);
    router.disconnect();
    return devices;
}
