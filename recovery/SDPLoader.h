#pragma once
// Host side of the i.MX boot ROM's serial download protocol: places a loader image
// in the chip's RAM, starts it, and reads the chip's identification.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "recovery/SDPLoader_Interface.h"

class SDPLoader {
public:
    enum Command : uint16_t {
        READ_REGISTER = 0x0101,
        WRITE_FILE = 0x0404,
        ERROR_STATUS = 0x0505,
        JUMP_ADDRESS = 0x0B0B,
    };
    static constexpr uint8_t REPORT_COMMAND = 1;
    static constexpr uint8_t REPORT_DATA = 2;
    static constexpr size_t MAX_DATA = 1024;
    static constexpr uint32_t COMPLETE_STATUS = 0x88888888;
    static constexpr uint32_t FINGERPRINT_LOW = 0x401F4410;
    static constexpr uint32_t FINGERPRINT_HIGH = 0x401F4420;
    static constexpr int CONNECTION_TRIES = 5;
    static constexpr int REPLY_TIMEOUT_MS = 100;

    SDPLoader() = default;
    ~SDPLoader();
    SDPLoader(const SDPLoader&) = delete;
    SDPLoader& operator=(const SDPLoader&) = delete;

    bool setLoader(SDPLoader_Interface* transport);
    int init();
    int writeLoader(const std::vector<uint8_t>& image, uint32_t address);
    void startLoader(uint32_t address);
    int getFingerprint(uint64_t& value);

    // The command packet, report identifier first.
    static std::vector<uint8_t> command(Command type, uint32_t address, uint8_t format, uint32_t count);

private:
    bool _isConnectionAlive();
    static void dump(const std::vector<uint8_t>& bytes);

    SDPLoader_Interface* loader_ = nullptr;
};
