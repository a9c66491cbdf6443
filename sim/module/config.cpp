#include "sim/module/config.h"

#include <cctype>
#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace vmsim {

uint32_t pack_version(unsigned major, unsigned minor, unsigned patch)
{
    major &= 0xFF;
    minor &= 0xFF;
    patch &= 0xFF;
    if (major > 2 || (major == 2 && minor > 14))
        return 0x2F000000u | (major << 16) | (minor << 8) | patch;
    return (major << 28) | ((minor & 0xF) << 24) | patch;
}

namespace {

[[noreturn]] void bad(const std::string& what) { throw std::runtime_error(what); }

uint32_t num(const std::string& key, const std::string& v, uint32_t max = 0xFFFFFFFFu)
{
    try {
        std::size_t used = 0;
        unsigned long long n = std::stoull(v, &used, 0);
        if (used != v.size() || n > max)
            bad(key + ": value out of range: " + v);
        return static_cast<uint32_t>(n);
    } catch (const std::logic_error&) {
        bad(key + ": not a number: " + v);
    }
}

uint32_t hexnum(const std::string& key, const std::string& v)
{
    std::string s = v;
    if (s.rfind("0x", 0) == 0 || s.rfind("0X", 0) == 0)
        s = s.substr(2);
    if (s.empty() || s.size() > 8)
        bad(key + ": expected up to 8 hexadecimal digits: " + v);
    for (char c : s)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            bad(key + ": expected hexadecimal digits: " + v);
    return static_cast<uint32_t>(std::stoul(s, nullptr, 16));
}

std::vector<uint8_t> hexbytes(const std::string& key, const std::string& v)
{
    if (v.size() % 2)
        bad(key + ": odd number of hexadecimal digits");
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i < v.size(); i += 2)
        out.push_back(static_cast<uint8_t>(hexnum(key, v.substr(i, 2))));
    return out;
}

// key=value tokens separated by blanks; a value may be double-quoted to hold blanks.
std::vector<std::pair<std::string, std::string>> tokens(const std::string& line)
{
    std::vector<std::pair<std::string, std::string>> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])))
            ++i;
        if (i >= line.size() || line[i] == '#')
            break;
        std::string key, val;
        while (i < line.size() && line[i] != '=' && !std::isspace(static_cast<unsigned char>(line[i])))
            key += line[i++];
        if (i < line.size() && line[i] == '=') {
            ++i;
            if (i < line.size() && line[i] == '"') {
                ++i;
                while (i < line.size() && line[i] != '"')
                    val += line[i++];
                if (i >= line.size())
                    bad("unterminated quote in: " + line);
                ++i;
            } else {
                while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])))
                    val += line[i++];
            }
        }
        out.emplace_back(key, val);
    }
    return out;
}

std::vector<std::string> split(const std::string& s, char sep)
{
    std::vector<std::string> out;
    std::string cur;
    std::istringstream in(s);
    while (std::getline(in, cur, sep))
        out.push_back(cur);
    return out;
}

} // namespace

ModuleConfig parse_module_line(const std::string& line, const LabConfig& sofar)
{
    auto toks = tokens(line);
    if (toks.empty())
        bad("empty module line");
    ModuleConfig m;
    const std::string kind = toks[0].first;
    if (kind == "module")
        m.role = Role::Module;
    else if (kind == "router")
        m.role = Role::Router;
    else if (kind == "bus")
        m.role = Role::Bus;
    else
        bad("unknown line kind '" + kind + "' (module, router or bus)");

    bool have_serial = false;
    for (std::size_t i = 1; i < toks.size(); ++i) {
        const auto& [k, v] = toks[i];
        if (k == "serial") {
            m.serial = hexnum(k, v);
            have_serial = true;
        } else if (k == "model") {
            m.model = static_cast<uint8_t>(num(k, v, 255));
        } else if (k == "version") {
            unsigned a, b, c;
            char tail;
            if (std::sscanf(v.c_str(), "%u.%u.%u%c", &a, &b, &c, &tail) == 3)
                m.version = pack_version(a, b, c);
            else
                m.version = num(k, v);
        } else if (k == "build") {
            m.build = num(k, v);
        } else if (k == "name") {
            m.name = v;
        } else if (k == "address") {
            m.address = static_cast<uint8_t>(num(k, v, 254));
            if (m.address == 0 || (m.address & 1))
                bad("address must be even and not 0: " + v);
        } else if (k == "router_address") {
            m.router_address = static_cast<uint8_t>(num(k, v, 255));
        } else if (k == "features") {
            m.features = num(k, v);
        } else if (k == "transport") {
            if (v == "serial") {
                m.transport = Transport::Serial;
            } else if (v.rfind("tcp:", 0) == 0) {
                m.transport = Transport::Tcp;
                m.port = static_cast<uint16_t>(num(k, v.substr(4), 65535));
            } else if (v == "tcp") {
                m.transport = Transport::Tcp;
            } else {
                bad("transport must be tcp[:<port>] or serial: " + v);
            }
        } else if (k == "hb") {
            m.hb_ms = num(k, v);
        } else if (k == "strict_route") {
            m.strict_route = true;
        } else if (k == "factory") { // factory=<index>:<hex bytes>
            auto parts = split(v, ':');
            if (parts.size() != 2)
                bad("factory=<index>:<hex bytes>");
            m.factory[static_cast<uint8_t>(num(k, parts[0], 15))] = hexbytes(k, parts[1]);
        } else if (k == "slots") { // slots=<capacity>,<capacity>,...
            m.slots.clear();
            for (auto& c : split(v, ','))
                m.slots.push_back(num(k, c, 65535));
        } else if (k == "router") {
            m.parent = hexnum(k, v);
        } else if (k == "busy") {
            m.mis.busy = true;
        } else if (k == "silent") {
            m.mis.silent = true;
        } else if (k == "late") { // late=<ms>[:<cmd>[:<option>]]
            auto parts = split(v, ':');
            if (parts.empty() || parts.size() > 3)
                bad("late=<ms>[:<command>[:<option>]]");
            m.mis.late_ms = num(k, parts[0]);
            if (parts.size() > 1)
                m.mis.late_cmd = static_cast<int>(num(k, parts[1], 255));
            if (parts.size() > 2)
                m.mis.late_opt = static_cast<int>(num(k, parts[2], 63));
        } else if (k == "wrong_length") {
            m.mis.wrong_length = true;
            if (!v.empty())
                m.mis.wrong_length_cmd = static_cast<int>(num(k, v, 255));
        } else if (k == "drop_after") {
            m.mis.drop_after = num(k, v);
        } else if (k == "deny") { // deny=<option>[:<code>],...
            for (auto& item : split(v, ',')) {
                auto parts = split(item, ':');
                uint8_t code = parts.size() > 1 ? static_cast<uint8_t>(num(k, parts[1], 127)) : 29;
                m.mis.deny[static_cast<uint8_t>(num(k, parts[0], 63))] = code;
            }
        } else if (k == "bad_sum") {
            m.mis.bad_sum = true;
        } else if (k == "short_ack") {
            m.mis.short_ack = v.empty() ? 1 : num(k, v);
        } else if (k == "bad_upgrade_sum") {
            m.mis.bad_upgrade_sum = v.empty() ? ~0u : num(k, v);
        } else if (k == "prepare_status") {
            m.mis.prepare_status = static_cast<uint8_t>(num(k, v, 255));
        } else if (k == "no_load_reply") {
            m.mis.no_load_reply = true;
        } else if (k == "reboot_keeps_link") {
            m.mis.reboot_keeps_link = true;
        } else if (k == "reboot_ms") {
            m.reboot_ms = num(k, v, 600000);
        } else if (k == "loader_reenumerates") {
            m.loader_reenumerates = v.empty() ? 300u : num(k, v, 600000);
        } else if (k == "loader_serial") {
            m.loader_serial = hexnum(k, v);
        } else if (k == "flash_dir") {
            m.flash_dir = v;
        } else if (k == "fingerprint") { // fingerprint=<hex>,<hex>,... by subindex
            m.fingerprint.clear();
            for (auto& w : split(v, ','))
                m.fingerprint.push_back(hexnum(k, w));
        } else if (k == "stream") {
            m.streams.push_back(parse_stream_source(v));
        } else if (k == "stream_deny") {
            m.mis.stream_deny = static_cast<uint8_t>(v.empty() ? 29 : num(k, v, 127));
        } else if (k == "short_sample") {
            m.mis.short_sample = true;
        } else if (k == "uei_data") {
            m.uei_data = true;
        } else if (k == "in_loader") {
            m.in_loader = true;
        } else if (k == "block_size") {
            m.block_size = static_cast<uint16_t>(num(k, v, 65535));
        } else if (k == "load_base") {
            m.load_base = num(k, v);
        } else if (k == "build_after_update") {
            m.build_after_update = num(k, v);
        } else if (k == "version_after_update") {
            unsigned a, b, c2;
            char tail;
            if (std::sscanf(v.c_str(), "%u.%u.%u%c", &a, &b, &c2, &tail) == 3)
                m.version_after_update = pack_version(a, b, c2);
            else
                m.version_after_update = num(k, v);
        } else if (faults::parse_key(k, v, m.once)) {
        } else {
            bad("unknown key '" + k + "'");
        }
    }
    if (!have_serial)
        bad("serial=<hex> is required: " + line);
    if (m.name.size() > 32)
        bad("name longer than 32 bytes");

    if (m.role == Role::Bus) {
        if (m.parent == 0) {
            for (auto it = sofar.modules.rbegin(); it != sofar.modules.rend(); ++it)
                if (it->role == Role::Router) {
                    m.parent = it->serial;
                    break;
                }
        }
        const ModuleConfig* r = nullptr;
        for (auto& o : sofar.modules)
            if (o.role == Role::Router && o.serial == m.parent)
                r = &o;
        if (!r)
            bad("bus module without a router defined before it: " + line);
        if (m.transport != Transport::None)
            bad("bus modules are reached through their router, not a transport of their own");
        if (m.address == r->address)
            bad("bus module at the router's own address");
        if (!m.router_address)
            m.router_address = r->address;
        m.hb_ms = 0;
    } else if (m.transport == Transport::None) {
        bad("transport=tcp[:<port>]|serial is required: " + line);
    }
    if (!m.router_address)
        m.router_address = m.address;
    for (auto& o : sofar.modules)
        if (o.serial == m.serial)
            bad("serial number used twice");
    return m;
}

void parse_config_text(const std::string& text, LabConfig& cfg)
{
    std::istringstream in(text);
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
        ++n;
        auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#')
            continue;
        try {
            cfg.modules.push_back(parse_module_line(line, cfg));
        } catch (const std::runtime_error& e) {
            throw std::runtime_error("line " + std::to_string(n) + ": " + e.what());
        }
    }
}

} // namespace vmsim
