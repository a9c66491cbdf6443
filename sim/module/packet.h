// One device packet as it travels between a host and a simulated module, and the
// byte-at-a-time assembler that rebuilds packets from a raw (unframed) stream.
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

namespace vmsim {

constexpr std::size_t kMaxData = 28;
constexpr uint8_t kAddrSync = 0xAD;       // link synchronisation / address query
constexpr uint8_t kAddrForceRoute = 0xAF; // route forcing, one data byte

struct Packet {
    uint8_t address = 0;
    std::vector<uint8_t> data;

    // address, size, data
    std::vector<uint8_t> wire() const;
    bool operator==(const Packet&) const = default;
};

// Raw stream assembler. A zero address byte or a size above 28 puts the stream out
// of step: the assembler drops what it has and starts over with the next byte.
class Assembler {
public:
    std::optional<Packet> feed(uint8_t byte);
    unsigned errors() const { return errors_; }

private:
    enum class Want { Address, Size, Data } want_ = Want::Address;
    Packet cur_;
    std::size_t size_ = 0;
    unsigned errors_ = 0;
};

} // namespace vmsim
