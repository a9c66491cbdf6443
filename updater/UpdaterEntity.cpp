// Upgrade entity conversation: one request packet, one awaited reply.
#include "updater/UpdaterEntity.h"

#include <algorithm>

#include "app/Log.h"
#include "lib/object/Link.h"
#include "lib/object/SystemClass.h"
#include "lib/unix/aTime.h"

using Corvane::Velmarine::Module;

namespace {

constexpr unsigned kFirm = Log::DEBUG_Network_FIRM;
constexpr unsigned kNet = Log::DEBUG_Network;
constexpr uint32_t kDefaultSerialNumber = 0xDEADDEAD;
constexpr int kReconnectAttempts = 5;

uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

}  // namespace

void UpdaterEntity::init(Module* target, uint8_t index, bool validate, bool router) {
    module = target;
    validateBlocks = validate;
    throughRouter = router;
    useUeiData = false;
    EntityClass::init(target, cmdUPGRADE, index);
}

aErr UpdaterEntity::receive(uint8_t option, uint8_t* length, uint8_t* reply) {
    const uint8_t match[2] = {cmdUPGRADE, option};
    *length = 2;
    return receivePacket(match, length, reply);
}

aErr UpdaterEntity::LoaderInit() {
    Log::log(kFirm, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
    const uint8_t request[1] = {val_UPGRADE_INIT};
    aErr err = send(1, request);
    if (err != aErrNone) {
        Log::log(kFirm, "NETWORK: Error sending UPGRADE_INIT (%d)\n", err);
        return err;
    }
    uint8_t reply[32] = {0};
    uint8_t length = 0;
    err = receive(val_UPGRADE_INIT, &length, reply);
    if (err != aErrNone) return err;
    if (length <= 5) return aErrPacket;
    const uint32_t base = be32(reply + 2);
    Log::log(kFirm, "NETWORK: load base = %d [%08X]\n", static_cast<int>(base), base);
    return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t* blockSize) {
    Log::log(kFirm, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", static_cast<int>(length), flags,
             blockSize ? *blockSize : 0);
    if (!data || length < 4) return aErrParam;
    Log::log(kFirm, "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n",
             flags, data[0], data[1], data[2], data[3]);
    Log::log(kFirm, "NETWORK: Address: %d\n", static_cast<int>(be32(data)));
    const uint8_t request[6] = {val_UPGRADE_PREPARE, flags, data[0], data[1], data[2], data[3]};
    aErr err = send(sizeof request, request);
    if (err != aErrNone) {
        Log::log(kFirm, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", err);
        return err;
    }
    uint8_t reply[32] = {0};
    uint8_t replyLength = 0;
    err = receive(val_UPGRADE_STATUS, &replyLength, reply);
    if (err != aErrNone) return err;
    if (reply[2] != 0) {
        Log::log(kFirm, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return aErrInvalidOption;
    }
    const uint16_t size = static_cast<uint16_t>((reply[3] << 8) | reply[4]);
    if (blockSize) *blockSize = size;
    Log::log(kFirm, "NETWORK: Loader validated firmware init [%d block size]\n", size);
    return aErrNone;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* data, uint32_t length) {
    if (!data || length < 4) return aErrParam;
    Log::log(kFirm, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", be32(data), static_cast<int>(length - 4));
    uint32_t counter = 0;
    return _block_transfer(data + 4, length - 4, counter);
}

aErr UpdaterEntity::LoaderStart() {
    Log::log(kFirm, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
    const uint8_t request[1] = {val_UPGRADE_LOAD};
    aErr err = send(1, request);
    if (err != aErrNone) {
        Log::log(kFirm, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", err);
        return err;
    }
    uint8_t reply[32] = {0};
    uint8_t length = 0;
    if (receive(val_UPGRADE_LOAD, &length, reply) == aErrNone) {
        Log::log(kFirm, "NETWORK: Loader validated start\n");
        return aErrNone;
    }
    err = _reconnect(500);
    if (err != aErrNone) {
        Log::log(kFirm, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", err, aError_GetErrorText(err));
        return aErrTimeout;
    }
    err = receive(val_UPGRADE_LOAD, &length, reply);
    if (err == aErrNone) {
        Log::log(kFirm, "NETWORK: Loader validated start (Reconnect)\n");
        return aErrNone;
    }
    Log::log(kFirm, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", err,
             aError_GetErrorText(err));
    return aErrTimeout;
}

aErr UpdaterEntity::_reconnect(uint32_t delayMs) {
    if (!module) return aErrConnection;
    module->disconnect();
    aErr err = aErrConnection;
    for (int attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
        Log::log(kNet, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", attempt, kReconnectAttempts);
        err = module->reconnect();
        if (err == aErrNone) {
            Log::log(kNet, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        Log::log(kNet, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", static_cast<int>(delayMs));
        aTime_MSSleep(delayMs);
    }
    // A module whose loader lost its own serial number comes back under the default one.
    for (int attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
        Log::log(kNet, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n", attempt,
                 kReconnectAttempts);
        err = module->connect(USB, kDefaultSerialNumber);
        if (err == aErrNone) {
            Log::log(kNet, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        Log::log(kNet, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", static_cast<int>(delayMs));
        aTime_MSSleep(delayMs);
    }
    return err;
}

aErr UpdaterEntity::CheckUEIDataSupport() {
    if (!module) return aErrConnection;
    aErr err = module->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, 0x80);
    Log::log(kFirm, "NETWORK: CheckUEIDataSupport: Error: %d\n", err);
    if (err == aErrNone) useUeiData = true;
    return err;
}

aErr UpdaterEntity::CheckPooledPacketsSupport() {
    if (!module) return aErrConnection;
    Corvane::Velmarine::SystemClass system;
    system.init(module, 0);
    uint32_t features = 0;
    aErr err = system.getProtocolFeatures(&features);
    Log::log(kFirm, "NETWORK: Protocol Version: %d Error: %d\n", static_cast<int>(features), err);
    if (err != aErrNone) return err;
    if ((features & 0x80000000u) == 0) return aErrNone;
    Corvane::Velmarine::Link* link = module->getLink();
    if (!link) return aErrConnection;
    return link->enablePooledPackets(true);
}

aErr UpdaterEntity::_block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t& counter,
                                               uint32_t& sum) {
    Log::log(kFirm, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n", static_cast<int>(length));
    aErr err = setUEIBytes(val_UPGRADE_DATA_UEI, data, length);
    if (err != aErrNone) {
        Log::log(kFirm, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", err);
        return err;
    }
    for (uint32_t i = 0; i < length; ++i) sum += data[i];
    counter = 1;
    return aErrNone;
}

aErr UpdaterEntity::_block_transfer(const uint8_t* data, uint32_t length, uint32_t& counter) {
    Log::log(kFirm, "\nNETWORK: Block Transfer\n");
    uint32_t sum = 0;
    uint32_t sent = 0;
    aErr err = aErrNone;

    if (useUeiData) {
        err = _block_transfer_uei_helper(data, length, counter, sum);
        if (err != aErrNone) return err;
        Log::log(kFirm, "\nNETWORK: accepted %d bytes \n", static_cast<int>(length));
        sent = length;
    } else {
        uint32_t resends = 0;
        while (sent < length && err == aErrNone) {
            const uint32_t piece = std::min(length - sent, kPieceBytes);
            Log::log(kFirm, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", static_cast<int>(piece));
            uint8_t request[1 + kPieceBytes];
            request[0] = val_UPGRADE_DATA;
            std::copy(data + sent, data + sent + piece, request + 1);
            aErr sendErr = send(static_cast<uint8_t>(1 + piece), request);
            if (sendErr != aErrNone) {
                Log::log(kFirm, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", sendErr);
                return sendErr;
            }
            uint8_t reply[32] = {0};
            uint8_t replyLength = 0;
            if (receive(val_UPGRADE_DATA, &replyLength, reply) != aErrNone) {
                Log::log(kFirm, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
                err = aErrPacket;
                break;
            }
            if (reply[2] == piece) {
                for (uint32_t i = 0; i < piece; ++i) sum += data[sent + i];
                sent += piece;
                ++counter;
                resends = 0;
                Log::log(kFirm, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", static_cast<int>(piece),
                         static_cast<int>(length - sent), static_cast<int>(length));
            } else {
                Log::log(kFirm, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", reply[2],
                         static_cast<int>(piece));
                if (++resends > kMaxPieceResends) err = aErrPacket;
            }
        }
    }

    Log::log(kFirm, "\nNETWORK: transferred %d of %d bytes\n", static_cast<int>(sent), static_cast<int>(length));
    if (err != aErrNone || !validateBlocks) return err;

    Log::log(kFirm, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
    const uint8_t request[1] = {val_UPGRADE_SUM};
    send(1, request);
    uint8_t reply[32] = {0};
    uint8_t replyLength = 0;
    if (receive(val_UPGRADE_STATUS, &replyLength, reply) != aErrNone) {
        Log::log(kFirm, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return aErrPacket;
    }
    const uint32_t moduleSum = be32(reply + 3);
    if (reply[2] == 0 && moduleSum == sum) {
        Log::log(kFirm, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", reply[2], sum, moduleSum,
                 static_cast<int>(counter));
        return aErrNone;
    }
    Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", reply[2], sum, moduleSum);
    return aErrInvalidOption;
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display) {
    if (!data || length < 4) return aErrParam;
    Log::log(kFirm, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", be32(data), static_cast<int>(length - 4));
    const uint8_t* image = data + 4;
    const uint32_t imageLength = length - 4;
    uint32_t remaining = imageLength;
    uint32_t counter = 0;
    aErr err = aErrNone;

    Log::timestamped = false;
    display.display_progress(true);
    // A block size of 0 would send empty pieces forever without progress.
    if (blockSize == 0 && remaining > 0) err = aErrInvalidOption;
    while (remaining > 0 && err == aErrNone) {
        const uint32_t piece = std::min<uint32_t>(blockSize, remaining);
        const uint8_t* at = image + (imageLength - remaining);
        err = _block_transfer(at, piece, counter);
        if (err == aErrNone) {
            remaining -= piece;
            ++counter;
            display.update_progress(static_cast<double>(length - remaining) / static_cast<double>(length), nullptr);
            Log::log(kFirm, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", static_cast<int>(piece),
                     static_cast<int>(remaining), static_cast<int>(length));
            err = FirmwareWrite(static_cast<uint16_t>(piece));
        }
    }
    display.display_progress(false);
    Log::log(kFirm, "NETWORK: transferred %d of %d bytes\n", static_cast<int>(imageLength - remaining),
             static_cast<int>(length));
    if (err != aErrNone) Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return err;
}

aErr UpdaterEntity::FirmwareWrite(uint16_t count) {
    Log::log(kFirm, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n", count);
    const uint8_t request[3] = {val_UPGRADE_WRITE, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
    aErr err = send(sizeof request, request);
    if (err != aErrNone) {
        Log::log(kFirm, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", err, aError_GetErrorText(err));
        return err;
    }
    uint8_t reply[32] = {0};
    uint8_t length = 0;
    if (receive(val_UPGRADE_STATUS, &length, reply) != aErrNone || reply[2] != 0) {
        Log::log(kFirm, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return aErrInvalidOption;
    }
    Log::log(kFirm, "NETWORK: Loader validated write\n\n");
    return aErrNone;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
    Log::log(kFirm, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    const uint8_t request[1] = {val_UPGRADE_REBOOT};
    aErr err = send(1, request);
    if (err != aErrNone) Log::log(kFirm, "NETWORK: Error sending Loader REBOOT\n");
    // A link that never drops (a module that ignored the reboot, or an engine that
    // reconnected to it at once) would keep the update waiting forever: the wait is bounded.
    for (uint32_t pass = 0; module && module->isConnected() && pass < kRebootWaitPasses; ++pass) {
        aTime_MSSleep(250);
        display.update_spinner(true, "Verifying Update");
        Log::log(kFirm, "Waiting for link to drop.\n");
        Log::log(kFirm, "Rebooting Device\n");
        if (throughRouter) break;
    }
    display.update_spinner(false, "Verifying Update");
    return err;
}
