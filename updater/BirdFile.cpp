// Reading a BIRD file: header test, loading, inflating and splitting into blocks,
// plus the descriptor queries.
#include "updater/BirdFile.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <stdexcept>

#include "app/Log.h"
#include "lib/unix/aFile.h"

namespace {

constexpr size_t kHeaderLength = 6;
constexpr size_t kDescriptorLength = 64;

uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// Reads up to four bytes big-endian, padding missing low bytes with zero.
uint32_t be32Partial(const uint8_t* p, size_t available) {
    uint8_t b[4] = {0, 0, 0, 0};
    std::memcpy(b, p, std::min<size_t>(available, 4));
    return be32(b);
}

int clampInt(long long v) {
    return int(std::clamp<long long>(v, INT_MIN, INT_MAX));
}

}  // namespace

BirdFile::BirdFile() = default;

BirdFile::BirdFile(const std::string& filePath) : path(filePath) {
    if (!Load()) throw std::runtime_error("Failed to load bird data");
}

bool BirdFile::VerifyFile(const std::string& filePath) {
    aFileRef file = aFile_Open(filePath.c_str(), aFileModeReadOnly);
    if (file == nullptr) {
        Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", filePath.c_str());
        return false;
    }
    uint8_t header[kHeaderLength] = {};
    size_t got = 0;
    aErr err = aFile_Read(file, header, sizeof header, &got);
    aFile_Close(&file);
    return err == aErrNone && got == kHeaderLength && std::memcmp(header, BIRD_FILE_SIGNATURE, 4) == 0 &&
           header[4] != 0 && header[5] != 0;
}

void BirdFile::resetContent() {
    signature = 0;
    version = 0;
    checksum = 0;
    blockCount = 0;
    blocks.clear();
    hasSerialOffsets = false;
    serialNumberOffset = 0;
    descriptorOffset = 0;
    payload.reset();
    payloadLength = 0;
}

bool BirdFile::Load() {
    Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());
    if (!aFile_Exists(path.c_str())) {
        Log::log(Log::DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
        resetContent();
        return false;
    }
    aFileRef file = aFile_Open(path.c_str(), aFileModeReadOnly);
    if (file == nullptr) {
        Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
        resetContent();
        return false;
    }
    uint32_t size = 0;
    aErr err = aFile_GetSize(file, &size);
    if (err != aErrNone) {
        Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", int(err), path.c_str());
        aFile_Close(&file);
        resetContent();
        return false;
    }

    std::unique_ptr<uint8_t[]> buffer(new uint8_t[size > 0 ? size : 1]);
    size_t got = 0;
    bool ok = true;
    if (size > 0) {
        err = aFile_Read(file, buffer.get(), size, &got);
        if (err != aErrNone) {
            Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", int(err), path.c_str());
            ok = false;
        } else if (got != size) {
            Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", path.c_str(),
                     got, size_t(size));
            ok = false;
        }
    }
    aFile_Close(&file);
    if (!ok) {
        resetContent();
        return false;
    }
    return LoadData(buffer.get(), got);
}

bool BirdFile::LoadData(const uint8_t* data, size_t length) {
    resetContent();
    // Without a whole header there is nothing to inflate; refusing such a file keeps
    // every later read inside the buffer.
    if (data == nullptr || length < kHeaderLength) {
        Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Error - bird file too short: %zu bytes\n", length);
        return false;
    }
    signature = be32(data);
    version = uint16_t((data[4] << 8) | data[5]);

    bool result = DecompressData(data + kHeaderLength, length - kHeaderLength);
    if (result) {
        ScanBlocks(payload.get(), payloadLength);  // mismatches are logged, not fatal
        FindSerialNumberOffsets();
    }
    hasSerialOffsets = !FindBlocks(BLOCK_SERIAL_OFFSETS).empty();
    return result;
}

bool BirdFile::DecompressData(const uint8_t* data, size_t length) {
    blocks.clear();
    blockCount = 0;
    payload.reset();
    payloadLength = 0;

    // Start where most firmware lands (eight times the compressed size) and grow when
    // the stream inflates further: padding of 0xFF compresses far better than 8:1.
    size_t capacity = std::clamp<size_t>(length > MAX_PAYLOAD / 8 ? MAX_PAYLOAD : length * 8, 64, MAX_PAYLOAD);
    uint8_t* out = static_cast<uint8_t*>(std::malloc(capacity));
    if (out == nullptr) {
        Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
        return false;
    }
    payload.reset(out);

    z_stream zs{};
    int rc = inflateInit(&zs);
    if (rc != Z_OK) {
        Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", rc);
        payload.reset();
        return false;
    }
    // zlib counts in uInt; feed the input in slices so huge buffers stay correct.
    const uint8_t* in = data;
    size_t inLeft = length;
    size_t produced = 0;
    for (;;) {
        if (zs.avail_in == 0 && inLeft > 0) {
            zs.next_in = const_cast<Bytef*>(in);
            zs.avail_in = uInt(std::min<size_t>(inLeft, UINT_MAX));
            in += zs.avail_in;
            inLeft -= zs.avail_in;
        }
        if (produced == capacity) {
            if (capacity >= MAX_PAYLOAD) {
                rc = Z_BUF_ERROR;
                break;
            }
            size_t grown = std::min(capacity * 2, MAX_PAYLOAD);
            uint8_t* bigger = static_cast<uint8_t*>(std::realloc(payload.get(), grown));
            if (bigger == nullptr) {
                rc = Z_MEM_ERROR;
                break;
            }
            payload.release();
            payload.reset(bigger);
            capacity = grown;
        }
        zs.next_out = payload.get() + produced;
        zs.avail_out = uInt(std::min<size_t>(capacity - produced, UINT_MAX));
        uInt before = zs.avail_out;
        rc = inflate(&zs, Z_NO_FLUSH);
        produced += before - zs.avail_out;
        if (rc == Z_STREAM_END || rc == Z_OK) {
            if (rc == Z_STREAM_END) break;
            continue;
        }
        if (rc == Z_BUF_ERROR && (zs.avail_in > 0 || inLeft > 0)) continue;  // output full: grow
        // Input ended before the stream did, or the stream is corrupt; report it the
        // way zlib's one-shot uncompress does.
        if (rc == Z_BUF_ERROR || rc == Z_NEED_DICT) rc = Z_DATA_ERROR;
        break;
    }
    inflateEnd(&zs);
    if (rc != Z_STREAM_END) {
        Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", rc);
        payload.reset();
        payloadLength = 0;
        return false;
    }
    payloadLength = produced;
    return true;
}

bool BirdFile::ScanBlocks(uint8_t* data, size_t length) {
    blockCount = 0;
    blocks.clear();
    checksum = 0;
    if (data == nullptr) length = 0;

    uint32_t reported = length >= 4 ? be32(data) : 0;
    Log::log(Log::DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", int(reported));
    Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(Log::DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

    // Positions are kept wide so a stated length near 4 GiB cannot wrap around.
    long long pos = 4;
    const long long end = (long long)length;
    while (end - pos > 4) {
        const uint8_t* p = data + pos;
        BirdBlock block;
        block.type = p[0] & BIRD_FILE_TYPE_MASK;
        block.flags = uint8_t((p[0] & BIRD_FILE_FLAG_MASK) >> 5);
        block.length = be32Partial(p + 1, size_t(end - pos - 1));
        long long next = pos + 5 + (long long)block.length;
        Log::log(Log::DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags, int(block.length));
        if (next > end) {
            // The block claims more bytes than the payload holds: it is dropped and the
            // scan ends, reported below as a size mismatch.
            pos = next;
            break;
        }
        block.data = data + pos + 5;
        if ((block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE) && block.length >= 4)
            block.address = be32(block.data);
        if (block.type == BLOCK_DESCRIPTOR) {
            char text[kDescriptorLength];
            std::memset(text, ' ', sizeof text);
            std::memcpy(text, block.data, std::min<size_t>(block.length, sizeof text));
            for (int f = 0; f < 4; ++f) {
                char field[17];
                std::memcpy(field, text + 16 * f, 16);
                field[16] = 0;
                Log::log(Log::DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", field);
            }
        }
        ++blockCount;
        blocks.push_back(block);
        pos = next;
    }

    if (pos >= 0 && end - pos >= 4) checksum = be32(data + pos);
    Log::log(Log::DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);

    bool result = true;
    long long remaining = end - pos - 4;
    if (remaining != 0) {
        Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 clampInt(remaining));
        result = false;
    }
    if (blockCount != reported) {
        Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 int(blockCount), int(reported));
        result = false;
    }
    return result;
}

std::vector<BirdBlock> BirdFile::FindBlocks(uint8_t type) const {
    std::vector<BirdBlock> found;
    for (const BirdBlock& b : blocks)
        if (b.type == type) found.push_back(b);
    return found;
}

bool BirdFile::FindSerialNumberOffsets() {
    if (blocks.empty()) return false;
    for (const BirdBlock& b : blocks) {
        if (b.type != BLOCK_SERIAL_OFFSETS) continue;
        // A short block leaves the missing address as 0, that is absent.
        serialNumberOffset = b.length >= 4 ? be32(b.data) : 0;
        descriptorOffset = b.length >= 8 ? be32(b.data + 4) : 0;
        Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n", int(serialNumberOffset),
                 int(descriptorOffset));
        return true;
    }
    return false;
}

bool BirdFile::descriptor(char out[64]) const {
    for (const BirdBlock& b : blocks) {
        if (b.type != BLOCK_DESCRIPTOR) continue;
        std::memset(out, ' ', kDescriptorLength);
        std::memcpy(out, b.data, std::min<size_t>(b.length, kDescriptorLength));
        return true;
    }
    return false;
}

uint32_t BirdFile::GetSerialNumber() const {
    char d[kDescriptorLength];
    if (!descriptor(d)) return 0;
    uint32_t value = 0;
    for (int i = 32; i < 40; ++i) {
        char c = d[i];
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else break;
        value = (value << 4) | uint32_t(digit);
    }
    return value;
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const {
    return serial == GetSerialNumber();
}

uint32_t BirdFile::GetBuild() const {
    char d[kDescriptorLength];
    if (!descriptor(d)) return 0;
    uint64_t value = 0;
    for (int i = 0; i < 16 && d[i] >= '0' && d[i] <= '9'; ++i) {
        value = value * 10 + uint64_t(d[i] - '0');
        if (value > UINT32_MAX) return UINT32_MAX;
    }
    return uint32_t(value);
}

std::string BirdFile::GetVersion() const {
    char d[kDescriptorLength];
    if (!descriptor(d)) return {};
    std::string text(d + 16, 16);
    size_t cut = text.find_first_of(std::string(" \0", 2));
    if (cut != std::string::npos) text.resize(cut);
    return text;
}

bool BirdFile::ValidateModel(const std::string& model) const {
    char d[kDescriptorLength];
    if (!descriptor(d)) return false;
    std::string field(d + 48, 16);
    size_t nul = field.find('\0');
    if (nul != std::string::npos) field.resize(nul);
    while (!field.empty() && field.back() == ' ') field.pop_back();
    if (model.size() > field.size() || field.compare(0, model.size(), model) != 0) return false;
    Log::log(Log::DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field.c_str(), model.c_str());
    return true;
}
