#include "lib/common/aStream.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <new>
#include <thread>
#include <vector>

#include "lib/unix/aFile.h"

struct aStream {
    uint16_t check;
    aStreamGetProc get;
    aStreamPutProc put;
    aStreamWriteProc write;
    aStreamDeleteProc del;
    aStreamWaitProc wait;
    void* ref;
    // Bytes given back, read again before the transport. Only the reading side
    // touches it.
    std::deque<uint8_t> pushback;
};

#define aVALIDSTREAM(s) ((s) != nullptr && (s)->check == aSTREAM_CHECK)

namespace {

// The oldest pushed-back byte, else one from the transport.
aErr nextByte(aStream* s, uint8_t* byte)
{
    if (!s->pushback.empty()) {
        *byte = s->pushback.front();
        s->pushback.pop_front();
        return aErrNone;
    }
    return s->get(byte, s->ref);
}

// Puts bytes back in front of everything still waiting, in their order, so the
// next read sees exactly what this one consumed.
aErr giveBack(aStream* s, const uint8_t* bytes, size_t n)
{
    try {
        s->pushback.insert(s->pushback.begin(), bytes, bytes + n);
    } catch (const std::bad_alloc&) {
        return aErrMemory;
    }
    return aErrNone;
}

} // namespace

aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc del, void* ref)
{
    auto* s = new (std::nothrow) aStream{};
    if (!s)
        return nullptr;
    s->get = get;
    s->put = put;
    s->write = write;
    s->del = del;
    s->wait = nullptr;
    s->ref = ref;
    s->check = aSTREAM_CHECK;
    return s;
}

aErr aStream_SetWaitProc(aStream* stream, aStreamWaitProc wait)
{
    if (!aVALIDSTREAM(stream))
        return aErrParam;
    stream->wait = wait;
    return aErrNone;
}

aErr aStream_WaitReadable(aStream* stream, uint32_t ms)
{
    if (!aVALIDSTREAM(stream))
        return aErrParam;
    if (!stream->pushback.empty())
        return aErrNone;
    if (stream->wait)
        return stream->wait(ms, stream->ref);
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return aErrNone;
}

aErr aStream_Read(aStream* stream, uint8_t* destination, size_t n)
{
    if (!aVALIDSTREAM(stream) || !destination)
        return aErrParam;
    if (!stream->get)
        return aErrMode;
    if (n == 0)
        return aErrNone;
    // Reads gather into a scratch buffer so that a failed read leaves the
    // caller's buffer untouched. The reader thread of a link calls this once
    // per received byte, so the usual small sizes stay off the heap.
    constexpr size_t kStackScratch = 64;
    uint8_t local[kStackScratch];
    std::vector<uint8_t> large;
    uint8_t* scratch = local;
    if (n > kStackScratch) {
        try {
            large.resize(n);
        } catch (const std::bad_alloc&) {
            return aErrResource;
        }
        scratch = large.data();
    }
    size_t got = 0;
    aErr err = aErrNone;
    while (got < n) {
        err = nextByte(stream, &scratch[got]);
        if (err != aErrNone)
            break;
        ++got;
    }
    if (err == aErrNotReady) {
        aErr kept = giveBack(stream, scratch, got);
        return kept == aErrNone ? aErrNotReady : kept;
    }
    if (err == aErrNone || err == aErrEOF)
        memcpy(destination, scratch, got);
    return err;
}

aErr aStream_Write(aStream* stream, const uint8_t* bytes, size_t n)
{
    if (!aVALIDSTREAM(stream) || !bytes)
        return aErrParam;
    if (!stream->write && !stream->put)
        return aErrMode;
    if (n == 0)
        return aErrNone;
    if (stream->write && (n > 1 || !stream->put))
        return stream->write(bytes, n, stream->ref);
    for (size_t i = 0; i < n; ++i) {
        aErr err = stream->put(&bytes[i], stream->ref);
        if (err != aErrNone)
            return err;
    }
    return aErrNone;
}

aErr aStreamBufferChar(aStream* stream, uint8_t byte)
{
    if (!aVALIDSTREAM(stream))
        return aErrParam;
    try {
        stream->pushback.push_back(byte);
    } catch (const std::bad_alloc&) {
        return aErrMemory;
    }
    return aErrNone;
}

aErr aStream_ReadRecord(aStream* stream, uint8_t* out, size_t* pLength, size_t maximum,
                        const uint8_t* delimiter, size_t delimiterLength)
{
    if (pLength)
        *pLength = 0;
    std::vector<uint8_t> record;
    std::vector<uint8_t> consumed;
    try {
        record.reserve(maximum);
        consumed.reserve(maximum + delimiterLength);
    } catch (const std::bad_alloc&) {
        return aErrResource;
    }
    if (!aVALIDSTREAM(stream) || !out || !delimiter || delimiterLength == 0)
        return aErrParam;
    if (!stream->get)
        return aErrMode;

    size_t matched = 0;
    aErr result = aErrNone;
    while (record.size() < maximum) {
        uint8_t byte = 0;
        aErr err = nextByte(stream, &byte);
        if (err == aErrEOF) {
            // Whatever part of a delimiter had matched is record content after all.
            record.insert(record.end(), delimiter, delimiter + std::min(matched, maximum - record.size()));
            result = record.empty() ? aErrEOF : aErrNone;
            break;
        }
        if (err == aErrNotReady) {
            // All or nothing: every byte this call took, delimiter bytes included,
            // is read again next time.
            aErr kept = giveBack(stream, consumed.data(), consumed.size());
            return kept == aErrNone ? aErrNotReady : kept;
        }
        if (err != aErrNone)
            return err;
        consumed.push_back(byte);

        if (byte == delimiter[matched]) {
            if (++matched == delimiterLength)
                break;
            continue;
        }
        if (matched > 0) {
            // A partial delimiter that the next byte broke belongs to the record;
            // the breaking byte may itself begin a new delimiter.
            size_t take = std::min(matched, maximum - record.size());
            record.insert(record.end(), delimiter, delimiter + take);
            if (take < matched) {
                // No room left: hand back what did not fit, the current byte last.
                std::vector<uint8_t> rest(delimiter + take, delimiter + matched);
                rest.push_back(byte);
                giveBack(stream, rest.data(), rest.size());
                break;
            }
            matched = 0;
            if (record.size() == maximum) {
                giveBack(stream, &byte, 1);
                break;
            }
            if (byte == delimiter[0]) {
                if (++matched == delimiterLength)
                    break;
                continue;
            }
        }
        record.push_back(byte);
    }
    if (!record.empty())
        memcpy(out, record.data(), record.size());
    if (pLength)
        *pLength = record.size();
    return result;
}

aErr aStream_WriteRecord(aStream* stream, const uint8_t* record, size_t length,
                         const uint8_t* delimiter, size_t delimiterLength)
{
    if (!aVALIDSTREAM(stream) || !record || !delimiter || delimiterLength == 0)
        return aErrParam;
    aErr err = aStream_Write(stream, record, length);
    if (err != aErrNone)
        return err;
    return aStream_Write(stream, delimiter, delimiterLength);
}

aErr aStream_ReadCString(aStream* stream, char* out, size_t size)
{
    if (!out || size == 0)
        return aErrParam;
    const uint8_t zero = 0;
    size_t length = 0;
    aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(out), &length, size - 1, &zero, 1);
    if (err == aErrNone)
        out[length] = '\0';
    return err;
}

aErr aStream_WriteCString(aStream* stream, const char* text)
{
    if (!text)
        return aErrParam;
    return aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), strlen(text) + 1);
}

aErr aStream_ReadCStringRecord(aStream* stream, char* out, size_t size, const char* delimiter)
{
    if (!out || size == 0 || !delimiter)
        return aErrParam;
    size_t length = 0;
    aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(out), &length, size - 1,
                                  reinterpret_cast<const uint8_t*>(delimiter), strlen(delimiter));
    if (err == aErrNone)
        out[length] = '\0';
    return err;
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* delimiter)
{
    if (!text || !delimiter)
        return aErrParam;
    return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), strlen(text),
                               reinterpret_cast<const uint8_t*>(delimiter), strlen(delimiter) + 1);
}

aErr aStream_Flush(aStream* source, aStream* destination)
{
    if (!aVALIDSTREAM(source) || !aVALIDSTREAM(destination))
        return aErrParam;
    if (!source->get || !destination->put)
        return aErrMode;
    for (;;) {
        uint8_t byte = 0;
        aErr err = source->get(&byte, source->ref);
        if (err == aErrEOF)
            return aErrNone;
        if (err != aErrNone)
            return err;
        err = destination->put(&byte, destination->ref);
        if (err != aErrNone)
            return err;
    }
}

aErr aStream_Destroy(aStream** pStream)
{
    if (!pStream)
        return aErrParam;
    aStream* s = *pStream;
    *pStream = nullptr;
    if (!aVALIDSTREAM(s))
        return aErrParam;
    aErr err = aErrNone;
    if (s->del)
        err = s->del(s->ref);
    s->check = 0;
    delete s;
    return err;
}

// File streams ---------------------------------------------------------------

namespace {

aErr sFileGet(uint8_t* pByte, void* ref)
{
    if (!ref)
        return aErrIO;
    size_t n = 0;
    aErr err = aFile_Read(static_cast<aFileRef>(ref), pByte, 1, &n);
    return err == aErrNone && n == 1 ? aErrNone : (err == aErrNone ? aErrEOF : err);
}

aErr sFileWrite(const uint8_t* pData, size_t length, void* ref)
{
    if (!ref)
        return aErrIO;
    size_t n = 0;
    aErr err = aFile_Write(static_cast<aFileRef>(ref), pData, length, &n);
    if (err == aErrNone && n != length)
        return aErrIO;  // a short write is a failure, not a success with bytes lost
    return err;
}

aErr sFilePut(const uint8_t* pByte, void* ref)
{
    return sFileWrite(pByte, 1, ref);
}

aErr sFileDelete(void* ref)
{
    if (!ref)
        return aErrIO;
    aFileRef f = static_cast<aFileRef>(ref);
    return aFile_Close(&f);
}

aErr makeFileStream(const char* path, aFileMode mode, aStream** pStream)
{
    if (!pStream)
        return aErrResource;
    *pStream = nullptr;
    if (!path)
        return aErrResource;
    aFileRef f = aFile_Open(path, mode);
    if (!f)
        return aErrResource;
    aStream* s = mode == aFileModeReadOnly ? aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, f)
                                           : aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, f);
    if (!s) {
        aFile_Close(&f);
        return aErrResource;
    }
    *pStream = s;
    return aErrNone;
}

} // namespace

aErr aStream_CreateFileInput(const char* path, aStream** pStream)
{
    return makeFileStream(path, aFileModeReadOnly, pStream);
}

aErr aStream_CreateFileOutput(const char* path, aStream** pStream)
{
    return makeFileStream(path, aFileModeWriteOnly, pStream);
}
