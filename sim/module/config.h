// Lab description: which modules exist, how they are reached and how they misbehave.
#pragma once
#include "sim/module/faults.h"
#include "sim/module/streams.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vmsim {

enum class Role { Module, Router, Bus };
enum class Transport { None, Tcp, Serial };

struct Misbehaviour {
    bool busy = false;          // TCP port reserved but not listening: connections are refused
    bool silent = false;        // the link accepts bytes but never answers
    unsigned late_ms = 0;       // delay answers by this much ...
    int late_cmd = -1;          // ... only answers with this command byte (-1: all)
    int late_opt = -1;          // ... only UEI answers with this option code (-1: all)
    bool wrong_length = false;  // answers lose their last data byte ...
    int wrong_length_cmd = -1;  // ... only answers with this command byte (-1: all)
    unsigned drop_after = 0;    // close the connection after this many received packets (0: never)
    std::map<uint8_t, uint8_t> deny; // system option -> error code answered instead
    bool bad_sum = false;       // store-slot write acknowledgements carry a wrong byte sum
    // upgrade entity
    uint32_t short_ack = 0;          // the first data piece of every block is acknowledged one byte short, this many times
    uint32_t bad_upgrade_sum = 0;    // sums of a block are reported one too high for its first N requests (all: ~0)
    uint8_t prepare_status = 0;      // status answered to every block announcement
    bool no_load_reply = false;      // the started loader does not answer the start request
    // streams
    std::optional<uint8_t> stream_deny; // stream requests (command 0x5D) get an error reply with this code
    bool short_sample = false;          // stream samples lose their last value byte
    bool reboot_keeps_link = false;  // an upgrade reboot leaves the link up (the module still restarts)
};

struct ModuleConfig {
    Role role = Role::Module;
    uint32_t serial = 0;
    uint8_t model = 4;
    uint32_t version = 0x2A000004; // packed 2.10.4
    uint32_t build = 1;
    std::string name;
    uint8_t address = 2;
    std::optional<uint8_t> router_address; // value of the router option; default set by role
    uint32_t features = 0;
    Transport transport = Transport::None;
    uint16_t port = 0;              // 0: any free port
    unsigned hb_ms = 1000;          // heartbeat period on the link (0: none)
    bool strict_route = false;      // router: bus modules reachable only while routeToMe is 1
    std::map<uint8_t, std::vector<uint8_t>> factory; // factory-data records by index
    std::vector<uint32_t> slots = {1024, 1024, 1024, 1024}; // capacities of store 0's slots
    Misbehaviour mis;
    OnceFaults once;                // faults that strike once per run (faults.h)
    uint32_t parent = 0;            // bus modules: the router's serial number
    // upgrade entity
    bool uei_data = false;          // takes blocks as byte-string writes of option 10
    bool in_loader = false;         // starts with its loader running (as after a boot-ROM recovery)
    uint16_t block_size = 256;      // block size the loader announces
    uint32_t load_base = 0x20000000; // loader load base reported at initialisation
    std::optional<uint32_t> build_after_update;   // build reported after an upgrade reboot
    std::optional<uint32_t> version_after_update; // packed version reported after it
    std::string flash_dir;          // where flash images are written at reboot (lab-wide)
    // A recovery loader's chip identification, answered for system option 39 by
    // subindex (none: the option does not exist).
    std::vector<uint32_t> fingerprint;
    std::vector<StreamSource> streams; // values the host can enable streams of (command 0x5D)
    unsigned reboot_ms = 300;       // how long a rebooting module is away (TCP port closed, USB unplugged)
    std::optional<unsigned> loader_reenumerates; // the started loader drops the link unanswered, back after N ms
    std::optional<uint32_t> loader_serial;       // serial number the started loader reports (0xDEADDEAD: none of its own)
};

struct LabConfig {
    std::vector<ModuleConfig> modules;
    bool discovery = true;
    uint16_t discovery_port = 9888;
    std::string events_path;
    std::string flash_dir;
};

// Packs major.minor.patch into a firmware version word (legacy layout up to 2.14,
// the 0x2F-tagged layout after).
uint32_t pack_version(unsigned major, unsigned minor, unsigned patch);

// One description line: "module|router|bus key=value ...". Bus lines attach to the
// router named by router=<serial>, or to the last router defined before them.
// Throws std::runtime_error with a readable message on a bad line.
ModuleConfig parse_module_line(const std::string& line, const LabConfig& sofar);
void parse_config_text(const std::string& text, LabConfig& cfg);

} // namespace vmsim
