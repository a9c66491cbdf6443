#pragma once
// A BIRD firmware file held in memory: header check, inflated payload split into
// blocks, descriptor queries and the in-memory patches applied before a transfer.
// Files are only read, never written back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#define BIRD_FILE_SIGNATURE "bird"
#define BIRD_FILE_VERSION 0x0101
#define BIRD_FILE_TYPE_MASK 0x1F
#define BIRD_FILE_FLAG_MASK 0xE0

enum BLOCK_TYPE : uint8_t {
    BLOCK_LOADER = 0,
    BLOCK_FIRMWARE = 1,
    BLOCK_SERIAL_OFFSETS = 2,
    BLOCK_DESCRIPTOR = 4,
    BLOCK_LOADER_START = 5,
};

// One scanned block. It points into the payload of the BirdFile it came from and
// stays valid while that file (or the file it was moved into) lives unreloaded.
struct BirdBlock {
    uint8_t type = 0;
    uint8_t flags = 0;        // 0 to 7
    uint32_t length = 0;      // data length, load address included for types 0 and 1
    uint32_t address = 0;     // load address for types 0 and 1, otherwise 0
    uint8_t* data = nullptr;  // `length` bytes
};

class BirdFile {
public:
    BirdFile();
    // Loads the file; throws std::runtime_error("Failed to load bird data") on failure.
    explicit BirdFile(const std::string& path);
    BirdFile(BirdFile&&) noexcept = default;
    BirdFile& operator=(BirdFile&&) noexcept = default;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;

    // Header test: six bytes readable, "bird", both version bytes non-zero.
    static bool VerifyFile(const std::string& path);

    bool Load();
    // Same as Load, from the bytes of a whole file already in memory.
    bool LoadData(const uint8_t* data, size_t length);
    bool DecompressData(const uint8_t* data, size_t length);
    // Blocks point into `payload`, which must outlive them.
    bool ScanBlocks(uint8_t* payload, size_t length);

    std::vector<BirdBlock> FindBlocks(uint8_t type) const;
    bool FindSerialNumberOffsets();

    bool ReplaceSerialNumber(uint32_t serial);
    bool ReplaceVectorChecksum();
    bool DecodeFirmwareBlocks(uint32_t k0, uint32_t k1, uint32_t k2, uint32_t k3);
    bool DecodeFirmwareBlocks(const uint32_t key[4]) { return DecodeFirmwareBlocks(key[0], key[1], key[2], key[3]); }

    uint32_t GetSerialNumber() const;
    bool ValidateSerialNumber(uint32_t serial) const;
    uint32_t GetBuild() const;
    std::string GetVersion() const;
    bool ValidateModel(const std::string& model) const;

    bool DumpBlocks(uint8_t type) const;

    const std::string& GetPath() const { return path; }
    uint32_t GetSignature() const { return signature; }
    uint16_t GetFileVersion() const { return version; }
    uint32_t GetChecksum() const { return checksum; }
    uint32_t GetBlockCount() const { return blockCount; }
    const std::vector<BirdBlock>& GetBlocks() const { return blocks; }
    const uint8_t* GetPayload() const { return payload.get(); }
    size_t GetPayloadLength() const { return payloadLength; }

    // Upper bound of an inflated payload; anything larger is refused as corrupt.
    static constexpr size_t MAX_PAYLOAD = size_t(256) << 20;

private:
    struct FreeDeleter {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    // The 64 descriptor bytes, space padded when the block is short; false when there is none.
    bool descriptor(char out[64]) const;
    void resetContent();

public:
    std::string path;
    uint32_t signature = 0;
    uint16_t version = 0;
    uint32_t checksum = 0;
    uint32_t blockCount = 0;
    std::vector<BirdBlock> blocks;
    bool hasSerialOffsets = false;
    uint32_t serialNumberOffset = 0;
    uint32_t descriptorOffset = 0;

private:
    std::unique_ptr<uint8_t, FreeDeleter> payload;
    size_t payloadLength = 0;
};
