#pragma once
// Authoring and inspecting BIRD firmware files, independent of the updater's own
// reader so that a misreading on one side shows up as a failing test. Used by
// birdtool, by tests to make fixtures, and by the reference update server.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace birdwriter {

enum : uint8_t {
    kLoader = 0,
    kFirmware = 1,
    kSerialOffsets = 2,
    kDescriptor = 4,
    kLoaderStart = 5,
};

// One block as it goes into the payload: type (0-31), flags (0-7) and its data.
struct Block {
    uint8_t type = 0;
    uint8_t flags = 0;
    std::vector<uint8_t> data;
};

struct BirdSpec {
    std::vector<Block> blocks;                 // file order
    std::optional<uint32_t> blockCount;        // stated count; default the number of blocks
    std::optional<uint32_t> checksum;          // default: 32-bit byte sum of the payload before it
    unsigned checksumBytes = 4;                // fewer than 4 truncates the trailer (malformed files)
    std::vector<uint8_t> trailer;              // extra bytes after the checksum (malformed files)
    std::string signature = "bird";            // first four bytes are written, padded with NUL
    uint8_t version[2] = {1, 1};
    int level = 9;                             // zlib compression level
};

// Block makers. Addresses are written most significant byte first.
Block loaderBlock(uint32_t address, const std::vector<uint8_t>& image, uint8_t flags = 0);
Block firmwareBlock(uint32_t address, const std::vector<uint8_t>& image, uint8_t flags = 0);
// Four 16-character fields padded with spaces; the serial number as eight hex digits.
Block descriptorBlock(uint32_t build, const std::string& version, uint32_t serial, const std::string& model);
// A descriptor from raw field texts (each cut or padded to 16 characters).
Block descriptorBlockText(const std::string& build, const std::string& version, const std::string& serial,
                          const std::string& model);
Block serialOffsetsBlock(uint32_t serialAddress, uint32_t descriptorAddress);

// The identity record a test firmware image carries so that a simulated module
// can report what it runs after an update: "VMID", the build number (32 bits,
// least significant byte first) and the version text (16 bytes, NUL-padded).
constexpr size_t kIdentityRecordSize = 24;
std::vector<uint8_t> identityRecord(uint32_t build, const std::string& version);
// Writes that record into an image block (loader or firmware) at `offset` bytes
// into its image (after the load address), growing the image when needed.
void stampIdentity(Block& image, uint32_t offset, uint32_t build, const std::string& version);
Block loaderStartBlock(uint32_t address);

// The uncompressed payload: count, blocks, checksum, trailer.
std::vector<uint8_t> make_payload(const BirdSpec& spec);
// A whole file: header then the zlib-compressed payload.
std::vector<uint8_t> make_bird(const BirdSpec& spec);
// Header bytes followed by the given payload compressed.
std::vector<uint8_t> wrap_payload(const std::vector<uint8_t>& payload, int level = 9);

// Writes bytes to a file; false (with errno set) on failure.
bool write_file(const std::string& path, const std::vector<uint8_t>& bytes);
bool read_file(const std::string& path, std::vector<uint8_t>& bytes);

// A parsed view of a file, for `birdtool info` and for cross-checks in tests.
struct BlockInfo {
    uint8_t type = 0;
    uint8_t flags = 0;
    uint32_t length = 0;
    uint32_t address = 0;  // types 0 and 1 only
    std::vector<uint8_t> data;
};
struct BirdInfo {
    std::string signature;      // the first four bytes
    uint8_t version[2] = {0, 0};
    uint32_t statedCount = 0;
    uint32_t checksum = 0;
    bool checksumPresent = false;
    bool wellFormed = false;    // count, sizes and checksum position all agree
    std::vector<BlockInfo> blocks;
    std::vector<uint8_t> payload;
};
// False with a reason when the file cannot be read or its payload does not inflate.
bool parse_bird(const std::vector<uint8_t>& file, BirdInfo& info, std::string& error);

}  // namespace birdwriter
