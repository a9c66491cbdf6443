#pragma once
// The --interface option of the sharing tools: a dotted IPv4 address or the
// name of a network interface ("eth0"), turned into the interface's address.

#include <cstdint>
#include <optional>
#include <string>

namespace sharing_tools {

// The address (first octet in the lowest-addressed byte), or nothing when the
// text is neither an address nor the name of an interface with an IPv4 address.
std::optional<uint32_t> interfaceAddress(const std::string& text);

// Dotted text of an address.
std::string dotted(uint32_t address);

// A serial number written in hexadecimal (at most 8 digits, optional 0x).
std::optional<uint32_t> serialNumber(const std::string& text);

} // namespace sharing_tools
