#include "sim/lpc/lpc_chip.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "sim/lpc/uucodec.h"

namespace lpcsim {

namespace {

enum Code : int {
    CMD_SUCCESS = 0,
    INVALID_COMMAND = 1,
    SRC_ADDR_ERROR = 2,
    DST_ADDR_ERROR = 3,
    SRC_ADDR_NOT_MAPPED = 4,
    DST_ADDR_NOT_MAPPED = 5,
    COUNT_ERROR = 6,
    INVALID_SECTOR = 7,
    SECTOR_NOT_BLANK = 8,
    SECTOR_NOT_PREPARED = 9,
    COMPARE_ERROR = 10,
    ADDR_ERROR = 13,
    ADDR_NOT_MAPPED = 14,
    CMD_LOCKED = 15,
    INVALID_CODE = 16,
    INVALID_BAUD_RATE = 17,
    INVALID_STOP_BIT = 18,
    PARAM_ERROR = 12,
};

constexpr uint32_t kLocalRam = 0x10000000u;
constexpr uint32_t kAhbRam = 0x2007C000u;
constexpr uint32_t kRamSize = 0x8000u;
constexpr unsigned kBytesPerLine = 45;
constexpr unsigned kLinesPerSum = 20;

std::string reply(int code) { return std::to_string(code) + "\r\n"; }

// Decimal arguments as the ISP command interpreter reads them.
bool parseArgs(const std::vector<std::string>& words, size_t expected, std::vector<long long>& values) {
    if (words.size() != expected + 1) return false;
    for (size_t i = 1; i < words.size(); ++i) {
        char* end = nullptr;
        long long v = std::strtoll(words[i].c_str(), &end, 10);
        if (end == words[i].c_str() || *end != 0) return false;
        values.push_back(v);
    }
    return true;
}

std::string hex(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", v);
    return text;
}

}  // namespace

LpcChip::LpcChip(const ChipConfig& config)
    : config_(config), flash_(kFlashSize, 0xFF), localRam_(kRamSize, 0), ahbRam_(kRamSize, 0) {}

uint32_t LpcChip::sectorStart(unsigned sector) {
    return sector < 16 ? sector * 0x1000u : 0x10000u + (sector - 16) * 0x8000u;
}

uint32_t LpcChip::sectorSize(unsigned sector) { return sector < 16 ? 0x1000u : 0x8000u; }

int LpcChip::sectorOf(uint32_t address) {
    if (address >= kFlashSize) return -1;
    if (address < 0x10000u) return static_cast<int>(address / 0x1000u);
    return static_cast<int>(16 + (address - 0x10000u) / 0x8000u);
}

void LpcChip::event(const std::string& text) {
    if (onEvent) onEvent(text);
}

uint8_t* LpcChip::memory(uint32_t address, uint32_t count, bool ramOnly) {
    uint64_t end = uint64_t(address) + count;
    if (address >= kLocalRam && end <= kLocalRam + kRamSize) return &localRam_[address - kLocalRam];
    if (address >= kAhbRam && end <= kAhbRam + kRamSize) return &ahbRam_[address - kAhbRam];
    if (!ramOnly && end <= kFlashSize) return &flash_[address];
    return nullptr;
}

void LpcChip::powerUp() {
    dead_ = false;
    state_ = State::WaitQuestion;
    echo_ = true;
    unlocked_ = false;
    prepared_.fill(false);
    lineBuffer_.clear();
    event("power-up");
}

void LpcChip::commandWithFaults(const std::string& text, std::string& out) {
    std::istringstream split(text);
    std::string name;
    split >> name;
    const unsigned n = name == config_.faultCommand ? ++faultCommands_ : 0;
    if (n && n == config_.vanishAt) {
        dead_ = true;
        event("vanish " + name + " " + std::to_string(n));
        return;
    }
    std::string answer;
    command(text, answer);
    if (n && n == config_.dropReplyAt) {
        event("reply-dropped " + name + " " + std::to_string(n));
        return;
    }
    if (n && n == config_.corruptReplyAt && !answer.empty()) {
        answer[0] = '#';
        event("reply-corrupted " + name + " " + std::to_string(n));
    }
    out += answer;
}

void LpcChip::receive(uint8_t byte, std::string& out) {
    if (dead_) return;
    switch (state_) {
    case State::Running:
        return;
    case State::WaitQuestion:
        // Before synchronisation the chip only measures the rate of a "?".
        if (byte == '?') {
            out += "Synchronized\r\n";
            state_ = State::WaitSyncLine;
            lineBuffer_.clear();
            event("sync");
        }
        return;
    default:
        break;
    }
    if (echo_) out += static_cast<char>(byte);
    if (byte == '\r') return;
    if (byte != '\n') {
        if (lineBuffer_.size() < 4096) lineBuffer_ += static_cast<char>(byte);
        return;
    }
    std::string text;
    text.swap(lineBuffer_);
    line(text, out);
}

void LpcChip::line(const std::string& text, std::string& out) {
    switch (state_) {
    case State::WaitSyncLine: {
        size_t start = text.find_first_not_of('?');
        if (start != std::string::npos && text.compare(start, std::string::npos, "Synchronized") == 0) {
            out += "OK\r\n";
            state_ = State::WaitCrystal;
        } else {
            state_ = State::WaitQuestion;
        }
        return;
    }
    case State::WaitCrystal:
        out += "OK\r\n";
        state_ = State::Command;
        event("crystal " + text);
        return;
    case State::Command:
        commandWithFaults(text, out);
        return;
    case State::WriteData:
        writeDataLine(text, out);
        return;
    case State::ReadData:
        readAnswer(text, out);
        return;
    default:
        return;
    }
}

void LpcChip::command(const std::string& text, std::string& out) {
    std::vector<std::string> words;
    std::istringstream split(text);
    for (std::string w; split >> w;) words.push_back(w);
    if (words.empty()) return;
    const std::string& name = words[0];
    std::vector<long long> a;

    if (name == "U") {
        if (!parseArgs(words, 1, a)) return void(out += reply(PARAM_ERROR));
        if (a[0] != 23130) return void(out += reply(INVALID_CODE));
        unlocked_ = true;
        event("unlock");
        out += reply(CMD_SUCCESS);
    } else if (name == "A") {
        if (!parseArgs(words, 1, a) || (a[0] != 0 && a[0] != 1)) return void(out += reply(PARAM_ERROR));
        out += reply(CMD_SUCCESS);
        echo_ = a[0] == 1;
        event("echo " + std::to_string(a[0]));
    } else if (name == "B") {
        if (!parseArgs(words, 2, a)) return void(out += reply(PARAM_ERROR));
        static const long long rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
        bool ok = false;
        for (long long r : rates) ok = ok || r == a[0];
        if (!ok) return void(out += reply(INVALID_BAUD_RATE));
        if (a[1] != 1 && a[1] != 2) return void(out += reply(INVALID_STOP_BIT));
        out += reply(CMD_SUCCESS);
        pendingBaud_ = static_cast<unsigned>(a[0]);
        event("baud " + std::to_string(a[0]));
    } else if (name == "J") {
        out += reply(CMD_SUCCESS) + std::to_string(config_.partId) + "\r\n";
    } else if (name == "K") {
        out += reply(CMD_SUCCESS) + std::to_string(config_.bootMajor) + "\r\n" + std::to_string(config_.bootMinor) + "\r\n";
    } else if (name == "N") {
        out += reply(CMD_SUCCESS);
        for (uint32_t w : config_.serial) out += std::to_string(w) + "\r\n";
    } else if (name == "P" || name == "E" || name == "I") {
        if (!parseArgs(words, 2, a)) return void(out += reply(PARAM_ERROR));
        if (a[0] < 0 || a[1] < a[0] || a[1] >= kSectors) return void(out += reply(INVALID_SECTOR));
        unsigned first = unsigned(a[0]), last = unsigned(a[1]);
        if (name == "P") {
            for (unsigned s = first; s <= last; ++s) prepared_[s] = true;
            out += reply(CMD_SUCCESS);
            event("prepare " + std::to_string(first) + " " + std::to_string(last));
            return;
        }
        uint32_t begin = sectorStart(first), end = sectorStart(last) + sectorSize(last);
        if (name == "I") {
            for (uint32_t i = begin; i < end; ++i) {
                if (flash_[i] != 0xFF) {
                    uint32_t word = flash_[i & ~3u] | flash_[(i & ~3u) + 1] << 8 | flash_[(i & ~3u) + 2] << 16 |
                                    uint32_t(flash_[(i & ~3u) + 3]) << 24;
                    out += reply(SECTOR_NOT_BLANK) + std::to_string(i & ~3u) + "\r\n" + std::to_string(word) + "\r\n";
                    return;
                }
            }
            return void(out += reply(CMD_SUCCESS));
        }
        if (!unlocked_) return void(out += reply(CMD_LOCKED));
        for (unsigned s = first; s <= last; ++s)
            if (!prepared_[s]) return void(out += reply(SECTOR_NOT_PREPARED));
        std::fill(flash_.begin() + begin, flash_.begin() + end, 0xFF);
        for (unsigned s = first; s <= last; ++s) prepared_[s] = false;
        out += reply(CMD_SUCCESS);
        event("erase " + std::to_string(first) + " " + std::to_string(last));
    } else if (name == "W" || name == "R") {
        if (!parseArgs(words, 2, a)) return void(out += reply(PARAM_ERROR));
        if (a[0] < 0 || a[0] > 0xFFFFFFFFll || a[1] < 0 || a[1] > 0xFFFFFFFFll) return void(out += reply(PARAM_ERROR));
        uint32_t address = uint32_t(a[0]), count = uint32_t(a[1]);
        if (address % 4) return void(out += reply(ADDR_ERROR));
        if (count % 4 || count == 0) return void(out += reply(COUNT_ERROR));
        if (!memory(address, count, name == "W")) return void(out += reply(ADDR_NOT_MAPPED));
        xferAddress_ = address;
        xferCount_ = count;
        xferPos_ = xferConfirmed_ = 0;
        xferLines_ = 0;
        out += reply(CMD_SUCCESS);
        event((name == "W" ? "write " : "read ") + hex(address) + " " + std::to_string(count));
        if (name == "W") {
            state_ = State::WriteData;
        } else {
            state_ = State::ReadData;
            sendReadBlock(out);
        }
    } else if (name == "C") {
        if (!parseArgs(words, 3, a)) return void(out += reply(PARAM_ERROR));
        if (!unlocked_) return void(out += reply(CMD_LOCKED));
        if (a[0] < 0 || a[1] < 0 || a[0] > 0xFFFFFFFFll || a[1] > 0xFFFFFFFFll) return void(out += reply(PARAM_ERROR));
        uint32_t dst = uint32_t(a[0]), src = uint32_t(a[1]);
        long long count = a[2];
        if (dst % 256) return void(out += reply(DST_ADDR_ERROR));
        if (src % 4) return void(out += reply(SRC_ADDR_ERROR));
        if (count != 256 && count != 512 && count != 1024 && count != 4096) return void(out += reply(COUNT_ERROR));
        if (uint64_t(dst) + count > kFlashSize) return void(out += reply(DST_ADDR_NOT_MAPPED));
        uint8_t* ram = memory(src, uint32_t(count), true);
        if (!ram) return void(out += reply(SRC_ADDR_NOT_MAPPED));
        int firstSector = sectorOf(dst), lastSector = sectorOf(dst + uint32_t(count) - 1);
        for (int s = firstSector; s <= lastSector; ++s)
            if (!prepared_[s]) return void(out += reply(SECTOR_NOT_PREPARED));
        // Flash cells can only be programmed from 1 to 0; anything else needs an erase.
        bool clash = false;
        uint32_t clashAt = 0;
        for (long long i = 0; i < count; ++i) {
            uint8_t& cell = flash_[dst + i];
            if (!clash && (cell & ram[i]) != ram[i]) {
                clash = true;
                clashAt = dst + uint32_t(i);
            }
            cell &= ram[i];
        }
        for (int s = firstSector; s <= lastSector; ++s) prepared_[s] = false;
        out += reply(CMD_SUCCESS);
        event("copy " + hex(dst) + " " + hex(src) + " " + std::to_string(count));
        if (clash) event("overprogram " + hex(clashAt));
    } else if (name == "M") {
        if (!parseArgs(words, 3, a)) return void(out += reply(PARAM_ERROR));
        if (a[0] < 0 || a[1] < 0 || a[2] <= 0 || a[0] % 4 || a[1] % 4) return void(out += reply(ADDR_ERROR));
        if (a[2] % 4) return void(out += reply(COUNT_ERROR));
        uint32_t count = uint32_t(a[2]);
        uint8_t* p = memory(uint32_t(a[0]), count, false);
        uint8_t* q = memory(uint32_t(a[1]), count, false);
        if (!p || !q) return void(out += reply(ADDR_NOT_MAPPED));
        for (uint32_t i = 0; i < count; ++i)
            if (p[i] != q[i]) return void(out += reply(COMPARE_ERROR) + std::to_string(i & ~3u) + "\r\n");
        out += reply(CMD_SUCCESS);
    } else if (name == "G") {
        if (words.size() != 3 || (words[2] != "T" && words[2] != "A")) return void(out += reply(PARAM_ERROR));
        char* end = nullptr;
        long long address = std::strtoll(words[1].c_str(), &end, 10);
        if (*end != 0) return void(out += reply(PARAM_ERROR));
        if (!unlocked_) return void(out += reply(CMD_LOCKED));
        out += reply(CMD_SUCCESS);
        state_ = State::Running;
        event("go " + std::to_string(address) + " " + words[2]);
    } else {
        out += reply(INVALID_COMMAND);
    }
}

void LpcChip::writeDataLine(const std::string& text, std::string& out) {
    uint8_t* ram = memory(xferAddress_, xferCount_, true);
    bool sumDue = xferLines_ == kLinesPerSum || xferPos_ >= xferCount_;
    if (!sumDue) {
        std::vector<uint8_t> bytes;
        uu_decode_line(text, bytes);  // a short line simply brings fewer bytes, and the sum disagrees
        for (uint8_t b : bytes)
            if (xferPos_ < xferCount_) ram[xferPos_++] = b;
        ++xferLines_;
        return;
    }
    uint32_t sum = 0;
    for (uint32_t i = xferConfirmed_; i < xferPos_; ++i) sum += ram[i];
    char* end = nullptr;
    unsigned long long told = std::strtoull(text.c_str(), &end, 10);
    bool good = end != text.c_str() && told == sum;
    xferLines_ = 0;
    if (config_.writeResends > 0) {
        --config_.writeResends;
        good = false;
    }
    if (!good) {
        xferPos_ = xferConfirmed_;
        out += "RESEND\r\n";
        event("resend");
        return;
    }
    xferConfirmed_ = xferPos_;
    out += "OK\r\n";
    if (xferPos_ >= xferCount_) state_ = State::Command;
}

void LpcChip::sendReadBlock(std::string& out) {
    const uint8_t* data = memory(xferAddress_, xferCount_, false);
    uint32_t pos = xferConfirmed_;
    uint32_t sum = 0;
    for (unsigned n = 0; n < kLinesPerSum && pos < xferCount_; ++n) {
        uint32_t chunk = std::min<uint32_t>(kBytesPerLine, xferCount_ - pos);
        out += uu_encode_line(data + pos, chunk) + "\r\n";
        for (uint32_t i = 0; i < chunk; ++i) sum += data[pos + i];
        pos += chunk;
    }
    xferPos_ = pos;
    if (config_.readBadSums > 0) {
        --config_.readBadSums;
        ++sum;
    }
    out += std::to_string(sum) + "\r\n";
}

void LpcChip::readAnswer(const std::string& text, std::string& out) {
    if (text == "OK") {
        xferConfirmed_ = xferPos_;
        if (xferConfirmed_ >= xferCount_) {
            state_ = State::Command;
            return;
        }
    } else if (text != "RESEND") {
        // Anything else ends the transfer and is taken as the next command.
        state_ = State::Command;
        command(text, out);
        return;
    }
    sendReadBlock(out);
}

}  // namespace lpcsim
