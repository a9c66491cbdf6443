// Framed serial line: each packet's wire form plus a CRC-8/MAXIM byte, COBS-encoded,
// closed by a 0x00 delimiter. Used in both directions on the simulated serial port.
#pragma once
#include "sim/module/packet.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vmsim {

uint8_t crc8_maxim(std::span<const uint8_t> bytes);
std::vector<uint8_t> cobs_encode(std::span<const uint8_t> in);
// Empty optional when a code byte points past the end or a zero byte appears inside.
std::optional<std::vector<uint8_t>> cobs_decode(std::span<const uint8_t> in);

// The complete line bytes of one packet, delimiter included.
std::vector<uint8_t> frame_packet(const Packet& p);

class FrameDecoder {
public:
    enum class Result { Pending, Packet, Bad };
    // Feed one line byte; on Result::Packet the packet is in *out.
    Result feed(uint8_t byte, Packet* out);
    unsigned bad_frames() const { return bad_; }

private:
    std::vector<uint8_t> buf_;
    unsigned bad_ = 0;
};

} // namespace vmsim
