// Recovery through a chip's boot ROM: reading its fingerprint and, for LPC modules,
// writing the firmware straight into flash over the ISP protocol.
#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/Log.h"
#include "lib/unix/aTime.h"
#include "recovery/NXPSerial.h"
#include "updater/BirdFile.h"
#include "updater/UpdateServerRequest.h"
#include "updater/Updater.h"

namespace {

// The rate the fingerprint probe synchronises the chip at, whatever -o says.
constexpr uint32_t PROBE_BAUD_RATE = 115200;

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
    if (chipKind == 2) {
        image.DecodeFirmwareBlocks(fingerprint.words);
        result = _recover_firmware_lpc(display, image, serialPort, baudRate, fingerprint);
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Update time: %.4f sec",
                    double(uint32_t(aTime_GetMSTicks() - start)) / 1000.0);
    return result;
}

bool Updater::Get_Fingerprint(Fingerprint& fingerprint, const std::string& serialPort, uint32_t, const std::string&,
                              uint32_t baudRate, bool) {
    if (_get_fingerprint_lpc(serialPort, baudRate, fingerprint)) {
        chipKind = 2;
        return true;
    }
    // Not an LPC boot ROM. i.MX boot ROMs are not served by this build.
    chipKind = 1;
    return false;
}
