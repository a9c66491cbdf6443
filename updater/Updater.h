#pragma once
// The updater core: one object per run carrying the update server's address, the
// storage directory and the display, with one method per command of the front end.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"
#include "updater/Fingerprint.h"

struct DeviceInfo;
class BirdFile;
class UpdaterStore;

// Build number in decimal -> version text (empty when unknown), ordered by key text.
using BuildList = std::map<std::string, std::string>;

// What the command-line front end needs from the updater. The front end talks to the
// updater only through this, so its dispatch can be exercised with a stand-in.
class UpdaterCommands {
public:
    virtual ~UpdaterCommands() = default;

    virtual void Set_UEIBytes_Load(bool enable) = 0;

    virtual BuildList Get_BuildList(uint32_t serialNumber) = 0;
    virtual BuildList Get_BuildListLocal(uint32_t serialNumber) = 0;
    virtual std::string Get_JWT(uint32_t serialNumber) = 0;
    // Returns the build number stored, or 0 on failure. An empty build means the latest.
    virtual uint32_t Download_Firmware(uint32_t serialNumber, const std::string& build, bool override,
                                       bool noCal) = 0;

    virtual bool Update_Firmware(uint32_t serialNumber, uint32_t build, const std::string& birdFile,
                                 uint8_t moduleAddress, uint32_t routerSerialNumber, bool override) = 0;

    virtual bool Recover_Firmware(const std::string& serialPort, uint32_t build, uint32_t baudRate,
                                  uint32_t serialNumber, const std::string& birdFile, bool override) = 0;
    virtual bool Get_Fingerprint(Fingerprint& fingerprint, const std::string& serialPort,
                                 uint32_t serialNumber, const std::string& birdFile, uint32_t baudRate,
                                 bool reset) = 0;

    virtual std::vector<DeviceInfo> Discover_Devices(uint32_t linkType) = 0;
    virtual std::vector<DeviceInfo> Discover_VMNetwork_Devices(uint32_t routerSerialNumber,
                                                               uint32_t linkType) = 0;
};

class Updater : public UpdaterCommands {
public:
    Updater(const std::string& serverUrl, const std::string& storageDirectory,
            UpdaterDisplayInterface& display);

    void Set_UEIBytes_Load(bool enable) override;

    BuildList Get_BuildList(uint32_t serialNumber) override;
    BuildList Get_BuildListLocal(uint32_t serialNumber) override;
    std::string Get_JWT(uint32_t serialNumber) override;
    uint32_t Download_Firmware(uint32_t serialNumber, const std::string& build, bool override,
                               bool noCal) override;
    // The download for a chip known only by its fingerprint.
    uint32_t Download_Firmware(const Fingerprint& fingerprint, const std::string& build, bool override);
    // Reads the image for a transfer, downloading it first when allowed; throws
    // std::runtime_error when the stored file cannot be read and no download is allowed.
    BirdFile load_bird(const std::string& label, const std::string& birdFile, uint32_t serialNumber,
                       uint32_t build, bool downloadIfMissing);

    bool Update_Firmware(uint32_t serialNumber, uint32_t build, const std::string& birdFile,
                         uint8_t moduleAddress, uint32_t routerSerialNumber, bool override) override;

    bool Recover_Firmware(const std::string& serialPort, uint32_t build, uint32_t baudRate,
                          uint32_t serialNumber, const std::string& birdFile, bool override) override;
    bool Get_Fingerprint(Fingerprint& fingerprint, const std::string& serialPort, uint32_t serialNumber,
                         const std::string& birdFile, uint32_t baudRate, bool reset) override;

    std::vector<DeviceInfo> Discover_Devices(uint32_t linkType) override;
    std::vector<DeviceInfo> Discover_VMNetwork_Devices(uint32_t routerSerialNumber,
                                                       uint32_t linkType) override;

    // Processor family found by the last fingerprint: 0 none yet, 1 i.MX, 2 LPC.
    uint8_t Get_ChipKind() const { return chipKind; }
    bool Get_UEIBytes_Load() const { return ueiBytesLoad; }

private:
    std::string serverUrl;
    std::string storageDirectory;
    UpdaterDisplayInterface& display;
    uint8_t chipKind = 0;
    bool ueiBytesLoad = false;
};

// Opens the local store rooted at storageDirectory for one operation. When the store
// cannot be opened, shows "Failed to Create UpdaterStore in: <caller> - Exception: ..."
// and returns an empty pointer; the operation then gives up.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& storageDirectory, const char* caller);
