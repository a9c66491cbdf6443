#include "tools/birdtool/birdwriter.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace birdwriter {
namespace {

void putBe32(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(uint8_t(v >> 24));
    out.push_back(uint8_t(v >> 16));
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

uint32_t getBe32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

Block imageBlock(uint8_t type, uint32_t address, const std::vector<uint8_t>& image, uint8_t flags) {
    Block b;
    b.type = type;
    b.flags = flags;
    putBe32(b.data, address);
    b.data.insert(b.data.end(), image.begin(), image.end());
    return b;
}

void field(std::vector<uint8_t>& out, const std::string& text) {
    for (size_t i = 0; i < 16; ++i) out.push_back(i < text.size() ? uint8_t(text[i]) : uint8_t(' '));
}

}  // namespace

Block loaderBlock(uint32_t address, const std::vector<uint8_t>& image, uint8_t flags) {
    return imageBlock(kLoader, address, image, flags);
}

Block firmwareBlock(uint32_t address, const std::vector<uint8_t>& image, uint8_t flags) {
    return imageBlock(kFirmware, address, image, flags);
}

std::vector<uint8_t> identityRecord(uint32_t build, const std::string& version) {
    std::vector<uint8_t> r = {'V', 'M', 'I', 'D', uint8_t(build), uint8_t(build >> 8), uint8_t(build >> 16),
                              uint8_t(build >> 24)};
    for (size_t i = 0; i < 16; ++i) r.push_back(i < version.size() ? uint8_t(version[i]) : uint8_t(0));
    return r;
}

void stampIdentity(Block& image, uint32_t offset, uint32_t build, const std::string& version) {
    const std::vector<uint8_t> r = identityRecord(build, version);
    const size_t at = 4 + size_t(offset);
    if (image.data.size() < at + r.size()) image.data.resize(at + r.size(), 0);
    std::copy(r.begin(), r.end(), image.data.begin() + long(at));
}

Block descriptorBlockText(const std::string& build, const std::string& version, const std::string& serial,
                          const std::string& model) {
    Block b;
    b.type = kDescriptor;
    field(b.data, build);
    field(b.data, version);
    field(b.data, serial);
    field(b.data, model);
    return b;
}

Block descriptorBlock(uint32_t build, const std::string& version, uint32_t serial, const std::string& model) {
    char s[9];
    std::snprintf(s, sizeof s, "%08X", serial);
    return descriptorBlockText(std::to_string(build), version, s, model);
}

Block serialOffsetsBlock(uint32_t serialAddress, uint32_t descriptorAddress) {
    Block b;
    b.type = kSerialOffsets;
    putBe32(b.data, serialAddress);
    putBe32(b.data, descriptorAddress);
    return b;
}

Block loaderStartBlock(uint32_t address) {
    Block b;
    b.type = kLoaderStart;
    putBe32(b.data, address);
    return b;
}

std::vector<uint8_t> make_payload(const BirdSpec& spec) {
    std::vector<uint8_t> out;
    putBe32(out, spec.blockCount.value_or(uint32_t(spec.blocks.size())));
    for (const Block& b : spec.blocks) {
        out.push_back(uint8_t((b.type & 0x1F) | ((b.flags & 0x07) << 5)));
        putBe32(out, uint32_t(b.data.size()));
        out.insert(out.end(), b.data.begin(), b.data.end());
    }
    uint32_t sum = 0;
    for (uint8_t c : out) sum += c;
    std::vector<uint8_t> trailer;
    putBe32(trailer, spec.checksum.value_or(sum));
    out.insert(out.end(), trailer.begin(), trailer.begin() + std::min<unsigned>(spec.checksumBytes, 4));
    out.insert(out.end(), spec.trailer.begin(), spec.trailer.end());
    return out;
}

static std::vector<uint8_t> header(const std::string& signature, const uint8_t version[2]) {
    std::vector<uint8_t> out(4, 0);
    std::memcpy(out.data(), signature.data(), std::min<size_t>(signature.size(), 4));
    out.push_back(version[0]);
    out.push_back(version[1]);
    return out;
}

static void appendCompressed(std::vector<uint8_t>& out, const std::vector<uint8_t>& payload, int level) {
    uLongf size = compressBound(uLong(payload.size()));
    size_t at = out.size();
    out.resize(at + size);
    if (compress2(out.data() + at, &size, payload.data(), uLong(payload.size()), level) != Z_OK) size = 0;
    out.resize(at + size);
}

std::vector<uint8_t> wrap_payload(const std::vector<uint8_t>& payload, int level) {
    const uint8_t v[2] = {1, 1};
    std::vector<uint8_t> out = header("bird", v);
    appendCompressed(out, payload, level);
    return out;
}

std::vector<uint8_t> make_bird(const BirdSpec& spec) {
    std::vector<uint8_t> out = header(spec.signature, spec.version);
    appendCompressed(out, make_payload(spec), spec.level);
    return out;
}

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = (std::fclose(f) == 0) && ok;
    return ok;
}

bool read_file(const std::string& path, std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    bytes.clear();
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

bool parse_bird(const std::vector<uint8_t>& file, BirdInfo& info, std::string& error) {
    info = BirdInfo{};
    if (file.size() < 6) {
        error = "file shorter than its 6-byte header";
        return false;
    }
    info.signature.assign(reinterpret_cast<const char*>(file.data()), 4);
    info.version[0] = file[4];
    info.version[1] = file[5];

    // Inflate with a growing buffer; stop at 1 GiB.
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) {
        error = "zlib initialisation failed";
        return false;
    }
    zs.next_in = const_cast<Bytef*>(file.data() + 6);
    zs.avail_in = uInt(file.size() - 6);
    std::vector<uint8_t> out(std::max<size_t>(4096, file.size() * 4));
    int rc;
    for (;;) {
        zs.next_out = out.data() + zs.total_out;
        zs.avail_out = uInt(out.size() - zs.total_out);
        rc = inflate(&zs, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) break;
        if (rc == Z_OK || (rc == Z_BUF_ERROR && zs.avail_out == 0)) {
            if (zs.avail_out == 0) {
                if (out.size() >= (size_t(1) << 30)) break;
                out.resize(out.size() * 2);
            }
            continue;
        }
        break;
    }
    size_t produced = zs.total_out;
    inflateEnd(&zs);
    if (rc != Z_STREAM_END) {
        error = "payload does not inflate (zlib " + std::to_string(rc) + ")";
        return false;
    }
    out.resize(produced);
    info.payload = out;

    const std::vector<uint8_t>& p = info.payload;
    if (p.size() < 4) {
        error = "payload shorter than its block count";
        return false;
    }
    info.statedCount = getBe32(p.data());
    size_t pos = 4;
    bool fits = true;
    while (p.size() - pos > 4) {
        BlockInfo b;
        b.type = p[pos] & 0x1F;
        b.flags = uint8_t(p[pos] >> 5);
        b.length = getBe32(&p[pos + 1]);
        if (uint64_t(pos) + 5 + b.length > p.size()) {
            fits = false;
            break;
        }
        b.data.assign(p.begin() + long(pos + 5), p.begin() + long(pos + 5 + b.length));
        if ((b.type == kLoader || b.type == kFirmware) && b.length >= 4) b.address = getBe32(b.data.data());
        info.blocks.push_back(std::move(b));
        pos += 5 + info.blocks.back().length;
    }
    if (fits && p.size() - pos == 4) {
        info.checksum = getBe32(&p[pos]);
        info.checksumPresent = true;
    }
    info.wellFormed = fits && info.checksumPresent && info.statedCount == info.blocks.size();
    return true;
}

}  // namespace birdwriter
