#include "sim/module/framing.h"

namespace vmsim {

uint8_t crc8_maxim(std::span<const uint8_t> bytes)
{
    // Reflected polynomial 0x31 (0x8C when shifting right), start 0, no final XOR.
    uint8_t crc = 0;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : static_cast<uint8_t>(crc >> 1);
    }
    return crc;
}

std::vector<uint8_t> cobs_encode(std::span<const uint8_t> in)
{
    std::vector<uint8_t> out;
    out.reserve(in.size() + in.size() / 254 + 2);
    std::size_t code_pos = out.size();
    out.push_back(0);
    uint8_t code = 1;
    for (uint8_t b : in) {
        if (b == 0) {
            out[code_pos] = code;
            code_pos = out.size();
            out.push_back(0);
            code = 1;
            continue;
        }
        out.push_back(b);
        if (++code == 0xFF) {
            out[code_pos] = code;
            code_pos = out.size();
            out.push_back(0);
            code = 1;
        }
    }
    out[code_pos] = code;
    return out;
}

std::optional<std::vector<uint8_t>> cobs_decode(std::span<const uint8_t> in)
{
    std::vector<uint8_t> out;
    std::size_t i = 0;
    while (i < in.size()) {
        uint8_t code = in[i++];
        if (code == 0 || i + code - 1 > in.size())
            return std::nullopt;
        for (uint8_t k = 1; k < code; ++k) {
            if (in[i] == 0)
                return std::nullopt;
            out.push_back(in[i++]);
        }
        if (code != 0xFF && i < in.size())
            out.push_back(0);
    }
    return out;
}

std::vector<uint8_t> frame_packet(const Packet& p)
{
    std::vector<uint8_t> raw = p.wire();
    raw.push_back(crc8_maxim(raw));
    std::vector<uint8_t> out = cobs_encode(raw);
    out.push_back(0);
    return out;
}

FrameDecoder::Result FrameDecoder::feed(uint8_t byte, Packet* out)
{
    if (byte != 0) {
        // A frame is at most 33 line bytes; anything longer is garbage and is
        // rejected when its delimiter comes.
        if (buf_.size() < 64)
            buf_.push_back(byte);
        return Result::Pending;
    }
    if (buf_.empty())
        return Result::Pending;
    auto dec = cobs_decode(buf_);
    buf_.clear();
    if (!dec || dec->size() < 3 || (*dec)[1] > kMaxData || (*dec)[1] + 3u != dec->size() ||
        (*dec)[0] == 0 ||
        crc8_maxim(std::span<const uint8_t>(dec->data(), dec->size() - 1)) != dec->back()) {
        ++bad_;
        return Result::Bad;
    }
    out->address = (*dec)[0];
    out->data.assign(dec->begin() + 2, dec->end() - 1);
    return Result::Packet;
}

} // namespace vmsim
