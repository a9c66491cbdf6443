// The upgrade entity (command 0x5F): the running firmware hands over to a loader
// that is sent in blocks, and the loader takes the new firmware block by block,
// checks byte sums, writes flash and reboots.
#include "sim/module/module.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace vmsim {

namespace {
constexpr uint8_t INIT = 0, DATA = 1, LOAD = 2, PREPARE = 3, SUM = 4, WRITE = 5, REBOOT = 6, STATUS = 7,
                  DATA_UEI = 10;

// A test firmware image names the build and version it is: somewhere in it sits
// the record "VMID", the build number (32 bits, least significant byte first) and
// the version text ("A.B.C", 16 bytes padded with NUL). birdtool --stamp writes it.
constexpr char kIdMagic[4] = {'V', 'M', 'I', 'D'};
constexpr std::size_t kIdSize = 4 + 4 + 16;

bool image_identity(const std::map<uint32_t, std::vector<uint8_t>>& flash, uint32_t& build, uint32_t& version)
{
    for (const auto& [start, run] : flash) {
        auto at = run.begin();
        while ((at = std::search(at, run.end(), std::begin(kIdMagic), std::end(kIdMagic))) != run.end()) {
            const std::size_t off = static_cast<std::size_t>(at - run.begin());
            ++at;
            if (run.size() - off < kIdSize)
                break;
            const uint8_t* r = run.data() + off;
            char text[17] = {};
            std::memcpy(text, r + 8, 16);
            unsigned a, b, c;
            char tail;
            if (std::sscanf(text, "%u.%u.%u%c", &a, &b, &c, &tail) != 3)
                continue;
            build = static_cast<uint32_t>(r[4]) | r[5] << 8 | r[6] << 16 | static_cast<uint32_t>(r[7]) << 24;
            version = pack_version(a, b, c);
            return true;
        }
    }
    return false;
}
} // namespace

uint32_t SimModule::identity_serial() const { return options_.at(9).value; }

void SimModule::upgrade_take(const uint8_t* bytes, std::size_t n)
{
    up_.pending.insert(up_.pending.end(), bytes, bytes + n);
    for (std::size_t i = 0; i < n; ++i)
        up_.sum += bytes[i];
}

void SimModule::flash_write(uint32_t address, const std::vector<uint8_t>& bytes)
{
    // Extend the run that ends where this write starts, or start a new run; a
    // write over bytes already written replaces them.
    for (auto& [start, run] : flash_) {
        if (address >= start && address <= start + run.size()) {
            std::size_t off = address - start;
            if (run.size() < off + bytes.size())
                run.resize(off + bytes.size());
            std::copy(bytes.begin(), bytes.end(), run.begin() + off);
            return;
        }
    }
    flash_[address] = bytes;
}

void SimModule::reboot()
{
    log_.log(cfg_.serial, "upgrade-reboot");
    if (!cfg_.flash_dir.empty())
        for (auto& [start, run] : flash_) {
            char name[64];
            std::snprintf(name, sizeof name, "/%08X-%08X.bin", cfg_.serial, start);
            std::ofstream(cfg_.flash_dir + name, std::ios::binary)
                .write(reinterpret_cast<const char*>(run.data()), static_cast<std::streamsize>(run.size()));
        }
    if (up_.phase == UpgradePhase::Loader && !flash_.empty()) {
        // The module comes back running what was flashed: the image's own
        // identity, unless the lab description overrides it.
        uint32_t build = 0, version = 0;
        if (image_identity(flash_, build, version)) {
            log_.log(cfg_.serial, "upgrade-identity %u 0x%08X", build, version);
            cfg_.build = build;
            options_[43].value = build;
            cfg_.version = version;
            options_[7].value = version;
        }
        if (cfg_.build_after_update) {
            cfg_.build = *cfg_.build_after_update;
            options_[43].value = cfg_.build;
        }
        if (cfg_.version_after_update) {
            cfg_.version = *cfg_.version_after_update;
            options_[7].value = cfg_.version;
        }
    }
    up_ = Upgrade{};
    options_[9].value = cfg_.serial; // the firmware knows its own serial number again
    if (cfg_.mis.reboot_keeps_link) {
        log_.log(cfg_.serial, "upgrade-reboot-keeps-link");
        return;
    }
    reboot_ = true;
    restart_ = Restart{cfg_.reboot_ms, cfg_.serial};
}

std::vector<Packet> SimModule::handle_upgrade(const Packet& p)
{
    const auto& d = p.data;
    if (d.size() < 2)
        return {};
    if (d.size() >= 3 && (d[1] & 0xC0)) // a UEI request: byte-string block writes
        return upgrade_uei(p);
    const uint8_t op = d[1];
    auto status = [&](uint8_t s) { return Packets{reply({cmd::UPGRADE, STATUS, s})}; };

    switch (op) {
    case INIT: {
        log_.log(cfg_.serial, "upgrade-init");
        up_ = Upgrade{};
        up_.phase = UpgradePhase::Loading;
        uint32_t b = cfg_.load_base;
        return {reply({cmd::UPGRADE, INIT, static_cast<uint8_t>(b >> 24), static_cast<uint8_t>(b >> 16),
                       static_cast<uint8_t>(b >> 8), static_cast<uint8_t>(b)})};
    }
    case PREPARE: {
        if (d.size() != 7)
            return status(err::Size);
        if (up_.phase == UpgradePhase::Firmware)
            return status(err::Mode);
        if (cfg_.mis.prepare_status)
            return status(cfg_.mis.prepare_status);
        up_.address = static_cast<uint32_t>(d[3]) << 24 | d[4] << 16 | d[5] << 8 | d[6];
        up_.write_address = up_.address;
        up_.pending.clear();
        up_.sum = 0;
        up_.first_piece = true;
        log_.log(cfg_.serial, "upgrade-prepare 0x%08X 0x%02X", up_.address, d[2]);
        const uint16_t bs = cfg_.block_size;
        return {reply({cmd::UPGRADE, STATUS, 0, static_cast<uint8_t>(bs >> 8), static_cast<uint8_t>(bs)})};
    }
    case DATA: {
        // Data outside a transfer is not answered: the host gives up on the missing
        // reply, where an acknowledgement of 0 bytes would make it send forever.
        if (up_.phase == UpgradePhase::Firmware || d.size() < 3)
            return {};
        std::size_t n = d.size() - 2;
        if (up_.first_piece && up_.short_acks < cfg_.mis.short_ack) {
            // Only n - 1 bytes taken: the host sends the whole piece again.
            ++up_.short_acks;
            return {reply({cmd::UPGRADE, DATA, static_cast<uint8_t>(n - 1)})};
        }
        up_.first_piece = false;
        up_.short_acks = 0;
        upgrade_take(d.data() + 2, n);
        if (up_.phase == UpgradePhase::Loading)
            loader_[up_.address] = up_.pending;
        return {reply({cmd::UPGRADE, DATA, static_cast<uint8_t>(n)})};
    }
    case SUM: {
        if (up_.phase == UpgradePhase::Firmware)
            return status(err::Mode);
        // Counted per block address, so a block retried from its announcement fails
        // the first N times and then passes.
        const bool wrong = up_.phase == UpgradePhase::Loader && bad_sums_[up_.address] < cfg_.mis.bad_upgrade_sum;
        if (wrong)
            ++bad_sums_[up_.address];
        uint32_t s = up_.sum + (wrong ? 1 : 0);
        log_.log(cfg_.serial, "upgrade-sum 0x%08X", up_.sum);
        up_.sum = 0;
        return {reply({cmd::UPGRADE, STATUS, 0, static_cast<uint8_t>(s >> 24), static_cast<uint8_t>(s >> 16),
                       static_cast<uint8_t>(s >> 8), static_cast<uint8_t>(s)})};
    }
    case LOAD:
        if (up_.phase != UpgradePhase::Loading)
            return {};
        log_.log(cfg_.serial, "upgrade-load %zu", loader_.size());
        up_ = Upgrade{};
        up_.phase = UpgradePhase::Loader;
        if (cfg_.loader_serial)
            options_[9].value = *cfg_.loader_serial;
        if (cfg_.loader_reenumerates) {
            // The loader restarts the module's connection instead of answering.
            log_.log(cfg_.serial, "upgrade-load-reenumerate %u", *cfg_.loader_reenumerates);
            reboot_ = true;
            restart_ = Restart{*cfg_.loader_reenumerates, identity_serial()};
            return {};
        }
        if (cfg_.mis.no_load_reply)
            return {};
        return {reply({cmd::UPGRADE, LOAD})};
    case WRITE: {
        if (up_.phase != UpgradePhase::Loader)
            return status(err::Mode);
        if (d.size() != 4)
            return status(err::Size);
        const std::size_t count = static_cast<std::size_t>(d[2]) << 8 | d[3];
        if (count != up_.pending.size()) {
            log_.log(cfg_.serial, "upgrade-write-mismatch %zu %zu", count, up_.pending.size());
            up_.pending.clear();
            return status(err::Size);
        }
        flash_write(up_.write_address, up_.pending);
        log_.log(cfg_.serial, "upgrade-write 0x%08X %zu", up_.write_address, count);
        up_.write_address += static_cast<uint32_t>(count);
        up_.pending.clear();
        up_.first_piece = true;
        return status(0);
    }
    case REBOOT:
        reboot();
        return {};
    default:
        return {};
    }
}

// [0x5F, 10|0x80, index|0x20, chunk, sequence]: a block as one byte string, with
// one acknowledgement after the last chunk.
std::vector<Packet> SimModule::upgrade_uei(const Packet& p)
{
    const auto& d = p.data;
    const uint8_t code = d[1] & 0x3F, idx = d[2] & 0x1F;
    const bool set = d[1] & 0x80;
    const uint8_t ropt = set ? static_cast<uint8_t>(code | 0xC0) : code;
    auto error = [&](uint8_t e) {
        up_.uei = BytesRx{};
        return Packets{reply({cmd::UPGRADE, ropt, static_cast<uint8_t>(0x80 | idx), e})};
    };
    if (!cfg_.uei_data || code != DATA_UEI)
        return error(err::InvalidOption);
    if (!set || idx != 0)
        return error(!set ? err::Mode : err::IndexRange);
    if (up_.phase == UpgradePhase::Firmware)
        return error(err::Mode);
    if (d.size() < 4)
        return error(err::Size);
    const uint8_t seq = d.back() & 0x7F;
    const bool more = d.back() & 0x80;
    BytesRx& rx = up_.uei;
    if (seq == 0 && !(rx.active && rx.next_seq == 0)) {
        rx = BytesRx{};
        rx.active = true;
    }
    if (!rx.active || seq != rx.next_seq)
        return error(err::Packet);
    rx.buf.insert(rx.buf.end(), d.begin() + 3, d.end() - 1);
    rx.next_seq = static_cast<uint8_t>((rx.next_seq + 1) & 0x7F);
    if (more)
        return {};
    upgrade_take(rx.buf.data(), rx.buf.size());
    if (up_.phase == UpgradePhase::Loading)
        loader_[up_.address] = up_.pending;
    rx = BytesRx{};
    return {reply({cmd::UPGRADE, static_cast<uint8_t>(DATA_UEI | 0xC0), idx})};
}

} // namespace vmsim
