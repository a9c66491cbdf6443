// What an i.MX ROM was loaded with, from its events, and whether a jump went
// into it: only a jump into loaded memory starts code; any other leaves the ROM
// where it was.
#pragma once
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vmusbsim {

struct RomWatch {
    std::vector<std::pair<uint32_t, uint32_t>> writes; // address and length of every file write
    std::optional<uint32_t> jump;                       // a jump into loaded memory not yet acted on

    void event(const std::string& e)
    {
        unsigned address = 0, count = 0;
        if (std::sscanf(e.c_str(), "write-file %x %u", &address, &count) == 2) {
            writes.emplace_back(address, count);
        } else if (std::sscanf(e.c_str(), "jump %x", &address) == 1) {
            for (auto& [start, length] : writes)
                if (address >= start && address - start < length)
                    jump = address;
        }
    }
    std::optional<uint32_t> take_jump()
    {
        auto j = jump;
        jump.reset();
        return j;
    }
};

} // namespace vmusbsim
