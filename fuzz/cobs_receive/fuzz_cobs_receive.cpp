// The framed serial receiver over arbitrary line bytes, and a round trip through
// both ends of the framing.
//
// 1. The raw byte stuffing: any bytes encode to text without a zero that decodes
//    back to them, and decoding arbitrary text stays inside its buffer.
// 2. The receiving stream reads the input as line bytes (noise, broken frames,
//    frames with bad checks) and hands out whatever it accepts; every accepted
//    frame must be a whole packet [address, size, size bytes].
// 3. The input, written as packet bytes into a sending stream, gives frames that
//    a receiving stream turns back into exactly the packets written.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lib/common/aPacket.h"
#include "lib/common/aStream.h"
#include "lib/common/cobs.h"

namespace {

struct Line {
    const uint8_t* data;
    size_t size;
    size_t pos;
};

aErr lineGet(uint8_t* byte, void* ref) {
    auto* line = static_cast<Line*>(ref);
    if (line->pos >= line->size) return aErrEOF;
    *byte = line->data[line->pos++];
    return aErrNone;
}

aErr capture(const uint8_t* bytes, size_t length, void* ref) {
    static_cast<std::vector<uint8_t>*>(ref)->insert(static_cast<std::vector<uint8_t>*>(ref)->end(), bytes,
                                                      bytes + length);
    return aErrNone;
}

// Everything a receiving stream hands out while it reads the line to its end.
std::vector<uint8_t> receive(const uint8_t* data, size_t size) {
    Line line{data, size, 0};
    aStream* stream = nullptr;
    if (aStream_CreateCobsEncoding(lineGet, nullptr, nullptr, nullptr, &line, &stream) != aErrNone) std::abort();
    std::vector<uint8_t> out;
    // Each line byte is one get at most; the bound only stops a receiver that
    // would loop without consuming anything.
    for (size_t guard = 0; guard < 4 * size + 64; ++guard) {
        uint8_t byte = 0;
        const bool ended = line.pos >= line.size;
        aErr err = aStream_Read(stream, &byte, 1);
        if (err == aErrNone) out.push_back(byte);
        else if (err == aErrPacket) continue;  // a delimiter ended something that was no frame
        else if (err != aErrNotReady) std::abort();
        else if (ended) break;  // the line had ended and nothing is left to hand out
    }
    aStream_Destroy(&stream);
    return out;
}

// The packets in a run of whole packets; aborts when the run is not one.
size_t countPackets(const std::vector<uint8_t>& bytes) {
    size_t i = 0, packets = 0;
    while (i < bytes.size()) {
        if (i + 1 >= bytes.size() || bytes[i + 1] > aPACKET_MAX_DATA) std::abort();
        i += size_t(bytes[i + 1]) + 2;
        if (i > bytes.size()) std::abort();
        ++packets;
    }
    return packets;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // 1. Byte stuffing.
    std::vector<uint8_t> encoded(COBS_ENCODED_MAX(size));
    const size_t n = cobs_encode(data, size, encoded.data());
    if (n > encoded.size() || std::memchr(encoded.data(), 0, n) != nullptr) std::abort();
    std::vector<uint8_t> decoded(n);
    if (cobs_decode(encoded.data(), n, decoded.data()) != size) std::abort();
    if (size > 0 && std::memcmp(decoded.data(), data, size) != 0) std::abort();
    std::vector<uint8_t> raw(data, data + size);
    std::vector<uint8_t> scratch(size ? size : 1);
    if (cobs_decode(raw.data(), size, scratch.data()) > size) std::abort();

    // 2. Arbitrary line bytes.
    countPackets(receive(data, size));

    // 3. Round trip.
    std::vector<uint8_t> frames;
    aStream* sender = nullptr;
    if (aStream_CreateCobsEncoding(nullptr, nullptr, capture, nullptr, &frames, &sender) != aErrNone) std::abort();
    // One byte can never be a packet; a one-byte write goes to the line's own put.
    if (size > 1 && aStream_Write(sender, data, size) != aErrNone) std::abort();
    aStream_Destroy(&sender);
    // The packets the sender accepted, by the same rules as its assembler.
    std::vector<uint8_t> packets;
    aPacket* assembler = aPacket_Create();
    for (size_t i = 0; size > 1 && i < size; ++i) {
        if (aPacket_AddByte(assembler, data[i]) != aErrNone) {
            aPacket_Reset(assembler);
            continue;
        }
        if (!aPacket_IsComplete(assembler)) continue;
        uint8_t wire[aPACKET_MAX_WIRE];
        uint32_t w = 0;
        aPacket_GetBytes(assembler, wire, sizeof wire, &w);
        packets.insert(packets.end(), wire, wire + w);
        aPacket_Reset(assembler);
    }
    aPacket_Destroy(&assembler);
    if (receive(frames.data(), frames.size()) != packets) std::abort();
    return 0;
}
