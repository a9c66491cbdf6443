// Offers arbitrary boot-ROM answers to the serial download engine: the HID
// report assembly, both channels' data-word extraction, and the engine's
// handling of what comes back while it fingerprints a chip or writes a loader.
//
// Input: a mode byte (bit 0: serial line instead of HID; bit 1: write a loader
// instead of reading the fingerprint; bits 2-7: the loader's length in units of
// 97 bytes), a probe byte (the index tried on every reply besides 0), then one
// entry per read the engine makes. Serial: [n][n bytes]. HID: [k] followed by
// k reports [len][len bytes], len taken modulo 66 (hidapi hands out at most 65).
// A read past the end of the input gets nothing, as from a silent chip.
//
// The extraction must accept exactly the replies that hold a whole data word and
// read it from its place; the engine must answer with one of its documented
// results, succeed only on a reply that says so, and never send a packet the
// protocol does not have.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Input {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    bool more() const { return pos < size; }
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    Bytes take(size_t n) {
        if (n > size - pos) n = size - pos;
        Bytes out(data + pos, data + pos + n);
        pos += n;
        return out;
    }
};

uint32_t wordAt(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

// The data word of a reply as each channel defines it, checked against the
// transport's own extraction; the word is ORed into the caller's value.
bool checkedWord(SDPLoader_Interface& channel, bool serial, const Bytes& reply, size_t index, uint32_t& word) {
    const uint32_t before = 0x5A000000u;
    uint32_t got = before;
    const bool ok = channel.getDataFromBuffer(reply, index, got);
    const bool whole = index <= 15 && (serial ? reply.size() >= (index + 2) * 4 : reply.size() == 70);
    if (ok != whole) std::abort();
    if (!ok) {
        if (got != before) std::abort();  // a refusal leaves the value alone
        return false;
    }
    if (got != (before | wordAt(reply, index + (serial ? 4 : 6)))) std::abort();
    word = wordAt(reply, index + (serial ? 4 : 6));
    return true;
}

// Plays the chip from the input, and checks each packet the engine sends.
struct Script {
    Input in;
    bool serial;
    uint8_t probe;
    SDPLoader_Interface* channel;
    std::vector<Bytes> replies;  // what each read handed out
    size_t dataBytes = 0;
    bool expectingData = false;
};

class ScriptedChip : public SDPLoader_Interface {
public:
    explicit ScriptedChip(Script& s) : s_(s) {}
    bool init() override { return true; }
    int writeData(const Bytes& packet) override {
        if (packet.empty()) std::abort();
        if (packet[0] == SDPLoader::REPORT_COMMAND) {
            if (packet.size() != 17 || packet[1] != packet[2]) std::abort();
            s_.expectingData = packet[1] == 0x04;
        } else if (packet[0] == SDPLoader::REPORT_DATA) {
            if (!s_.expectingData || packet.size() < 2 || packet.size() > 1 + SDPLoader::MAX_DATA) std::abort();
            s_.dataBytes += packet.size() - 1;
        } else {
            std::abort();
        }
        return int(packet.size());
    }
    int readData(Bytes& reply, int) override {
        const size_t start = reply.size();
        if (s_.serial) {
            Bytes b = s_.in.take(s_.in.byte());
            reply.insert(reply.end(), b.begin(), b.end());
        } else {
            for (int k = s_.in.byte(); k > 0 && s_.in.more(); --k) {
                Bytes report = s_.in.take(s_.in.byte() % 66);
                const size_t was = reply.size();
                const int added = HID_SDPLoader::appendReport(reply, report.data(), int(report.size()));
                const size_t expected = report.empty() ? 0 : report[0] == 3 ? std::min<size_t>(5, report.size())
                                                                             : report.size();
                if (added < 0 || size_t(added) != expected || reply.size() != was + expected) std::abort();
            }
        }
        s_.replies.emplace_back(reply.begin() + long(start), reply.end());
        uint32_t word = 0;
        (void)checkedWord(*s_.channel, s_.serial, reply, s_.probe, word);
        return int(reply.size() - start);
    }
    bool getDataFromBuffer(const Bytes& reply, size_t index, uint32_t& value) override {
        return s_.channel->getDataFromBuffer(reply, index, value);
    }

private:
    Script& s_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static HID_SDPLoader hid(HID_SDPLoader::IMX_VENDOR, HID_SDPLoader::IMX_PRODUCT);  // never opened
    static Serial_SDPLoader line(nullptr);                                               // never opened

    Script s{Input{data, size}, false, 0, nullptr, {}};
    const uint8_t mode = s.in.byte();
    s.serial = mode & 1;
    s.probe = s.in.byte();
    s.channel = s.serial ? static_cast<SDPLoader_Interface*>(&line) : &hid;

    SDPLoader engine;
    if (!engine.setLoader(new ScriptedChip(s))) std::abort();
    if (engine.init() != 0) std::abort();

    if (mode & 2) {
        Bytes image(size_t(mode >> 2) * 97, 0xA5);
        const int result = engine.writeLoader(image, 0x20000000);
        if (result != 0 && result != 2 && result != 3 && result != 4) std::abort();
        if (result == 0) {
            uint32_t status = 0;
            if (s.replies.empty() || !checkedWord(*s.channel, s.serial, s.replies.back(), 0, status) ||
                status != SDPLoader::COMPLETE_STATUS || s.dataBytes != image.size())
                std::abort();
        }
    } else {
        uint64_t value = 0;
        const int result = engine.getFingerprint(value);
        if (result != 0 && result != 2 && result != 7) std::abort();
        if (result == 0) {
            // The last two reads answered the two register reads, low word first.
            uint32_t low = 0, high = 0;
            if (s.replies.size() < 3 || !checkedWord(*s.channel, s.serial, s.replies[s.replies.size() - 2], 0, low) ||
                !checkedWord(*s.channel, s.serial, s.replies.back(), 0, high) ||
                value != (uint64_t(high) << 32 | low))
                std::abort();
        }
    }
    return 0;
}
