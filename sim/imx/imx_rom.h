#pragma once
// A simulated i.MX boot ROM in serial download mode, byte by byte as it sees them
// on its UART: commands of 16 bytes, the data phase of a file write, and the words
// it answers with. Written on its own, without the product's code.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace imxsim {

struct RomConfig {
    uint32_t fingerprintLow = 0x1234ABCD;   // identification register at 0x401F4410
    uint32_t fingerprintHigh = 0x0BADF00D;  // identification register at 0x401F4420
    bool silent = false;                    // takes every byte, answers nothing
    bool answerInData = false;              // speaks up after the first byte of a data phase
    bool refuseCompletion = false;          // ends a file write with a status other than complete
};

class ImxRom {
public:
    static constexpr uint32_t SECURITY_OPEN = 0x56787856;
    static constexpr uint32_t STATUS_OK = 0xF0F0F0F0;
    static constexpr uint32_t STATUS_COMPLETE = 0x88888888;
    static constexpr uint32_t STATUS_REFUSED = 0x12345678;
    static constexpr uint32_t FINGERPRINT_LOW_REG = 0x401F4410;
    static constexpr uint32_t FINGERPRINT_HIGH_REG = 0x401F4420;

    explicit ImxRom(const RomConfig& config = {}) : config_(config) {}

    // Takes one byte from the line; appends the ROM's answer, if any, to out.
    void receive(uint8_t byte, std::string& out);

    // The line has been quiet for a while: a partial command is noise (another
    // protocol probing the port, a host that gave up) and is dropped, so the next
    // command starts aligned. A data phase waits for its bytes whatever the pause.
    void lineIdle() {
        cmdLength_ = 0;
        associated_ = 0;
        sinceCommand_ = 0;
    }

    // Bytes written by file writes, by address (a later write overwrites).
    uint8_t memoryAt(uint32_t address) const;
    std::vector<uint8_t> memory(uint32_t address, size_t length) const;
    // Address of the last jump, 0 when none.
    uint32_t jumpedTo() const { return jumped_; }

    std::function<void(const std::string&)> onEvent;

private:
    void command(std::string& out);
    void event(const std::string& text) const {
        if (onEvent) onEvent(text);
    }
    static void word(std::string& out, uint32_t value);

    RomConfig config_;
    static constexpr uint8_t ASSOCIATION[4] = {0x23, 0x45, 0x45, 0x23};
    uint8_t cmd_[16] = {};
    size_t cmdLength_ = 0;
    size_t associated_ = 0;    // bytes of the association magic seen since the last command
    size_t sinceCommand_ = 0;  // bytes seen since the last command (or quiet line)
    // Data phase of a file write.
    uint32_t dataAddress_ = 0;
    uint32_t dataLeft_ = 0;
    bool inData_ = false;
    bool spokeInData_ = false;
    std::map<uint32_t, uint8_t> memory_;
    uint32_t jumped_ = 0;
};

}  // namespace imxsim
