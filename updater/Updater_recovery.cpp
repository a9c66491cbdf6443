// Recovery through a chip's boot ROM: reading its fingerprint and, for LPC modules,
// writing the firmware straight into flash over the ISP protocol; i.MX modules get a
// recovery loader in RAM, which then takes the firmware like a running module.
#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <chrono>
#include <memory>
#include <thread>

#include "app/Log.h"
#include "lib/object/Module.h"
#include "lib/object/SystemClass.h"
#include "lib/unix/Velmarine-C.h"
#include "lib/unix/aTime.h"
#include "recovery/HID_SDPLoader.h"
#include "recovery/NXPSerial.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"
#include "updater/BirdFile.h"
#include "updater/UpdateServerRequest.h"
#include "updater/Updater.h"
#include "updater/UpdaterStore.h"
#include "updater/Updater_discover.h"
#include "updater/Updater_update.h"

using Corvane::Velmarine::Module;
using Corvane::Velmarine::SystemClass;

namespace {

// The rate the fingerprint probe synchronises the chip at, whatever -o says.
constexpr uint32_t PROBE_BAUD_RATE = 115200;
// The serial number a module reports before it has one of its own; the default
// recovery image is filed under it.
constexpr uint32_t DEFAULT_SERIAL = 0xDEADDEAD;
// Where the recovery loader starts when its image does not say.
constexpr uint32_t DEFAULT_LOADER_START = 0x20000400;
constexpr int ENUMERATION_ATTEMPTS = 15;
// System entity option holding the chip's identification words, by subindex.
constexpr uint8_t OPTION_FINGERPRINT = 39;

uint32_t big32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

aErr _transfer_recovery_loader(UpdaterDisplayInterface&, BirdFile& image, const std::string& serialPort) {
    Log::log(Log::DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
    SDPLoader sdp;
    if (serialPort == "USB")
        sdp.setLoader(new HID_SDPLoader(HID_SDPLoader::IMX_VENDOR, HID_SDPLoader::IMX_PRODUCT));
    else
        sdp.setLoader(new Serial_SDPLoader(serialPort.c_str()));
    if (sdp.init() != 0) return aErrNotReady;

    int number = 0;
    for (const BirdBlock& block : image.FindBlocks(BLOCK_LOADER)) {
        if (block.length > 3) {
            uint32_t address = big32(block.data);
            std::vector<uint8_t> payload(block.data + 4, block.data + block.length);
            Log::log(Log::DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", number, payload.size(),
                     int(address));
            if (sdp.writeLoader(payload, address) != 0) return aErrConnection;
        }
        ++number;
    }
    uint32_t start = DEFAULT_LOADER_START;
    std::vector<BirdBlock> starts = image.FindBlocks(BLOCK_LOADER_START);
    if (!starts.empty() && starts.front().length > 3) start = big32(starts.front().data);
    sdp.startLoader(start);
    return aErrNone;
}

bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, const std::string& storageDirectory,
                          const std::string& serialPort, uint32_t serialNumber, const std::string& birdFile,
                          Fingerprint& fingerprint, bool reset) {
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storageDirectory, "_get_fingerprint_imx");
    if (!store) return false;
    if (serialNumber == 0) serialNumber = DEFAULT_SERIAL;
    UpdaterStoreItem device;
    bool stored = store->FindDevice(serialNumber, device);

    std::string fileName;
    if (!birdFile.empty()) {
        if (serialNumber == DEFAULT_SERIAL) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Add serial number or remove the bird filename to use a default recovery image.");
            return false;
        }
    } else if (!stored) {
        display.mute_messages(true);
        Log::log(Log::DEBUG_APP, "Existing loader device not found. Downloading.\n");
        uint32_t build = updater.Download_Firmware(serialNumber, "", false, false);
        if (build != 0) {
            fileName = std::to_string(build) + ".bird";
            store->FindDevice(serialNumber, device);
        }
        display.mute_messages(false);
    } else {
        fileName = device.attributes.GetString("LATEST_DOWNLOAD", "");
    }

    BirdFile image;
    try {
        image = birdFile.empty() ? device.ReadBirdFile(fileName) : BirdFile(birdFile);
    } catch (const std::runtime_error& e) {
        Log::log(Log::DEBUG_APP, "%s\n", e.what());
        return false;
    }
    if (_transfer_recovery_loader(display, image, serialPort) != aErrNone) {
        Log::log(Log::DEBUG_APP, "Error loading liveloader.\n");
        return false;
    }

    Module module(0, uint8_t(0));
    if (_disableEther(module, display) != aErrNone) return false;
    for (int attempt = 0; attempt < ENUMERATION_ATTEMPTS && !module.isConnected(); ++attempt) {
        if (attempt % 3 == 2) {
            Log::log(Log::DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
            Velmarine_libusb_exit();
        }
        module.discoverAndConnect(USB, serialNumber);
        if (!module.isConnected()) std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    }
    if (!module.isConnected()) {
        Log::log(Log::DEBUG_APP, "Could not connect to device.\n");
        return false;
    }
    SystemClass system;
    system.init(&module, 0);
    for (uint8_t sub = 0; sub < 4; ++sub) {
        uint32_t word = 0;
        if (system.getUEI32(OPTION_FINGERPRINT, sub, &word) != aErrNone) {
            Log::log(Log::DEBUG_APP, "Error getting Identifier %d.\n", int(sub));
            return false;
        }
        fingerprint.words[3 - sub] = word;
    }
    if (reset) system.reset();
    return true;
}

bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& image, uint32_t serialNumber,
                           bool useUeiBytes) {
    Module module(0, uint8_t(0));
    bool ready = _disableEther(module, display) == aErrNone;
    if (ready) {
        for (int round = 0; round < ENUMERATION_ATTEMPTS; ++round) {
            module.discoverAndConnect(USB, DEFAULT_SERIAL);
            if (!module.isConnected()) module.discoverAndConnect(USB, serialNumber);
            if (module.isConnected()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        }
        if (!module.isConnected()) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not connect to device");
            return false;
        }
    }
    if (!ready || _transfer_firmware(display, module, image, false, useUeiBytes) != aErrNone) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to transfer firmware");
        return false;
    }
    return true;
}

bool _get_fingerprint_lpc(const std::string& serialPort, uint32_t baudRate, Fingerprint& fingerprint) {
    NXPSerialClass nxp;
    aErr err = nxp.Connect(serialPort.c_str(), baudRate);
    if (err != aErrNone) {
        Log::log(Log::DEBUG_APP, "ERROR %d ==> Could not open serial port\n", int(err));
        return false;
    }
    Log::log(Log::DEBUG_APP, "\n\tSync to Device:\n");
    if ((err = nxp.Sync()) != aErrNone) {
        Log::log(Log::DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", int(err));
        return false;
    }
    Log::log(Log::DEBUG_APP, "\n\tGet Info from Device:\n");
    if (nxp.GetDeviceID() != aErrNone) {
        Log::log(Log::DEBUG_APP, "\tERROR ==> Got no response from chip\n");
        return false;
    }
    for (int i = 0; i < 4; ++i) fingerprint.words[i] = nxp.deviceID()[i];
    return true;
}

// Connects at the rate the recovery asked for. The chip still listens at the rate the
// fingerprint probe synchronised it at, so when the two differ it is told to switch
// first, while both ends still agree.
bool _connect_lpc(NXPSerialClass& nxp, const std::string& serialPort, uint32_t baudRate) {
    unsigned wanted = NXPSerialClass::SUPPORTED_RATES[NXPSerialClass::RateIndex(baudRate)];
    if (wanted != PROBE_BAUD_RATE) {
        if (nxp.Connect(serialPort.c_str(), PROBE_BAUD_RATE) != aErrNone) {
            Log::log(Log::DEBUG_Network, "Could not connect to %s\n", serialPort.c_str());
            return false;
        }
        if (nxp.SetBaudRate(wanted) != aErrNone) {
            Log::log(Log::DEBUG_Network, "Could not switch %s to %u baud\n", serialPort.c_str(), wanted);
            return false;
        }
    }
    if (nxp.Connect(serialPort.c_str(), baudRate) != aErrNone) {
        Log::log(Log::DEBUG_Network, "Could not connect to %s\n", serialPort.c_str());
        return false;
    }
    return true;
}

// Stages one chunk in RAM and copies it to flash. The copy always moves a whole copy
// size, so the RAM after a short chunk is filled with erased-flash bytes first: stale
// RAM from the previous chunk would otherwise be burnt in behind the image, where it
// can also clash with a block that follows. The chunk itself goes out rounded up to
// whole words, as the RAM write requires.
bool _write_chunk(NXPSerialClass& nxp, const uint8_t* data, uint32_t size, uint32_t flashAddress) {
    const uint32_t ram = NXPSerialClass::WRITE_ADDRESS;
    const uint32_t copy = NXPSerialClass::CopyLength(size);
    Log::log(Log::DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n", int(size), flashAddress);
    Log::log(Log::DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", int(size), ram);

    uint32_t words = (size + 3) & ~3u;
    std::vector<uint8_t> staged(std::max(words, copy), 0xFF);
    std::copy(data, data + size, staged.begin());
    if (nxp.Write(ram, words, staged.data()) != aErrNone ||
        (copy > words && nxp.Write(ram + words, copy - words, staged.data() + words) != aErrNone)) {
        Log::log(Log::DEBUG_Updater, "\t Write to RAM failed\n");
        return false;
    }

    // Prepare every sector the copy touches, which can reach past the chunk's own bytes.
    unsigned first = NXPSerialClass::SectorFromAddress(flashAddress);
    unsigned last = NXPSerialClass::SectorFromAddress(flashAddress + std::max(size, copy) - 1);
    Log::log(Log::DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", int(first), int(last));
    if (nxp.Prepare(first, last) != aErrNone) {
        Log::log(Log::DEBUG_Updater, "\t Prepare failed\n");
        return false;
    }
    Log::log(Log::DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", int(copy), ram, flashAddress);
    if (nxp.CopyToFlash(flashAddress, ram, copy) != aErrNone) {
        Log::log(Log::DEBUG_Updater, "\t Transfer to flash failed\n");
        return false;
    }
    return true;
}

bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& image, const std::string& serialPort,
                           uint32_t baudRate, const Fingerprint&) {
    NXPSerialClass nxp;
    if (!_connect_lpc(nxp, serialPort, baudRate)) return false;
    Log::log(Log::DEBUG_Updater, "\n\tUnlock Memory:\n");
    if (nxp.Unlock() != aErrNone) {
        Log::log(Log::DEBUG_Network, "Could not unlock\n");
        return false;
    }
    Log::log(Log::DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
    if (nxp.Prepare(0, 29) != aErrNone) {
        Log::log(Log::DEBUG_Network, "Could not prepare\n");
        return false;
    }
    Log::log(Log::DEBUG_Updater, "\n\tErase all memory before update:\n");
    if (nxp.Erase(0, 29) != aErrNone) {
        Log::log(Log::DEBUG_Network, "Could not erase\n");
        return false;
    }
    nxp.SetEcho(false);
    Log::log(Log::DEBUG_Updater, "Updating device firmware: \n");
    Log::log(Log::DEBUG_Updater, "Transferring firmware to device from [%s]\n", image.GetPath().c_str());

    std::vector<BirdBlock> blocks = image.FindBlocks(BLOCK_FIRMWARE);
    int announced = int(blocks.size()) - 1;
    int number = 1;
    uint32_t total = 0;
    for (const BirdBlock& block : blocks) {
        if (block.length < 4) break;
        uint32_t length = block.length - 4;
        if (length == 4) break;  // a four-byte image marks the end of what is programmed
        const uint8_t* part = block.data + 4;
        uint32_t flashAddress = block.address;
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferring firmware block %d of %d, %d bytes", number,
                        announced, int(length));
        display.display_progress(true);
        Log::log(Log::DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n", int(length),
                 flashAddress);
        uint32_t position = 0;
        while (position < length) {
            uint32_t chunk = std::min<uint32_t>(4096, length - position);
            if (!_write_chunk(nxp, part + position, chunk, flashAddress)) {
                display.display_progress(false);
                return false;
            }
            flashAddress += chunk;
            position += chunk;
            display.update_progress(double(position) / length, nullptr);
        }
        display.display_progress(false);
        total += position;
        ++number;
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferred %d blocks, %d total bytes", announced, int(total));

    aErr err = nxp.SetEcho(true);
    if (err != aErrNone) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Recovery Error transfering data to device ==> [%d, %s]",
                        int(err), aError_GetErrorText(err));
    } else {
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "Rebooting Device");
        nxp.ExecuteFrom(0);
    }
    return true;
}

}  // namespace

bool Updater::Recover_Firmware(const std::string& serialPort, uint32_t build, uint32_t baudRate,
                               uint32_t serialNumber, const std::string& birdFile, bool) {
    uint32_t start = aTime_GetMSTicks();
    Fingerprint fingerprint;
    if (!Get_Fingerprint(fingerprint, serialPort, serialNumber, birdFile, PROBE_BAUD_RATE, false)) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not get Device Identifier");
        return false;
    }
    if (birdFile.empty()) {
        uint32_t serverSerial = 0, serverBuild = 0;
        if (!UpdateServerRequest::GetRecoveryInfo(fingerprint, serverSerial, serverBuild,
                                                  serverUrl.empty() ? nullptr : serverUrl.c_str())) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Failed to retrieve recovery information from Corvane server");
            return false;
        }
        serialNumber = serverSerial;
        if (build == 0) build = serverBuild;
    }

    BirdFile image;
    try {
        image = load_bird("Recovering", birdFile, serialNumber, build, true);
    } catch (const std::runtime_error&) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to load bird file");
        return false;
    }
    // An image that came back empty (no store, nothing in it) must not get as far as
    // erasing the chip: the module would be left blank while the run reports success.
    if (image.FindBlocks(BLOCK_FIRMWARE).empty()) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to load bird file");
        return false;
    }
    if (image.hasSerialOffsets) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Updater does not support offline recovery");
        return false;
    }

    bool result = false;
    if (chipKind == 1) {
        result = _recover_firmware_imx(display, image, serialNumber, ueiBytesLoad);
    } else if (chipKind == 2) {
        image.DecodeFirmwareBlocks(fingerprint.words);
        result = _recover_firmware_lpc(display, image, serialPort, baudRate, fingerprint);
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Update time: %.4f sec",
                    double(uint32_t(aTime_GetMSTicks() - start)) / 1000.0);
    return result;
}

bool Updater::Get_Fingerprint(Fingerprint& fingerprint, const std::string& serialPort, uint32_t serialNumber,
                              const std::string& birdFile, uint32_t baudRate, bool reset) {
    if (_get_fingerprint_lpc(serialPort, baudRate, fingerprint)) {
        chipKind = 2;
        return true;
    }
    // Not an LPC boot ROM: try the i.MX serial download protocol.
    chipKind = 1;
    return _get_fingerprint_imx(display, *this, storageDirectory, serialPort, serialNumber, birdFile, fingerprint,
                                reset);
}
