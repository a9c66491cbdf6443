#pragma once
// The ISP command interpreter of an LPC17xx boot ROM, fed one received byte at a
// time. Everything the chip would send back is appended to the caller's output
// string; line timing and the serial port belong to the program around it.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace lpcsim {

struct ChipConfig {
    std::array<uint32_t, 4> serial{0x12345678u, 0x9ABCDEF0u, 0x0F1E2D3Cu, 0x4B5A6978u};
    uint32_t partId = 0x26113F37u;  // LPC1769
    unsigned bootMajor = 4;
    unsigned bootMinor = 1;
    unsigned writeResends = 0;  // answer RESEND to this many RAM-write checksums, whatever they hold
    unsigned readBadSums = 0;   // send a wrong checksum for this many RAM-read blocks
    // Faults that strike once, at the N-th command named faultCommand (0: off).
    std::string faultCommand = "C";
    unsigned dropReplyAt = 0;     // the command is carried out but its answer never sent
    unsigned corruptReplyAt = 0;  // its answer goes out damaged: no return code on the line
    unsigned vanishAt = 0;        // the chip goes dead before answering and stays silent ...
    int vanishMs = -1;            // ... until it is back in its boot ROM this much later (-1: never)
};

class LpcChip {
public:
    static constexpr uint32_t kFlashSize = 0x80000;
    static constexpr unsigned kSectors = 30;

    explicit LpcChip(const ChipConfig& config);

    // One byte from the line. Echo, replies and data lines go to `out`.
    void receive(uint8_t byte, std::string& out);

    bool synchronised() const { return state_ != State::WaitQuestion && state_ != State::WaitSyncLine; }
    bool running() const { return state_ == State::Running; }
    bool echo() const { return echo_; }
    // Dead after a vanishing fault: everything received is ignored.
    bool dead() const { return dead_; }
    // Power comes back: the boot ROM waits for a new "?"; the flash keeps what it holds.
    void powerUp();
    // A rate the chip switches to once its reply to "B" has left the line (0: none).
    unsigned takePendingBaud() { unsigned b = pendingBaud_; pendingBaud_ = 0; return b; }

    const std::vector<uint8_t>& flash() const { return flash_; }
    std::vector<uint8_t>& flash() { return flash_; }

    // Notable things the chip did ("unlock", "erase 0 29", "go 0 T", ...).
    std::function<void(const std::string&)> onEvent;

    static uint32_t sectorStart(unsigned sector);
    static uint32_t sectorSize(unsigned sector);
    static int sectorOf(uint32_t address);  // -1 outside flash

private:
    enum class State { WaitQuestion, WaitSyncLine, WaitCrystal, Command, WriteData, ReadData, Running };

    void line(const std::string& text, std::string& out);
    void command(const std::string& text, std::string& out);
    void writeDataLine(const std::string& text, std::string& out);
    void readAnswer(const std::string& text, std::string& out);
    void sendReadBlock(std::string& out);
    uint8_t* memory(uint32_t address, uint32_t count, bool ramOnly);
    void event(const std::string& text);

    void commandWithFaults(const std::string& text, std::string& out);

    ChipConfig config_;
    State state_ = State::WaitQuestion;
    bool dead_ = false;
    unsigned faultCommands_ = 0;  // commands named faultCommand seen so far
    bool echo_ = true;
    bool unlocked_ = false;
    unsigned pendingBaud_ = 0;
    std::string lineBuffer_;
    std::array<bool, kSectors> prepared_{};
    std::vector<uint8_t> flash_;
    std::vector<uint8_t> localRam_;  // 0x10000000, 32 KiB
    std::vector<uint8_t> ahbRam_;    // 0x2007C000, 32 KiB

    // A RAM write or read in progress.
    uint32_t xferAddress_ = 0;
    uint32_t xferCount_ = 0;
    uint32_t xferPos_ = 0;        // bytes taken (write) or sent (read)
    uint32_t xferConfirmed_ = 0;  // bytes confirmed by a matching checksum
    unsigned xferLines_ = 0;
};

}  // namespace lpcsim
