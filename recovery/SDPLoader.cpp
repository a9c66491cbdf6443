#include "recovery/SDPLoader.h"

#include <sys/types.h>

#include <algorithm>

#include "app/Log.h"

namespace {
constexpr unsigned PKG = Log::DEBUG_iMXSerial;

void putBig32(std::vector<uint8_t>& p, size_t at, uint32_t v) {
    p[at] = uint8_t(v >> 24);
    p[at + 1] = uint8_t(v >> 16);
    p[at + 2] = uint8_t(v >> 8);
    p[at + 3] = uint8_t(v);
}
}  // namespace

SDPLoader::~SDPLoader() { delete loader_; }

bool SDPLoader::setLoader(SDPLoader_Interface* transport) {
    if (transport == nullptr || loader_ != nullptr) return false;
    loader_ = transport;
    return true;
}

int SDPLoader::init() {
    if (loader_ == nullptr) return 1;
    if (!loader_->init()) return 6;
    return 0;
}

std::vector<uint8_t> SDPLoader::command(Command type, uint32_t address, uint8_t format, uint32_t count) {
    std::vector<uint8_t> p(17, 0);
    p[0] = REPORT_COMMAND;
    p[1] = uint8_t(type >> 8);
    p[2] = uint8_t(type);
    putBig32(p, 3, address);
    p[7] = format;
    putBig32(p, 8, count);
    // Data word and reserved byte stay zero.
    return p;
}

void SDPLoader::dump(const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) Log::log(PKG, "%X ", b);
    Log::log(PKG, "\n");
}

bool SDPLoader::_isConnectionAlive() {
    const std::vector<uint8_t> status = command(ERROR_STATUS, 0, 0, 0);
    std::vector<uint8_t> reply;
    for (int attempt = 0; attempt < CONNECTION_TRIES; ++attempt) {
        size_t written = size_t(std::max(loader_->writeData(status), 0));
        Log::log(PKG, "bytesWritten: %zu\n", written);
        dump(status);
        reply.clear();
        ssize_t got = loader_->readData(reply, REPLY_TIMEOUT_MS);
        Log::log(PKG, "Read Data: %zd\n", got);
        dump(reply);
        uint32_t word = 0;
        if (loader_->getDataFromBuffer(reply, 0, word)) return true;
    }
    Log::log(PKG, "Error: No ack from iMX device\n");
    return false;
}

int SDPLoader::writeLoader(const std::vector<uint8_t>& image, uint32_t address) {
    if (loader_ == nullptr || !_isConnectionAlive()) return 2;

    const std::vector<uint8_t> header = command(WRITE_FILE, address, 0x20, uint32_t(image.size()));
    ssize_t res = loader_->writeData(header);
    Log::log(PKG, "Write Res: %zd\n", res);
    dump(header);

    std::vector<uint8_t> reply;
    int total = 0;
    int loop = 0;
    size_t offset = 0;
    while (offset < image.size()) {
        // The ROM stays quiet until the whole file is in; anything now is an error.
        reply.clear();
        ssize_t got = loader_->readData(reply, 0);
        Log::log(PKG, "Read Data: %zd\n", got);
        dump(reply);
        if (got > 0) {
            Log::log(PKG, "Error while transfering loader. Aborting\n");
            return 3;
        }
        size_t size = std::min(MAX_DATA, image.size() - offset);
        std::vector<uint8_t> packet;
        packet.reserve(size + 1);
        packet.push_back(REPORT_DATA);
        packet.insert(packet.end(), image.begin() + long(offset), image.begin() + long(offset + size));
        res = loader_->writeData(packet);
        offset += size;
        if (res < 0) {
            // A channel that stopped taking bytes cannot complete the file; waiting
            // for the status of the remaining packets would only repeat the failure.
            Log::log(PKG, "Loader Transfer Unsuccessful\n");
            return 4;
        }
        total += int(res);
        Log::log(PKG, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n", res, total, loop, long(offset),
                 ssize_t(size));
        ++loop;
    }

    Log::log(PKG, "Written Bytes: %d\n", total);
    reply.clear();
    loader_->readData(reply, REPLY_TIMEOUT_MS);
    Log::log(PKG, "Data Read: \n");
    dump(reply);
    uint32_t status = 0;
    if (loader_->getDataFromBuffer(reply, 0, status) && status == COMPLETE_STATUS) {
        Log::log(PKG, "Loader Transfer Successful\n");
        return 0;
    }
    Log::log(PKG, "Loader Transfer Unsuccessful\n");
    return 4;
}

void SDPLoader::startLoader(uint32_t address) {
    if (loader_ == nullptr) return;
    const std::vector<uint8_t> jump = command(JUMP_ADDRESS, address, 0, 0);
    ssize_t res = loader_->writeData(jump);
    dump(jump);
    Log::log(PKG, "Write Res: %zd\n", res);
    std::vector<uint8_t> reply;
    loader_->readData(reply, REPLY_TIMEOUT_MS);
}

int SDPLoader::getFingerprint(uint64_t& value) {
    if (loader_ == nullptr || !_isConnectionAlive()) return 2;
    const uint32_t registers[2] = {FINGERPRINT_LOW, FINGERPRINT_HIGH};
    std::vector<uint8_t> reply;
    for (int i = 0; i < 2; ++i) {
        const std::vector<uint8_t> read = command(READ_REGISTER, registers[i], 0x20, 4);
        size_t written = size_t(std::max(loader_->writeData(read), 0));
        Log::log(PKG, "bytesWritten: %zu\n", written);
        dump(read);
        reply.clear();
        ssize_t got = loader_->readData(reply, REPLY_TIMEOUT_MS);
        Log::log(PKG, "Read Data: %zd\n", got);
        dump(reply);
        uint32_t word = 0;
        if (!loader_->getDataFromBuffer(reply, 0, word)) return 7;
        value |= uint64_t(word) << (32 * i);
    }
    return 0;
}
