#include "sim/imx/imx_rom.h"

#include <cstdio>

namespace imxsim {

namespace {
uint32_t big32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

std::string hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "%08X", v);
    return b;
}
}  // namespace

void ImxRom::word(std::string& out, uint32_t value) {
    // The ROM's words go out least significant byte first.
    for (int i = 0; i < 4; ++i) out.push_back(char(uint8_t(value >> (8 * i))));
}

void ImxRom::receive(uint8_t byte, std::string& out) {
    if (inData_) {
        memory_[dataAddress_++] = byte;
        --dataLeft_;
        std::string said;
        if (config_.answerInData && !spokeInData_) {
            spokeInData_ = true;
            word(said, SECURITY_OPEN);
        }
        if (dataLeft_ == 0) {
            inData_ = false;
            word(said, SECURITY_OPEN);
            word(said, config_.refuseCompletion ? STATUS_REFUSED : STATUS_COMPLETE);
            event("write-complete");
        }
        if (!config_.silent) out += said;
        return;
    }
    // The UART association: a host may open with 23 45 45 23, which the ROM
    // echoes before the first command (real ROMs do, and loaders wait for it).
    if (sinceCommand_++ == associated_ && byte == ASSOCIATION[associated_]) {
        if (++associated_ == sizeof ASSOCIATION) {
            associated_ = 0;
            sinceCommand_ = 0;
            cmdLength_ = 0;
            event("associate");
            if (!config_.silent) out.append(reinterpret_cast<const char*>(ASSOCIATION), sizeof ASSOCIATION);
            return;
        }
    } else {
        associated_ = 0;
    }
    cmd_[cmdLength_++] = byte;
    // A command starts with its type byte twice; anything else is noise to skip.
    if (cmdLength_ == 2 && cmd_[0] != cmd_[1]) {
        cmd_[0] = cmd_[1];
        cmdLength_ = 1;
        return;
    }
    if (cmdLength_ < sizeof cmd_) return;
    cmdLength_ = 0;
    sinceCommand_ = 0;
    std::string said;
    command(said);
    if (!config_.silent) out += said;
}

void ImxRom::command(std::string& out) {
    const uint16_t type = uint16_t(cmd_[0] << 8 | cmd_[1]);
    const uint32_t address = big32(cmd_ + 2);
    const uint32_t count = big32(cmd_ + 7);
    switch (type) {
    case 0x0505:  // error status
        word(out, SECURITY_OPEN);
        word(out, STATUS_OK);
        event("error-status");
        break;
    case 0x0101: {  // read register: count bytes from the address, whole words
        word(out, SECURITY_OPEN);
        event("read-register " + hex(address) + " " + std::to_string(count));
        for (uint32_t off = 0; off < count; off += 4) {
            uint32_t a = address + off, v = 0;
            if (a == FINGERPRINT_LOW_REG) v = config_.fingerprintLow;
            else if (a == FINGERPRINT_HIGH_REG) v = config_.fingerprintHigh;
            else
                for (int i = 0; i < 4; ++i) v |= uint32_t(memoryAt(a + uint32_t(i))) << (8 * i);
            word(out, v);
        }
        break;
    }
    case 0x0404:  // write file: the data follows, the answer comes after the last byte
        event("write-file " + hex(address) + " " + std::to_string(count));
        dataAddress_ = address;
        dataLeft_ = count;
        spokeInData_ = false;
        if (count == 0) {
            word(out, SECURITY_OPEN);
            word(out, config_.refuseCompletion ? STATUS_REFUSED : STATUS_COMPLETE);
        } else {
            inData_ = true;
        }
        break;
    case 0x0B0B:  // jump: the ROM acknowledges with its security mode and leaves
        word(out, SECURITY_OPEN);
        jumped_ = address;
        event("jump " + hex(address));
        break;
    default:
        event("unknown-command " + hex(type));
        break;
    }
}

uint8_t ImxRom::memoryAt(uint32_t address) const {
    auto it = memory_.find(address);
    return it == memory_.end() ? 0 : it->second;
}

std::vector<uint8_t> ImxRom::memory(uint32_t address, size_t length) const {
    std::vector<uint8_t> out(length);
    for (size_t i = 0; i < length; ++i) out[i] = memoryAt(address + uint32_t(i));
    return out;
}

}  // namespace imxsim
