#include "tools/update_server/replies.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace update_server {

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string param(const std::multimap<std::string, std::string>& params, const char* key) {
    auto it = params.find(key);
    return it == params.end() ? std::string() : it->second;
}

Reply refuse(const std::string& op, int status, const std::string& why) { return Reply{status, "error\n" + why + "\n", op}; }

}  // namespace

std::string base64(const std::string& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t v = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8) | p[i + 2];
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t v = uint32_t(p[i]) << 16;
        if (rest == 2) v |= uint32_t(p[i + 1]) << 8;
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

Reply answer(const Catalog& catalog, const std::multimap<std::string, std::string>& params) {
    const std::string op = param(params, "op");
    if (op == "hi") return Reply{200, "ok\n", op};

    if (op == "fix") {
        // The updater sends the words separated by an escaped space, which arrives
        // here already unescaped.
        std::istringstream s(param(params, "fp"));
        uint32_t words[4];
        for (auto& w : words) {
            std::string t;
            if (!(s >> t)) return refuse(op, 400, "bad fingerprint");
            w = static_cast<uint32_t>(std::strtoul(t.c_str(), nullptr, 16));
        }
        uint32_t serial = 0, build = 0;
        if (!catalog.recovery(words, serial, build)) return refuse(op, 404, "unknown fingerprint");
        char body[64];
        std::snprintf(body, sizeof body, "ok\n%08X\n%u\n", serial, build);
        return Reply{200, body, op};
    }

    if (op != "qu" && op != "bird" && op != "builds" && op != "ent_jwt") return refuse(op, 400, "unknown operation");
    auto serial = normalise_serial(param(params, "sn"));
    if (!serial) return refuse(op, 400, "bad serial number");

    if (op == "ent_jwt") {
        auto token = catalog.token(*serial);
        if (!token) return refuse(op, 404, "no token for device");
        return Reply{200, "ok\n" + *token + "\n", op};
    }

    auto builds = catalog.builds(*serial, op == "bird");
    if (!builds) return refuse(op, 404, "unknown device");

    if (op == "builds") {
        std::string body = "ok\n";
        for (const Build& b : *builds) body += std::to_string(b.number) + ";" + b.version + "\n";
        return Reply{200, body, op};
    }
    if (op == "qu") {
        auto latest = Catalog::latest(*builds);
        if (!latest) return refuse(op, 404, "no builds for device");
        return Reply{200, "ok\n" + std::to_string(latest->number) + "\n" + latest->version + "\n", op};
    }
    // bird
    const std::string wanted = param(params, "bld");
    for (const Build& b : *builds) {
        if (std::to_string(b.number) != wanted) continue;
        std::string bytes;
        if (!Catalog::readFile(b.path, bytes)) return refuse(op, 500, "cannot read build");
        return Reply{200, "ok\n" + base64(bytes) + "\n", op};
    }
    return refuse(op, 404, "no such build");
}

}  // namespace update_server
