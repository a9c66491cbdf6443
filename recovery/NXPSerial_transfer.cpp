// RAM transfers of the ISP protocol (UU-encoded lines with a checksum every twenty
// lines) and the helpers that plan flash copies.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/Log.h"
#include "recovery/NXPSerial.h"

const NXPSerialClass::SectorRow NXPSerialClass::NXP_LPC17XX_sectors[31] = {
    {0x00000, 4096, 0},   {0x01000, 4096, 1},   {0x02000, 4096, 2},   {0x03000, 4096, 3},   {0x04000, 4096, 4},
    {0x05000, 4096, 5},   {0x06000, 4096, 6},   {0x07000, 4096, 7},   {0x08000, 4096, 8},   {0x09000, 4096, 9},
    {0x0A000, 4096, 10},  {0x0B000, 4096, 11},  {0x0C000, 4096, 12},  {0x0D000, 4096, 13},  {0x0E000, 4096, 14},
    {0x0F000, 4096, 15},  {0x10000, 32768, 16}, {0x18000, 32768, 17}, {0x20000, 32768, 18}, {0x28000, 32768, 19},
    {0x30000, 32768, 20}, {0x38000, 32768, 21}, {0x40000, 32768, 22}, {0x48000, 32768, 23}, {0x50000, 32768, 24},
    {0x58000, 32768, 25}, {0x60000, 32768, 26}, {0x68000, 32768, 27}, {0x70000, 32768, 28}, {0x78000, 32768, 29},
    {0xFFFFFFFF, 0, 30},
};

uint32_t NXPSerialClass::sum(const uint8_t* data, size_t length) {
    uint32_t total = 0;
    for (size_t i = 0; i < length; ++i) total += data[i];
    return total;
}

char NXPSerialClass::uuchar(unsigned value) {
    value &= 0x3F;
    return value == 0 ? '`' : static_cast<char>(value + 32);
}

size_t NXPSerialClass::uuencode(char* line, const uint8_t* data, size_t count) {
    char* out = line;
    *out++ = uuchar(unsigned(count));
    for (size_t i = 0; i < count; i += 3) {
        uint32_t group = uint32_t(data[i]) << 16;
        if (i + 1 < count) group |= uint32_t(data[i + 1]) << 8;
        if (i + 2 < count) group |= data[i + 2];
        *out++ = uuchar(group >> 18);
        *out++ = uuchar(group >> 12);
        *out++ = uuchar(group >> 6);
        *out++ = uuchar(group);
    }
    *out = 0;
    return count;
}

size_t NXPSerialClass::uudecode(uint8_t* buffer, size_t room, const char* line) {
    if (line == nullptr || *line == 0) return 0;
    size_t count = (static_cast<unsigned char>(line[0]) - 32) & 0x3F;
    if (count > room) return 0;
    auto ends = [](char c) { return c == 0 || c == '\r' || c == '\n'; };
    size_t decoded = 0;
    const char* p = line + 1;
    while (decoded < count) {
        unsigned v[4];
        for (unsigned& x : v) {
            if (ends(*p)) {
                Log::log(Log::DEBUG_NXPSerial, "Error buffer overrun\n");
                return decoded;
            }
            x = (static_cast<unsigned char>(*p++) - 32) & 0x3F;
        }
        uint32_t group = v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3];
        for (int shift = 16; shift >= 0 && decoded < count; shift -= 8) buffer[decoded++] = uint8_t(group >> shift);
    }
    return decoded;
}

unsigned NXPSerialClass::CopyLength(unsigned count) {
    for (unsigned size : {256u, 512u, 1024u, 4096u})
        if (count <= size) return size;
    Log::log(Log::DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", int(count));
    return count;
}

unsigned NXPSerialClass::SectorFromAddress(uint32_t address) {
    for (const SectorRow& row : NXP_LPC17XX_sectors)
        if (row.size != 0 && address >= row.start && address - row.start < row.size) return row.sector;
    return 30;
}

aErr NXPSerialClass::Write(uint32_t address, uint32_t count, const uint8_t* data) {
    if (count == 0 || count % 4 != 0 || data == nullptr) return aErrParam;
    char command[64];
    std::snprintf(command, sizeof command, "W %d %d\r\n", int(address), int(count));
    aErr err = SendCommand(command, 0);
    if (err != aErrNone) {
        Log::log(Log::DEBUG_NXPSerial, "Write() Error Sending command [%s] [%s]\n", command, aError_GetErrorText(err));
        return err;
    }
    char line[1024];
    if (_returnCode(line, sizeof line) != aErrNone) {
        Log::log(Log::DEBUG_NXPSerial, "Write() Error response ==>[%s]\n", GetErrorText(line));
        return aErrParam;
    }

    uint32_t sent = 0, confirmed = 0;
    unsigned lines = 0, triesLeft = MAX_READ_RETRY;
    while (confirmed < count) {
        uint32_t n = std::min<uint32_t>(MAX_BYTES_PER_LINE, count - sent);
        char encoded[2 + (MAX_BYTES_PER_LINE + 2) / 3 * 4];
        uuencode(encoded, data + sent, n);
        if ((err = Send(encoded, echo_)) != aErrNone || (err = Send("\r\n", echo_)) != aErrNone) return err;
        sent += n;
        ++lines;
        if (lines < LINES_PER_CHECKSUM && sent < count) continue;

        uint32_t checksum = sum(data + confirmed, sent - confirmed);
        Log::log(Log::DEBUG_NXPSerial_SR, "Write() Checksum: %08X (%d)\n", checksum, int(checksum));
        char text[32];
        std::snprintf(text, sizeof text, "%d\r\n", int(checksum));
        if ((err = Send(text, echo_)) != aErrNone) return err;

        auto start = std::chrono::steady_clock::now();
        size_t length = 0;
        GetLine(line, sizeof line, length, 2000);
        auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        Log::log(Log::DEBUG_NXPSerial_SR, "Write() waited for checksum %d ms\n", int(waited.count() + 1));
        lines = 0;
        if (std::strcmp(line, "OK\r\n") == 0) {
            confirmed = sent;
            Log::log(Log::DEBUG_NXPSerial_SR, "Write() valid transfer of %d of %d (%.0f%%) bytes\n", int(sent),
                     int(count), 100.0 * sent / count);
        } else if (std::strcmp(line, "RESEND\r\n") == 0) {
            if (--triesLeft == 0) {
                Log::log(Log::DEBUG_NXPSerial, "Write() exceeded retries\n");
                return aErrTimeout;
            }
            sent = confirmed;
        } else {
            Log::log(Log::DEBUG_NXPSerial, "Write() unexpected response [%s]\n", line);
            return aErrIO;
        }
    }
    return aErrNone;
}

aErr NXPSerialClass::Read(uint32_t address, uint32_t count, uint8_t* buffer) {
    if (count == 0 || count % 4 != 0 || buffer == nullptr) return aErrParam;
    char command[64];
    std::snprintf(command, sizeof command, "R %d %d\r\n", int(address), int(count));
    aErr err = SendCommand(command, 0);
    if (err != aErrNone) {
        Log::log(Log::DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", command, aError_GetErrorText(err));
        return err;
    }
    char line[1024];
    if (_returnCode(line, sizeof line) != aErrNone) {
        Log::log(Log::DEBUG_NXPSerial, "Error response ==>[%s]\n", GetErrorText(line));
        return aErrParam;
    }

    uint32_t received = 0, confirmed = 0;
    unsigned lines = 0, triesLeft = MAX_READ_RETRY;
    for (;;) {
        size_t length = 0;
        if ((err = GetLine(line, sizeof line, length, 100)) != aErrNone) return err;
        received += uint32_t(uudecode(buffer + received, count - received, line));
        ++lines;
        if (lines < LINES_PER_CHECKSUM && received < count) continue;

        if ((err = GetLine(line, sizeof line, length, 100)) != aErrNone) return err;
        uint32_t told = uint32_t(std::strtoul(line, nullptr, 0));
        lines = 0;
        if (told == sum(buffer + confirmed, received - confirmed)) {
            Send("OK\r\n", false);
            // The chip echoes only while its echo is on; reading an echo that never
            // comes would swallow the start of the next data line instead.
            if (echo_) {
                char reply[8];
                Response(reply, sizeof reply, length, "OK\r\n", received < count ? 3 : 4);
            }
            confirmed = received;
            Log::log(Log::DEBUG_NXPSerial_SR, "valid receipt of %d of %d (%.0f%%) bytes\n", int(received), int(count),
                     100.0 * received / count);
            if (received >= count) return aErrNone;
        } else {
            if (--triesLeft == 0) {
                Log::log(Log::DEBUG_NXPSerial, "Read() exceeded retries\n");
                return aErrTimeout;
            }
            Send("RESEND\r\n", echo_);
            received = confirmed;
        }
    }
}
