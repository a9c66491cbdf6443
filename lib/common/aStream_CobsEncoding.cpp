// Packet framing for serial lines: each packet travels as COBS(wire form + CRC-8)
// followed by a 0x00 delimiter.
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "lib/common/aPacket.h"
#include "lib/common/aStream.h"
#include "lib/common/cobs.h"
#include "lib/common/crc8.h"

namespace {

constexpr uint16_t kCobsCheck = 0xC0B5;
// The largest frame: 28 data bytes + address + size + CRC, plus one code byte.
constexpr size_t kMaxEncoded = aPACKET_MAX_WIRE + 2;
constexpr size_t kMaxDecoded = aPACKET_MAX_WIRE + 1;
// Smallest valid frame: address, size 0, CRC encoded with one code byte.
constexpr size_t kMinEncoded = 4;

struct CobsState {
    uint16_t check;
    aStreamGetProc get;
    aStreamPutProc put;
    aStreamWriteProc write;
    aStreamDeleteProc del;
    aStreamWaitProc wait;
    void* ref;

    // Receiving side (the reader's thread only). The buffer keeps the newest
    // bytes of the frame being received; overflowed tells that older ones
    // were pushed out, so what came before can only have been noise.
    uint8_t receive[kMaxEncoded];
    size_t receiveCount;
    bool overflowed;
    uint8_t frame[kMaxDecoded];
    size_t frameLength;  // bytes to hand out (wire form without the CRC)
    size_t framePos;
    bool delivering;

    // Sending side (the writer's thread only).
    aPacket* assembler;
    uint8_t send[kMaxEncoded + 1];
};

CobsState* state(void* ref)
{
    auto* s = static_cast<CobsState*>(ref);
    return s && s->check == kCobsCheck ? s : nullptr;
}

// Decodes one candidate frame; true when it is a whole packet with a good CRC.
bool decodeFrame(const uint8_t* encoded, size_t n, uint8_t* out, size_t* outLength)
{
    if (n < kMinEncoded || n > kMaxEncoded)
        return false;
    uint8_t decoded[kMaxEncoded];
    size_t len = cobs_decode(encoded, n, decoded);
    if (len <= 2 || len > kMaxDecoded || static_cast<size_t>(decoded[1]) + 3 != len)
        return false;
    if (!crc8_check(decoded, len - 1, decoded[len - 1]))
        return false;
    memcpy(out, decoded, len - 1);
    *outLength = len - 1;
    return true;
}

// A delimiter arrived: decide what the gathered bytes were.
aErr endOfFrame(CobsState* s)
{
    const uint8_t* bytes = s->receive;
    size_t n = s->receiveCount;
    bool overflowed = s->overflowed;
    s->receiveCount = 0;
    s->overflowed = false;

    size_t length = 0;
    if (!overflowed && decodeFrame(bytes, n, s->frame, &length)) {
        s->frameLength = length;
        s->framePos = 0;
        s->delivering = true;
        return aErrNotReady;
    }
    // Noise that ran straight into a frame (a module printing text while it
    // boots, a line that picked up garbage): the frame is the tail of what was
    // gathered. Take the longest tail that is a whole, checked frame.
    for (size_t start = overflowed ? 0 : 1; start + kMinEncoded <= n; ++start) {
        if (decodeFrame(bytes + start, n - start, s->frame, &length)) {
            s->frameLength = length;
            s->framePos = 0;
            s->delivering = true;
            return aErrNotReady;
        }
    }
    return aErrPacket;
}

aErr sCobsGet(uint8_t* pByte, void* ref)
{
    CobsState* s = state(ref);
    if (!s || !pByte)
        return aErrParam;
    if (s->delivering) {
        *pByte = s->frame[s->framePos++];
        if (s->framePos >= s->frameLength)
            s->delivering = false;
        return aErrNone;
    }
    if (!s->get)
        return aErrNotReady;
    uint8_t byte = 0;
    // Line failures read as "nothing yet": a framed line recovers by itself.
    if (s->get(&byte, s->ref) != aErrNone)
        return aErrNotReady;
    if (byte != 0) {
        if (s->receiveCount == kMaxEncoded) {
            memmove(s->receive, s->receive + 1, kMaxEncoded - 1);
            s->receiveCount--;
            s->overflowed = true;
        }
        s->receive[s->receiveCount++] = byte;
        return aErrNotReady;
    }
    if (s->receiveCount == 0)
        return aErrNotReady;
    return endOfFrame(s);
}

aErr sendFrame(CobsState* s)
{
    uint8_t wire[kMaxDecoded];
    uint32_t n = 0;
    aErr err = aPacket_GetBytes(s->assembler, wire, aPACKET_MAX_WIRE, &n);
    aPacket_Reset(s->assembler);
    if (err != aErrNone)
        return aErrNone;  // not a packet after all: dropped
    wire[n] = crc8_create(wire, n);
    size_t len = cobs_encode(wire, n + 1, s->send);
    s->send[len++] = 0;
    if (s->write)
        return s->write(s->send, len, s->ref);
    if (!s->put)
        return aErrMode;
    for (size_t i = 0; i < len; ++i) {
        err = s->put(&s->send[i], s->ref);
        if (err != aErrNone)
            return err;
    }
    return aErrNone;
}

aErr sCobsWrite(const uint8_t* pData, size_t length, void* ref)
{
    CobsState* s = state(ref);
    if (!s || !pData)
        return aErrParam;
    aErr result = aErrNone;
    for (size_t i = 0; i < length; ++i) {
        if (aPacket_AddByte(s->assembler, pData[i]) != aErrNone) {
            aPacket_Reset(s->assembler);  // not a valid packet: discarded
            continue;
        }
        if (aPacket_IsComplete(s->assembler)) {
            aErr err = sendFrame(s);
            if (err != aErrNone)
                result = err;
        }
    }
    return result;
}

// A single byte is part of a packet like any other: it goes through the
// assembler, so byte-by-byte writes (and a one-byte aStream_Write, which uses
// put) still leave the line as whole frames. Handing it to the line raw would
// put an unframed byte between frames, which the peer reads as noise.
aErr sCobsPut(const uint8_t* pByte, void* ref)
{
    return sCobsWrite(pByte, 1, ref);
}

aErr sCobsWait(uint32_t ms, void* ref)
{
    CobsState* s = state(ref);
    if (!s)
        return aErrParam;
    if (s->delivering)
        return aErrNone;
    if (s->wait)
        return s->wait(ms, s->ref);
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return aErrNone;
}

aErr sCobsDelete(void* ref)
{
    CobsState* s = state(ref);
    if (!s)
        return aErrParam;
    aErr err = s->del ? s->del(s->ref) : aErrNone;
    aPacket_Destroy(&s->assembler);
    s->check = 0;
    delete s;
    return err;
}

} // namespace

aErr aStream_CreateCobsEncodingWithWait(aStreamGetProc get, aStreamPutProc put,
                                        aStreamWriteProc write, aStreamDeleteProc del,
                                        aStreamWaitProc wait, void* ref, aStream** pStream)
{
    if (!pStream)
        return aErrParam;
    *pStream = nullptr;
    auto* s = new (std::nothrow) CobsState{};
    if (!s)
        return aErrMemory;
    s->assembler = aPacket_Create();
    if (!s->assembler) {
        delete s;
        return aErrMemory;
    }
    s->get = get;
    s->put = put;
    s->write = write;
    s->del = del;
    s->wait = wait;
    s->ref = ref;
    s->check = kCobsCheck;
    aStream* stream = aStream_Create(sCobsGet, sCobsPut, sCobsWrite, sCobsDelete, s);
    if (!stream) {
        aPacket_Destroy(&s->assembler);
        delete s;
        return aErrResource;
    }
    aStream_SetWaitProc(stream, sCobsWait);
    *pStream = stream;
    return aErrNone;
}

aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc del, void* ref, aStream** pStream)
{
    return aStream_CreateCobsEncodingWithWait(get, put, write, del, nullptr, ref, pStream);
}
