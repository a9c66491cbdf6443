// birdtool: make and inspect BIRD firmware files.
//   birdtool create -o OUT [descriptor] [images] [options]
//   birdtool info FILE
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/birdtool/birdwriter.h"

using namespace birdwriter;

namespace {

const char* const kUsage =
    "usage: birdtool create -o OUT [options]\n"
    "       birdtool info FILE\n"
    "\n"
    "create options (numbers are decimal or 0x-prefixed hexadecimal):\n"
    "  -o, --output FILE           file to write\n"
    "  --loader ADDR:FILE          loader image loading at ADDR (repeatable, kept in order)\n"
    "  --firmware ADDR:FILE        firmware image loading at ADDR (repeatable, kept in order)\n"
    "  --raw TYPE:FILE             a block of any type (0-31) holding FILE's bytes\n"
    "  --flags N                   block flags (0-7) of the image or raw block just given\n"
    "  --stamp OFFSET              write the build and version (--build, --version A.B.C) into the\n"
    "                              image just given at OFFSET: \"VMID\", build (32 bits, least\n"
    "                              significant byte first), version text (16 bytes, NUL-padded);\n"
    "                              a simulated module reports them after it was updated with it\n"
    "  --build N                   descriptor build number (decimal)\n"
    "  --version TEXT              descriptor version text (at most 16 characters)\n"
    "  --serial HEX                descriptor serial number (hexadecimal)\n"
    "  --model NAME                descriptor model name (at most 16 characters)\n"
    "  --serial-offsets S:D        address of the 32-bit serial number and of the 16-byte\n"
    "                              serial text inside the firmware (0 for absent)\n"
    "  --loader-start ADDR         start address of the recovery loader\n"
    "  --block-count N             block count written in the payload (default: actual)\n"
    "  --payload-only              write the uncompressed payload instead of a BIRD file\n"
    "A descriptor block is written when any of --build, --version, --serial, --model is given.\n";

int fail(const std::string& message) {
    std::fprintf(stderr, "birdtool: %s\n", message.c_str());
    return 2;
}

bool parseNumber(const std::string& text, uint32_t& value, int base = 0) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, base);
    if (errno != 0 || end == nullptr || *end != '\0' || v > 0xFFFFFFFFull) return false;
    value = uint32_t(v);
    return true;
}

// "A:B" into its two parts; the second may itself hold colons (a path).
bool splitPair(const std::string& text, std::string& first, std::string& second) {
    size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    first = text.substr(0, colon);
    second = text.substr(colon + 1);
    return true;
}

const char* typeName(uint8_t type) {
    switch (type) {
        case kLoader: return "loader";
        case kFirmware: return "firmware";
        case kSerialOffsets: return "serial-offsets";
        case kDescriptor: return "descriptor";
        case kLoaderStart: return "loader-start";
        default: return "other";
    }
}

int create(int argc, char** argv) {
    std::string output;
    BirdSpec spec;
    std::vector<Block> images;
    bool haveDescriptor = false, payloadOnly = false;
    uint32_t build = 0, serial = 0;
    std::string version, model;
    std::optional<Block> offsets, loaderStart;
    std::vector<std::pair<size_t, uint32_t>> stamps;  // image index, offset

    for (int i = 0; i < argc; ++i) {
        std::string opt = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (opt == "--payload-only") {
            payloadOnly = true;
            continue;
        }
        if (!value(v)) return fail("option " + opt + " needs a value (or is unknown)\n" + kUsage);
        if (opt == "-o" || opt == "--output") {
            output = v;
        } else if (opt == "--loader" || opt == "--firmware" || opt == "--raw") {
            std::string a, file;
            uint32_t number;
            if (!splitPair(v, a, file) || !parseNumber(a, number))
                return fail(opt + " expects NUMBER:FILE, got '" + v + "'");
            std::vector<uint8_t> bytes;
            if (!read_file(file, bytes)) return fail("cannot read " + file + ": " + std::strerror(errno));
            if (opt == "--raw") {
                if (number > 31) return fail("block type must be 0 to 31, got " + a);
                Block b;
                b.type = uint8_t(number);
                b.data = bytes;
                images.push_back(b);
            } else {
                images.push_back(opt == "--loader" ? loaderBlock(number, bytes) : firmwareBlock(number, bytes));
            }
        } else if (opt == "--flags") {
            uint32_t flags;
            if (!parseNumber(v, flags) || flags > 7) return fail("--flags must be 0 to 7, got '" + v + "'");
            if (images.empty()) return fail("--flags must follow --loader, --firmware or --raw");
            images.back().flags = uint8_t(flags);
        } else if (opt == "--stamp") {
            uint32_t offset;
            if (!parseNumber(v, offset) || offset > 0x1000000) return fail("--stamp expects an offset, got '" + v + "'");
            if (images.empty() || images.back().type > kFirmware)
                return fail("--stamp must follow --loader or --firmware");
            stamps.emplace_back(images.size() - 1, offset);
        } else if (opt == "--build") {
            if (!parseNumber(v, build, 10)) return fail("--build must be a decimal number, got '" + v + "'");
            haveDescriptor = true;
        } else if (opt == "--version") {
            if (v.size() > 16) return fail("--version is longer than 16 characters");
            version = v;
            haveDescriptor = true;
        } else if (opt == "--serial") {
            if (!parseNumber(v, serial, 16)) return fail("--serial must be a hexadecimal number, got '" + v + "'");
            haveDescriptor = true;
        } else if (opt == "--model") {
            if (v.size() > 16) return fail("--model is longer than 16 characters");
            model = v;
            haveDescriptor = true;
        } else if (opt == "--serial-offsets") {
            std::string s, d;
            uint32_t sa, da;
            if (!splitPair(v, s, d) || !parseNumber(s, sa) || !parseNumber(d, da))
                return fail("--serial-offsets expects SERIAL_ADDR:TEXT_ADDR, got '" + v + "'");
            offsets = serialOffsetsBlock(sa, da);
        } else if (opt == "--loader-start") {
            uint32_t a;
            if (!parseNumber(v, a)) return fail("--loader-start must be a number, got '" + v + "'");
            loaderStart = loaderStartBlock(a);
        } else if (opt == "--block-count") {
            uint32_t n;
            if (!parseNumber(v, n)) return fail("--block-count must be a number, got '" + v + "'");
            spec.blockCount = n;
        } else {
            return fail("unknown option " + opt + "\n" + kUsage);
        }
    }
    if (output.empty()) return fail("create needs -o OUT");
    if (!stamps.empty()) {
        unsigned a, b, c;
        char tail;
        if (build == 0 || std::sscanf(version.c_str(), "%u.%u.%u%c", &a, &b, &c, &tail) != 3)
            return fail("--stamp needs --build N and --version A.B.C");
        for (const auto& [image, offset] : stamps) stampIdentity(images[image], offset, build, version);
    }

    if (haveDescriptor) spec.blocks.push_back(descriptorBlock(build, version, serial, model));
    if (offsets) spec.blocks.push_back(*offsets);
    if (loaderStart) spec.blocks.push_back(*loaderStart);
    spec.blocks.insert(spec.blocks.end(), images.begin(), images.end());

    std::vector<uint8_t> bytes = payloadOnly ? make_payload(spec) : make_bird(spec);
    if (!write_file(output, bytes)) return fail("cannot write " + output + ": " + std::strerror(errno));
    return 0;
}

std::string printable(const std::vector<uint8_t>& data, size_t from, size_t count) {
    std::string s;
    for (size_t i = from; i < from + count && i < data.size(); ++i) s += (data[i] >= 32 && data[i] < 127) ? char(data[i]) : '.';
    return s;
}

int info(const std::string& path) {
    std::vector<uint8_t> file;
    if (!read_file(path, file)) return fail("cannot read " + path + ": " + std::strerror(errno));
    BirdInfo bi;
    std::string error;
    bool parsed = parse_bird(file, bi, error);
    std::printf("file: %s (%zu bytes)\n", path.c_str(), file.size());
    if (file.size() >= 6)
        std::printf("header: signature \"%s\" version %02X %02X%s\n", printable(file, 0, 4).c_str(), file[4], file[5],
                    (bi.signature == "bird" && file[4] && file[5]) ? "" : " (not a BIRD header)");
    if (!parsed) return fail(path + ": " + error);
    std::printf("payload: %zu bytes, %u blocks stated, %zu found, checksum ", bi.payload.size(), bi.statedCount,
                bi.blocks.size());
    if (bi.checksumPresent) std::printf("%08X\n", bi.checksum);
    else std::printf("missing\n");
    if (!bi.wellFormed) std::printf("warning: block count or sizes do not match the payload\n");
    for (const BlockInfo& b : bi.blocks) {
        if (b.type == kDescriptor) {
            std::printf("descriptor: build [%s] version [%s] serial [%s] model [%s]\n",
                        printable(b.data, 0, 16).c_str(), printable(b.data, 16, 16).c_str(),
                        printable(b.data, 32, 16).c_str(), printable(b.data, 48, 16).c_str());
            break;
        }
    }
    size_t n = 0;
    for (const BlockInfo& b : bi.blocks) {
        std::printf("block %zu: type %u (%s) flags %u length %u address 0x%08X\n", n++, b.type, typeName(b.type),
                    b.flags, b.length, b.address);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return fail(std::string("missing command\n") + kUsage);
    std::string cmd = argv[1];
    if (cmd == "-h" || cmd == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (cmd == "create") return create(argc - 2, argv + 2);
    if (cmd == "info") {
        if (argc != 3) return fail(std::string("info takes exactly one FILE\n") + kUsage);
        return info(argv[2]);
    }
    return fail("unknown command '" + cmd + "'\n" + kUsage);
}
