#include "sim/module/packet.h"

namespace vmsim {

std::vector<uint8_t> Packet::wire() const
{
    std::vector<uint8_t> out;
    out.reserve(data.size() + 2);
    out.push_back(address);
    out.push_back(static_cast<uint8_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

std::optional<Packet> Assembler::feed(uint8_t byte)
{
    switch (want_) {
    case Want::Address:
        if (byte == 0) {
            ++errors_;
            return std::nullopt;
        }
        cur_ = Packet{byte, {}};
        want_ = Want::Size;
        return std::nullopt;
    case Want::Size:
        if (byte > kMaxData) {
            ++errors_;
            want_ = Want::Address;
            return std::nullopt;
        }
        size_ = byte;
        if (size_ == 0) {
            want_ = Want::Address;
            return cur_;
        }
        want_ = Want::Data;
        return std::nullopt;
    case Want::Data:
        cur_.data.push_back(byte);
        if (cur_.data.size() == size_) {
            want_ = Want::Address;
            return cur_;
        }
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace vmsim
