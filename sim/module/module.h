// The model of one simulated module: its identity, the system entity's options, the
// module queries, factory data, store slots and, for a routing module, its I2C bus.
// A module turns one request packet into zero or more answer packets; it knows
// nothing of transports or timing (see session.h).
#pragma once
#include "sim/module/config.h"
#include "sim/module/events.h"
#include "sim/module/packet.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace vmsim {

namespace err { // module error codes carried in error replies
constexpr uint8_t Memory = 1, Param = 2, NotFound = 3, Busy = 5, IO = 6, Mode = 7, Range = 13,
                  Size = 14, Overrun = 15, Packet = 24, IndexRange = 26, InvalidEntity = 28,
                  InvalidOption = 29, Permission = 12, Media = 31;
}

namespace cmd {
constexpr uint8_t HB = 0, SYS = 3, SLOT = 4, I2C = 8, DEBUG = 0x17, QUERY = 0x49, FACTORY = 0x5E, UPGRADE = 0x5F;
}

// Option value kinds of the system entity.
enum class Kind { Call, U8, U32, Bytes };

struct Option {
    Kind kind = Kind::U8;
    bool writable = false;
    uint32_t value = 0;
    std::vector<uint8_t> bytes;
    std::size_t max_bytes = 0;
};

class SimModule {
public:
    SimModule(const ModuleConfig& cfg, EventLog& log);

    const ModuleConfig& config() const { return cfg_; }
    uint32_t serial() const { return cfg_.serial; }
    uint8_t address() const { return cfg_.address; }
    bool is_router() const { return cfg_.role == Role::Router; }
    // When the module started: stream sample timestamps count from here.
    std::chrono::steady_clock::time_point started() const { return started_; }

    // A request addressed to this module; the answers carry this module's address.
    std::vector<Packet> handle(const Packet& request);

    // Routing module: bus modules by their bus address.
    void attach(SimModule* bus) { bus_[bus->address()] = bus; }
    SimModule* bus_module(uint8_t address) const;
    // Whether packets for a bus module travel over this router's link right now.
    bool routes_to(uint8_t address) const;
    void set_force_route(bool on) { force_route_ = on; }

    // State for in-process tests.
    const Option* option(uint8_t code) const;
    const std::vector<uint8_t>* factory_record(uint8_t index) const;
    const std::vector<uint8_t>* slot(std::size_t index) const;
    bool force_route() const { return force_route_; }
    // Flash written by the upgrade entity's loader: contiguous runs by start address.
    const std::map<uint32_t, std::vector<uint8_t>>& flash() const { return flash_; }
    // Loader blocks received, by load address.
    const std::map<uint32_t, std::vector<uint8_t>>& loader() const { return loader_; }
    bool loader_running() const { return up_.phase == UpgradePhase::Loader; }
    // True once after the module was told to reboot: its direct link goes down.
    bool take_reboot()
    {
        bool r = reboot_;
        reboot_ = false;
        return r;
    }
    // Set when the module restarts on its own (an upgrade reboot, a loader that
    // re-enumerates): the transport takes it once, keeps the module away for
    // away_ms and brings it back identifying as serial.
    struct Restart {
        unsigned away_ms = 0;
        uint32_t serial = 0;
    };
    std::optional<Restart> take_restart()
    {
        auto r = restart_;
        restart_.reset();
        return r;
    }
    // The serial number the module identifies with right now.
    uint32_t identity_serial() const;

private:
    using Packets = std::vector<Packet>;
    Packets handle_system(const Packet& p);
    Packets system_bytes_set(uint8_t code, uint8_t idx, const std::vector<uint8_t>& d);
    Packets system_bytes_get(uint8_t code, uint8_t idx, const Option& o);
    Packets handle_query(const Packet& p);
    Packets handle_debug(const Packet& p);
    Packets handle_factory(const Packet& p);
    Packets handle_slot(const Packet& p);
    Packets handle_i2c(const Packet& p);
    Packets handle_upgrade(const Packet& p);
    Packets upgrade_uei(const Packet& p);
    void upgrade_take(const uint8_t* bytes, std::size_t n);
    void flash_write(uint32_t address, const std::vector<uint8_t>& bytes);
    void reboot();
    Packet reply(std::vector<uint8_t> data) const { return Packet{cfg_.address, std::move(data)}; }
    uint32_t live_value(uint8_t code, const Option& o) const;
    uint8_t ueiStatus(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) const;

    ModuleConfig cfg_;
    EventLog& log_;
    std::chrono::steady_clock::time_point started_;
    std::map<uint8_t, Option> options_;
    std::map<uint8_t, SimModule*> bus_;
    bool force_route_ = false;

    struct BytesRx {
        std::vector<uint8_t> buf;
        uint8_t next_seq = 0;
        bool active = false;
    };
    std::map<uint8_t, BytesRx> bytes_rx_;

    // factory data transfer in progress
    struct FactoryXfer {
        enum class Op { None, Read, Write } op = Op::None;
        uint8_t index = 0;
        std::size_t pos = 0;
        std::vector<uint8_t> buf;
    } fx_;

    // store slots (store 0 only) and open handles
    std::vector<std::vector<uint8_t>> slots_;
    struct Handle {
        std::size_t slot;
        bool writing;
        std::size_t pos;
    };
    std::map<uint8_t, Handle> handles_;
    uint8_t next_handle_ = 1;

    // upgrade entity: running firmware -> loader being loaded -> loader running
    enum class UpgradePhase { Firmware, Loading, Loader };
    struct Upgrade {
        UpgradePhase phase = UpgradePhase::Firmware;
        uint32_t address = 0;          // load address of the block announced last
        uint32_t write_address = 0;    // where the next write goes
        std::vector<uint8_t> pending;  // bytes received since the last write
        uint32_t sum = 0;              // byte sum since the last sum request
        bool first_piece = true;
        uint32_t short_acks = 0;       // short acknowledgements given to the current first piece
        BytesRx uei;
    } up_;
    std::map<uint32_t, uint32_t> bad_sums_;  // wrong sums reported, by block address
    std::map<uint32_t, std::vector<uint8_t>> flash_, loader_;
    bool reboot_ = false;
    std::optional<Restart> restart_;
};

} // namespace vmsim
