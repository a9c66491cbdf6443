#include "recovery/NXPSerial.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "app/Log.h"

namespace {

void sleepMs(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The pause after a read that found nothing: at most a millisecond, but over as soon
// as a byte arrives, so a reply is picked up without waiting out the rest of the tick.
constexpr uint32_t kResponseGraceMs = 50;

void pauseForByte(aStreamRef stream) {
    if (stream == nullptr || aStream_WaitReadable(stream, 1) == aErrParam) sleepMs(1);
}

}  // namespace

const char* const NXPSerialClass::ERROR_TEXT[MAX_ERROR + 1] = {
    "CMD_SUCCESS",
    "INVALID_COMMAND",
    "SRC_ADDR_ERROR",
    "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED",
    "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",
    "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",
    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",
    "BUSY",
    "PARAM_ERROR",
    "ADDR_ERROR",
    "ADDR_NOT_MAPPED",
    "CMD_LOCKED",
    "INVALID_CODE",
    "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",
    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

const unsigned NXPSerialClass::SUPPORTED_RATES[RATE_COUNT] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

NXPSerialClass::NXPSerialClass() = default;

NXPSerialClass::~NXPSerialClass() { Disconnect(); }

unsigned NXPSerialClass::RateIndex(unsigned rate) {
    for (unsigned i = 0; i < RATE_COUNT; ++i)
        if (SUPPORTED_RATES[i] >= rate) return i;
    return 2;  // 9600 when asked for more than the chip can do
}

aErr NXPSerialClass::Connect(const char* port, unsigned rate) {
    Disconnect();
    unsigned index = RateIndex(rate);
    unsigned chosen = SUPPORTED_RATES[index];
    Log::log(Log::DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", port, int(index), int(chosen));
    aErr err = aStream_CreateSerial(port, index, false, 0, 0, &stream_);
    if (err != aErrNone) {
        stream_ = nullptr;
        Log::log(Log::DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", port, aError_GetErrorText(err));
        return err;
    }
    rate_ = chosen;
    std::snprintf(portName_, sizeof portName_, "%s", port);
    return aErrNone;
}

aErr NXPSerialClass::Disconnect() {
    if (stream_ != nullptr) aStream_Destroy(&stream_);
    stream_ = nullptr;
    return aErrNone;
}

aErr NXPSerialClass::_readByte(uint8_t& byte) {
    if (stream_ == nullptr) return aErrConnection;
    return aStream_Read(stream_, &byte, 1);
}

aErr NXPSerialClass::_write(const char* text, size_t length) {
    if (stream_ == nullptr) return aErrConnection;
    _dump("Send", text, length);
    return aStream_Write(stream_, reinterpret_cast<const uint8_t*>(text), length);
}

void NXPSerialClass::_dump(const char* label, const void* data, size_t length) {
    if ((Log::package_bitmask & Log::DEBUG_NXPSerial_SR) == 0) return;
    std::string line = std::string(label) + " [" + std::to_string(length) + "]:";
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < length; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", bytes[i]);
        line += hex;
    }
    Log::log(Log::DEBUG_NXPSerial_SR, "%s\n", line.c_str());
}

aErr NXPSerialClass::Send(const char* text, bool readEcho) {
    size_t length = std::strlen(text);
    aErr err = _write(text, length);
    if (err != aErrNone) Log::log(Log::DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", text);
    if (readEcho && length > 1) {
        unsigned matched = 0;
        GetEcho(text, unsigned(length - 1), matched);
    }
    return err;
}

aErr NXPSerialClass::SendCommand(const char* command, unsigned waitMs) {
    size_t length = std::strlen(command);
    aErr err = _write(command, length);
    if (waitMs > 0) {
        Log::log(Log::DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%d ms]\n", int(waitMs));
        sleepMs(waitMs);
    }
    if (err != aErrNone) Log::log(Log::DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", command);
    if (echo_ && length > 0) {
        unsigned matched = 0;
        GetEcho(command, unsigned(length - 1), matched);
        if (matched != length - 1)
            Log::log(Log::DEBUG_NXPSerial, "Error SendCommand() bad echo [%d!=%d]\n", int(matched), int(length));
    }
    if (err != aErrNone) Log::log(Log::DEBUG_NXPSerial, "Error Write Serial [%s]\n", command);
    return err;
}

aErr NXPSerialClass::GetEcho(const char* expected, unsigned count, unsigned& matched) {
    matched = 0;
    aErr status = aErrNone;
    unsigned tries = 100;
    while (matched < count && tries > 0) {
        uint8_t byte = 0;
        status = _readByte(byte);
        if (status != aErrNone) {
            --tries;
            pauseForByte(stream_);
            Log::log(Log::DEBUG_NXPSerial_E, ".");
            continue;
        }
        uint8_t want = static_cast<uint8_t>(expected[matched]);
        if (byte == want) {
            ++matched;
            Log::log(Log::DEBUG_NXPSerial_E, " %02X", byte);
        } else {
            // Stray bytes (a line end left from the last reply) are skipped for free.
            Log::log(Log::DEBUG_NXPSerial_E, " %.2X!=%.2X", byte, want);
        }
    }
    return matched == count ? aErrNone : status;
}

aErr NXPSerialClass::Response(char* buffer, size_t size, size_t& length, const char* expected, size_t expectedLength) {
    length = 0;
    if (buffer == nullptr || size == 0) return aErrParam;
    size_t most = expected != nullptr ? expectedLength : size - 1;
    if (most > size - 1) most = size - 1;
    unsigned wait = WAIT_TIME_MS(unsigned(expectedLength), rate_ ? rate_ : 9600);
    Log::log(Log::DEBUG_NXPSerial_E, "Response() wait for serial [%d bytes, %d, %d ms]\n", int(expectedLength), int(rate_),
             int(wait));
    sleepMs(wait + 20);

    aErr status = aErrNone;
    bool graceUsed = false;
    while (length < most) {
        uint8_t byte = 0;
        status = _readByte(byte);
        if (status != aErrNone) {
            // The fixed sleep above is what the line needs at full speed; a reply
            // can still start late (a USB serial adapter's latency timer, a busy
            // host) or arrive in pieces. One short, bounded look per gap keeps a
            // late reply from reading as no reply at all.
            if (!graceUsed && stream_ != nullptr && aStream_WaitReadable(stream_, kResponseGraceMs) == aErrNone) {
                graceUsed = true;
                continue;
            }
            break;
        }
        graceUsed = false;
        if (length == 0 && byte == '\n') {
            Log::log(Log::DEBUG_NXPSerial_E, "Response ignoring leading \\n\n");
            continue;
        }
        if (length == 0 && byte == '\r') {
            Log::log(Log::DEBUG_NXPSerial_E, "Response ignoring leading \\r\n");
            continue;
        }
        if (byte == 0 && length < 3) {
            Log::log(Log::DEBUG_NXPSerial_E, "Response ignoring leading 0 byte\n");
            continue;
        }
        if (expected != nullptr && byte != static_cast<uint8_t>(expected[length])) {
            char want = expected[length];
            Log::log(Log::DEBUG_NXPSerial,
                     "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c != %c [%02X]]\n",
                     int(length), byte, byte >= 32 && byte < 127 ? char(byte) : ' ',
                     want >= 32 && want < 127 ? want : ' ', static_cast<uint8_t>(want));
        }
        buffer[length++] = static_cast<char>(byte);
        if (length >= 2 && buffer[length - 2] == '\r' && buffer[length - 1] == '\n') break;
    }
    buffer[length] = 0;
    _dump("Response", buffer, length);
    return status;
}

aErr NXPSerialClass::GetLine(char* buffer, size_t size, size_t& length, unsigned tries) {
    length = 0;
    if (buffer == nullptr || size == 0) return aErrParam;
    aErr status = aErrNone;
    bool terminated = false;
    while (length < size - 1 && tries > 0) {
        uint8_t byte = 0;
        status = _readByte(byte);
        if (status != aErrNone) {
            --tries;
            pauseForByte(stream_);
            Log::log(Log::DEBUG_NXPSerial_E, ".");
            continue;
        }
        if (byte == '\n' && length == 0) {
            --tries;
            pauseForByte(stream_);
            Log::log(Log::DEBUG_NXPSerial_E, ",");
            continue;
        }
        buffer[length++] = static_cast<char>(byte);
        if (length >= 2 && buffer[length - 2] == '\r' && buffer[length - 1] == '\n') {
            terminated = true;
            break;
        }
    }
    buffer[length] = 0;
    _dump("GetLine", buffer, length);
    Log::log(Log::DEBUG_NXPSerial_E, "] %d %s [%s]\n", int(length), terminated ? "term" : "non-term",
             aError_GetErrorText(status));
    return status;
}

unsigned NXPSerialClass::GetErrorIndex(size_t lineLength) const {
    return echo_ && lineLength > 2 ? unsigned(lineLength - 3) : 0;
}

const char* NXPSerialClass::GetErrorText(const char* line) {
    long code = line != nullptr ? std::strtol(line, nullptr, 0) : -1;
    if (code < 0 || code >= long(MAX_ERROR)) code = MAX_ERROR;
    return ERROR_TEXT[code];
}

aErr NXPSerialClass::_returnCode(char* line, size_t size) {
    size_t length = 0;
    GetLine(line, size, length, 100);
    return line[GetErrorIndex(length)] == '0' ? aErrNone : aErrParam;
}

aErr NXPSerialClass::Sync() {
    static const char kSynchronized[] = "Synchronized\r\n";
    static const char kOk[] = "OK\r\n";
    char reply[256];
    size_t length = 0;

    Send("?", false);
    aErr err = Response(reply, sizeof reply, length, kSynchronized, 14);
    if (err != aErrNone) {
        Log::log(Log::DEBUG_NXPSerial,
                 "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n", kSynchronized,
                 reply);
        return err;
    }
    if (std::strcmp(reply, kSynchronized) != 0)
        Log::log(Log::DEBUG_NXPSerial, "Did not receive correct response [%s]\n", kSynchronized);

    Send(kSynchronized, false);
    Response(reply, sizeof reply, length, kSynchronized, 13);
    Response(reply, sizeof reply, length, kOk, 4);
    if (std::strncmp(reply, "OK", 2) != 0) {
        Log::log(Log::DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", reply, kOk);
        return aErrIO;
    }

    char crystal[32];
    std::snprintf(crystal, sizeof crystal, "%d\r\n", int(CRYSTAL_DEFAULT * 1000 + 0.5f));
    Send(crystal, true);
    return Response(reply, sizeof reply, length, kOk, 4);
}

aErr NXPSerialClass::Unlock() {
    static const char kCommand[] = "U 23130\r\n";
    aErr err = SendCommand(kCommand, 0);
    if (err != aErrNone) {
        Log::log(Log::DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", kCommand, aError_GetErrorText(err));
        return err;
    }
    char line[1024];
    return _returnCode(line, sizeof line);
}

aErr NXPSerialClass::SetEcho(bool on) {
    char command[16];
    std::snprintf(command, sizeof command, "A %d\r\n", on ? 1 : 0);
    Log::log(Log::DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
    aErr err = SendCommand(command, 0);
    if (err != aErrNone) {
        Log::log(Log::DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", command, aError_GetErrorText(err));
        return err;
    }
    char line[1024];
    err = _returnCode(line, sizeof line);
    if (err == aErrNone) echo_ = on;
    return err;
}

aErr NXPSerialClass::SetBaudRate(unsigned rate) {
    char command[32];
    std::snprintf(command, sizeof command, "B %d %d\r\n", int(rate), 1);
    aErr err = SendCommand(command, 0);
    if (err != aErrNone) {
        Log::log(Log::DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", command, aError_GetErrorText(err));
        return err;
    }
    char line[1024];
    return _returnCode(line, sizeof line);
}

aErr NXPSerialClass::_rangeCommand(char letter, unsigned first, unsigned last) {
    if (last < first) return aErrParam;
    char command[64];
    std::snprintf(command, sizeof command, "%c %d %d\r\n", letter, int(first), int(last));
    aErr err = SendCommand(command, 0);
    if (err != aErrNone) {
        Log::log(Log::DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", command, aError_GetErrorText(err));
        return err;
    }
    char line[1024];
    err = _returnCode(line, sizeof line);
    if (err != aErrNone) Log::log(Log::DEBUG_NXPSerial, "Error response ==>[%s]\n", GetErrorText(line));
    return err;
}

aErr NXPSerialClass::Prepare(unsigned first, unsigned last) { return _rangeCommand('P', first, last); }

aErr NXPSerialClass::Erase(unsigned first, unsigned last) { return _rangeCommand('E', first, last); }

aErr NXPSerialClass::CopyToFlash(uint32_t flash, uint32_t ram, uint32_t count) {
    if (flash % 256 != 0 || (count != 256 && count != 512 && count != 1024 && count != 4096)) return aErrParam;
    char command[64];
    std::snprintf(command, sizeof command, "C %d %d %d\r\n", int(flash), int(ram), int(count));
    aErr err = SendCommand(command, 0);
    if (err != aErrNone) {
        Log::log(Log::DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", command, aError_GetErrorText(err));
        return err;
    }
    char line[1024];
    err = _returnCode(line, sizeof line);
    if (err != aErrNone) Log::log(Log::DEBUG_NXPSerial, "Error response ==>[%s]\n", GetErrorText(line));
    return err;
}

aErr NXPSerialClass::ExecuteFrom(uint32_t address) {
    char command[32];
    std::snprintf(command, sizeof command, "G %d T\r\n", int(address));
    aErr err = SendCommand(command, 0);
    if (err != aErrNone)
        Log::log(Log::DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", command, aError_GetErrorText(err));
    return err;
}

aErr NXPSerialClass::GetBootLoaderVersion(int& major, int& minor) {
    static const char kCommand[] = "K\r\n";
    aErr err = SendCommand(kCommand, 0);
    if (err != aErrNone) {
        Log::log(Log::DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", kCommand, aError_GetErrorText(err));
        return err;
    }
    char line[1024];
    size_t length = 0;
    GetLine(line, sizeof line, length, 100);
    if ((err = GetLine(line, sizeof line, length, 100)) != aErrNone) return err;
    major = int(std::strtol(line, nullptr, 0));
    if ((err = GetLine(line, sizeof line, length, 100)) != aErrNone) return err;
    minor = int(std::strtol(line, nullptr, 0));
    Log::log(Log::DEBUG_NXPSerial, "Device responded with version: %d.%d\n", major, minor);
    return aErrNone;
}

aErr NXPSerialClass::GetPartNumber(long long& part) {
    static const char kCommand[] = "J\r\n";
    aErr err = SendCommand(kCommand, 0);
    if (err != aErrNone) {
        Log::log(Log::DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", kCommand, aError_GetErrorText(err));
        return err;
    }
    char line[1024];
    size_t length = 0;
    GetLine(line, sizeof line, length, 100);
    if ((err = GetLine(line, sizeof line, length, 100)) != aErrNone) return err;
    part = std::strtoll(line, nullptr, 0);
    Log::log(Log::DEBUG_NXPSerial, "Device responded with part number: %lld\n", part);
    return aErrNone;
}

aErr NXPSerialClass::GetDeviceID() {
    static const char kCommand[] = "N\r\n";
    aErr err = SendCommand(kCommand, 0);
    if (err != aErrNone) {
        Log::log(Log::DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", kCommand, aError_GetErrorText(err));
        return err;
    }
    char line[1024];
    size_t length = 0;
    if ((err = GetLine(line, sizeof line, length, 100)) != aErrNone) return err;
    uint32_t words[4];
    for (uint32_t& word : words) {
        char text[32];
        if ((err = GetLine(text, sizeof text, length, 100)) != aErrNone) return err;
        word = uint32_t(std::strtoul(text, nullptr, 0));
    }
    std::memcpy(deviceId_, words, sizeof words);
    return aErrNone;
}
