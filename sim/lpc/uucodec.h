#pragma once
// UU-encoding as the LPC boot ROM uses it for RAM data lines: a length character,
// then four characters per three bytes. Kept here on its own so the simulated chip
// never shares a codec with the host it is checking.
#include <cstdint>
#include <string>
#include <vector>

namespace lpcsim {

// One line (without line end) for up to 45 bytes; zero fields are written as "`".
std::string uu_encode_line(const uint8_t* data, size_t count);

// Decodes one line (line end already removed). Returns false when the line is
// shorter than its length character promises.
bool uu_decode_line(const std::string& line, std::vector<uint8_t>& out);

}  // namespace lpcsim
