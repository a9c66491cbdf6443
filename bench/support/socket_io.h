#pragma once
// Whole-buffer reads and writes on a blocking descriptor, for the benchmarks'
// peers and raw round trips.
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace bench_io {

// False when the peer closed or an error ended the read before n bytes.
inline bool readExactly(int fd, uint8_t* buf, size_t n)
{
    size_t got = 0;
    while (got < n) {
        ssize_t k = read(fd, buf + got, n - got);
        if (k <= 0) return false;
        got += static_cast<size_t>(k);
    }
    return true;
}

inline bool writeAll(int fd, const uint8_t* buf, size_t n)
{
    size_t off = 0;
    while (off < n) {
        ssize_t k = write(fd, buf + off, n - off);
        if (k <= 0) return false;
        off += static_cast<size_t>(k);
    }
    return true;
}

}  // namespace bench_io
