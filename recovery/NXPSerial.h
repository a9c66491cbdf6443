#pragma once
// Host side of the LPC17xx boot ROM's in-system-programming protocol on a serial
// line: synchronisation, the ISP commands, UU-encoded RAM transfers with running
// checksums, and the flash sector table used to plan erases and copies.
#include <cstddef>
#include <cstdint>

#include "lib/common/aError.h"
#include "lib/common/aStream.h"

class NXPSerialClass {
public:
    static constexpr unsigned MAX_ERROR = 20;
    static constexpr float CRYSTAL_DEFAULT = 14.7456f;  // MHz
    static constexpr unsigned MAX_BYTES_PER_LINE = 45;
    static constexpr unsigned LINES_PER_CHECKSUM = 20;
    static constexpr unsigned MAX_READ_RETRY = 3;
    static constexpr uint32_t WRITE_ADDRESS = 0x10001000;

    static const char* const ERROR_TEXT[MAX_ERROR + 1];

    struct SectorRow {
        uint32_t start;
        uint32_t size;
        unsigned sector;
    };
    static const SectorRow NXP_LPC17XX_sectors[31];

    static constexpr unsigned RATE_COUNT = 8;
    static const unsigned SUPPORTED_RATES[RATE_COUNT];

    NXPSerialClass();
    ~NXPSerialClass();
    NXPSerialClass(const NXPSerialClass&) = delete;
    NXPSerialClass& operator=(const NXPSerialClass&) = delete;

    // Connection and low-level exchange.
    aErr Connect(const char* port, unsigned rate);
    aErr Disconnect();
    aErr Send(const char* text, bool readEcho);
    aErr SendCommand(const char* command, unsigned waitMs);
    aErr GetEcho(const char* expected, unsigned count, unsigned& matched);
    aErr Response(char* buffer, size_t size, size_t& length, const char* expected, size_t expectedLength);
    aErr GetLine(char* buffer, size_t size, size_t& length, unsigned tries);
    unsigned GetErrorIndex(size_t lineLength) const;
    static const char* GetErrorText(const char* line);

    // ISP commands.
    aErr Sync();
    aErr Unlock();
    aErr SetEcho(bool on);
    aErr SetBaudRate(unsigned rate);
    aErr Prepare(unsigned first, unsigned last);
    aErr Erase(unsigned first, unsigned last);
    aErr CopyToFlash(uint32_t flash, uint32_t ram, uint32_t count);
    aErr ExecuteFrom(uint32_t address);
    aErr GetBootLoaderVersion(int& major, int& minor);
    aErr GetPartNumber(long long& part);
    aErr GetDeviceID();
    aErr Read(uint32_t address, uint32_t count, uint8_t* buffer);
    aErr Write(uint32_t address, uint32_t count, const uint8_t* data);

    // Helpers.
    static uint32_t sum(const uint8_t* data, size_t length);
    static char uuchar(unsigned value);
    static size_t uuencode(char* line, const uint8_t* data, size_t count);
    static size_t uudecode(uint8_t* buffer, size_t room, const char* line);
    static unsigned CopyLength(unsigned count);
    static unsigned SectorFromAddress(uint32_t address);

    // Milliseconds that n characters and a line end need at the rate (nine bit times each).
    static unsigned WAIT_TIME_MS(unsigned n, unsigned rate) { return (n * 9000 + 18000) / rate + 1; }
    // Index into SUPPORTED_RATES of the rate Connect would use for a request.
    static unsigned RateIndex(unsigned rate);

    bool echo() const { return echo_; }
    unsigned rate() const { return rate_; }
    const char* portName() const { return portName_; }
    const uint32_t* deviceID() const { return deviceId_; }

private:
    aErr _readByte(uint8_t& byte);
    aErr _write(const char* text, size_t length);
    aErr _returnCode(char* line, size_t size);
    aErr _rangeCommand(char letter, unsigned first, unsigned last);
    static void _dump(const char* label, const void* data, size_t length);

    aStreamRef stream_ = nullptr;
    bool echo_ = true;
    unsigned rate_ = 0;
    char portName_[2048] = {};
    uint32_t deviceId_[4] = {};
};
