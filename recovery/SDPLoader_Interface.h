#pragma once
// The byte channel the serial download engine talks through: USB HID or a serial
// port. Packets are built with a report identifier in front; a transport that has
// no reports drops it.
#include <cstddef>
#include <cstdint>
#include <vector>

class SDPLoader_Interface {
public:
    virtual ~SDPLoader_Interface() = default;
    // Opens the channel.
    virtual bool init() = 0;
    // Sends one packet; returns the bytes written (negative on a failed channel).
    virtual int writeData(const std::vector<uint8_t>& packet) = 0;
    // Appends what arrives within the time to the reply; returns the bytes appended.
    virtual int readData(std::vector<uint8_t>& reply, int timeoutMs) = 0;
    // ORs the little-endian data word of a complete reply into value.
    virtual bool getDataFromBuffer(const std::vector<uint8_t>& reply, size_t index, uint32_t& value) = 0;
};
