#pragma once
// The host side of a module's upgrade entity (command 0x5F): loads a small loader
// program into the module, starts it, then streams firmware blocks to that loader,
// has each piece checked by byte sum and written to flash, and reboots the module.
#include <cstdint>

#include "app/UpdaterDisplayInterface.h"
#include "lib/common/aDefs.h"
#include "lib/common/aError.h"
#include "lib/object/Entity.h"
#include "lib/object/Module.h"

class UpdaterEntity : public Corvane::Velmarine::EntityClass {
public:
    static constexpr uint8_t val_UPGRADE_INIT = 0;
    static constexpr uint8_t val_UPGRADE_DATA = 1;
    static constexpr uint8_t val_UPGRADE_LOAD = 2;
    static constexpr uint8_t val_UPGRADE_PREPARE = 3;
    static constexpr uint8_t val_UPGRADE_SUM = 4;
    static constexpr uint8_t val_UPGRADE_WRITE = 5;
    static constexpr uint8_t val_UPGRADE_REBOOT = 6;
    static constexpr uint8_t val_UPGRADE_STATUS = 7;
    static constexpr uint8_t val_UPGRADE_DATA_UEI = 10;

    // Image bytes carried by one data packet.
    static constexpr uint32_t kPieceBytes = 26;
    // How often one data piece is sent again after acknowledgements of the wrong
    // count before the block is given up; a module stuck on a wrong count would
    // otherwise keep the transfer going forever.
    static constexpr uint32_t kMaxPieceResends = 5;
    // Passes of 250 ms the reboot waits for the link to drop.
    static constexpr uint32_t kRebootWaitPasses = 20;

    void init(Corvane::Velmarine::Module* module, uint8_t index, bool validateBlocks, bool throughRouter);

    aErr LoaderInit();
    aErr TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t* blockSize);
    aErr LoaderTransfer(const uint8_t* data, uint32_t length);
    aErr LoaderStart();
    aErr CheckUEIDataSupport();
    aErr CheckPooledPacketsSupport();
    aErr FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize,
                          UpdaterDisplayInterface& display);
    aErr FirmwareWrite(uint16_t count);
    aErr LoaderReboot(UpdaterDisplayInterface& display);

    aErr _block_transfer(const uint8_t* data, uint32_t length, uint32_t& counter);
    aErr _block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t& counter, uint32_t& sum);
    aErr _reconnect(uint32_t delayMs);

    bool getUseUeiData() const { return useUeiData; }

private:
    aErr send(uint8_t length, const uint8_t* bytes) { return sendPacket(cmdUPGRADE, length, bytes); }
    // Waits for the reply whose first two bytes are [0x5F, option]; length gets its data length.
    aErr receive(uint8_t option, uint8_t* length, uint8_t* reply);

    Corvane::Velmarine::Module* module = nullptr;
    bool validateBlocks = true;
    bool throughRouter = false;
    bool useUeiData = false;
};
