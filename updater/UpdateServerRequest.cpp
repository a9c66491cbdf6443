#include "updater/UpdateServerRequest.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "app/Log.h"
#include "build_config.h"
#include "lib/common/aVersion.h"
#include "updater/HTTPRequest.h"

namespace {

// Lines are views into the response body, which outlives them in every operation.
using Lines = std::vector<std::string_view>;

std::string serial_text(uint32_t serialNumber) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serialNumber);
    return text;
}

Lines split_lines(const std::string& body) {
    Lines lines;
    std::string_view all(body);
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find('\n', start);
        if (end == std::string_view::npos) end = all.size();
        if (end > start) lines.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string drop_cr(std::string_view text) {
    size_t cut = text.find_first_of("\r\n");
    return std::string(text.substr(0, cut));
}

// The transport half of every operation: GET and status 200.
bool exchange(const char* name, const char* url, const HTTPRequest::Parameters& parameters, HTTPResponse& response,
              bool isPing = false) {
    const std::string target = url != nullptr ? url : UPDATER_DEFAULT_SERVER_URL;
    try {
        response = HTTPRequest::GET(target, parameters);
    } catch (const std::runtime_error& e) {
        Log::log(Log::DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        return false;
    }
    if (response.get_status() != 200) {
        if (isPing)
            Log::log(Log::DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response.get_status()),
                     response.get_response().c_str());
        else
            Log::log(Log::DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, static_cast<int>(response.get_status()),
                     response.get_response().c_str());
        return false;
    }
    return true;
}

// The common start of every reply: its lines, the first of them "ok".
bool ok_lines(const char* name, const HTTPResponse& response, Lines& lines) {
    lines = split_lines(response.get_response());
    if (lines.empty() || lines[0].substr(0, 2) != "ok") {
        Log::log(Log::DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request().c_str());
        return false;
    }
    return true;
}

bool sortVersion(const std::pair<std::string, std::string>& a, const std::pair<std::string, std::string>& b) {
    auto va = UpdateServerRequest::SplitVelmarineVersion(a.second);
    auto vb = UpdateServerRequest::SplitVelmarineVersion(b.second);
    if (va.empty() && vb.empty()) return false;
    try {
        if (va.empty() || vb.empty()) throw std::invalid_argument("stoi");
        uint8_t pa[3], pb[3];
        for (int i = 0; i < 3; ++i) {
            pa[i] = static_cast<uint8_t>(std::stoi(va[i]) & 0xFF);
            pb[i] = static_cast<uint8_t>(std::stoi(vb[i]) & 0xFF);
        }
        return !aVersion_IsAtLeastCompare(pb[0], pb[1], pb[2], pa[0], pa[1], pa[2]);
    } catch (const std::exception& e) {
        Log::log(Log::DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", e.what());
        return false;
    }
}

}  // namespace

bool UpdateServerRequest::ping(const char* url) {
    HTTPResponse response;
    Lines lines;
    return exchange("ping", url, {{"op", "hi"}, {"rv", "2"}}, response, true) && ok_lines("ping", response, lines);
}

bool UpdateServerRequest::QueryBuild(uint32_t serialNumber, std::string& build, std::string& firmware,
                                     const char* url) {
    HTTPResponse response;
    if (!exchange("QueryBuild", url, {{"op", "qu"}, {"sn", serial_text(serialNumber)}}, response)) return false;
    return ParseQueryBuild(response, build, firmware);
}

bool UpdateServerRequest::ParseQueryBuild(const HTTPResponse& response, std::string& build, std::string& firmware) {
    Lines lines;
    if (!ok_lines("QueryBuild", response, lines)) return false;
    if (lines.size() > 1) build = drop_cr(lines[1]);
    if (lines.size() > 2) firmware = drop_cr(lines[2]);
    return true;
}

bool UpdateServerRequest::GetBuild(uint32_t serialNumber, const std::string& firmware, const std::string& build,
                                   std::string& bird, const char* url, bool noCal) {
    bird.clear();
    HTTPResponse response;
    HTTPRequest::Parameters parameters{{"bld", build},
                                       {"fw", firmware},
                                       {"no_cal", noCal ? "true" : "false"},
                                       {"op", "bird"},
                                       {"sn", serial_text(serialNumber)}};
    if (!exchange("GetBuild", url, parameters, response)) return false;
    return ParseBuild(response, bird);
}

bool UpdateServerRequest::ParseBuild(HTTPResponse& response, std::string& bird) {
    bird.clear();
    Lines lines;
    if (!ok_lines("GetBuild", response, lines)) return false;
    if (lines.size() > 1) {
        // The file is most of the body: cut the body down to it in place and hand the
        // buffer over, so a large file is never held twice.
        std::string& body = response.get_response();
        const size_t start = static_cast<size_t>(lines[1].data() - body.data());
        const size_t length = lines[1].size();
        body.resize(start + length);
        body.erase(0, start);
        bird = std::move(body);
    }
    return true;
}

bool UpdateServerRequest::GetBuildList(uint32_t serialNumber, Builds& builds, const char* url) {
    builds.clear();
    HTTPResponse response;
    if (!exchange("GetBuildList", url, {{"op", "builds"}, {"sn", serial_text(serialNumber)}}, response)) return false;
    return ParseBuildList(response, builds);
}

bool UpdateServerRequest::ParseBuildList(const HTTPResponse& response, Builds& builds) {
    const char* name = "GetBuildList";
    builds.clear();
    Lines lines;
    if (!ok_lines(name, response, lines)) return false;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string line(lines[i]);
        if (line.size() < 3) continue;
        Log::log(Log::DEBUG_ServerComm, "%s processing entry: [%s]\n", name, line.c_str());
        size_t cut = line.find_first_of(";\r\n");
        std::string build = line.substr(0, cut);
        std::string version;
        if (cut != std::string::npos && line[cut] == ';') version = drop_cr(line.substr(cut + 1));
        if (!build.empty()) builds.emplace(build, version);
        Log::log(Log::DEBUG_ServerComm, "%s [%.10s][%.10s]\n", name, build.c_str(), version.c_str());
    }
    return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const Fingerprint& fingerprint, uint32_t& serialNumber, uint32_t& build,
                                          const char* url) {
    const char* name = "GetRecoveryInfo";
    char fp[64];
    std::snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint.words[0], fingerprint.words[1],
                  fingerprint.words[2], fingerprint.words[3]);
    HTTPResponse response;
    if (!exchange(name, url, {{"brief", "true"}, {"fp", fp}, {"op", "fix"}}, response)) return false;
    return ParseRecoveryInfo(response, serialNumber, build);
}

bool UpdateServerRequest::ParseRecoveryInfo(const HTTPResponse& response, uint32_t& serialNumber, uint32_t& build) {
    const char* name = "GetRecoveryInfo";
    Lines lines;
    if (!ok_lines(name, response, lines)) return false;
    const std::string line1(lines[0]), line2(lines.size() > 1 ? lines[1] : ""), line3(lines.size() > 2 ? lines[2] : "");
    if (lines.size() > 1) serialNumber = static_cast<uint32_t>(std::strtoul(line2.c_str(), nullptr, 16));
    if (lines.size() > 2) build = static_cast<uint32_t>(std::strtoul(line3.c_str(), nullptr, 0));
    Log::log(Log::DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", name, line1.c_str(), line2.c_str(), line3.c_str());
    return true;
}

bool UpdateServerRequest::GetDeviceJWT(uint32_t serialNumber, std::string& token, const char* url) {
    const char* name = "GetDeviceJWT";
    HTTPResponse response;
    if (!exchange(name, url, {{"json", "false"}, {"op", "ent_jwt"}, {"sn", serial_text(serialNumber)}}, response))
        return false;
    return ParseDeviceJWT(response, token);
}

bool UpdateServerRequest::ParseDeviceJWT(const HTTPResponse& response, std::string& token) {
    const char* name = "GetDeviceJWT";
    Lines lines;
    if (!ok_lines(name, response, lines)) return false;
    if (lines.size() < 2 || lines[1].size() < 3) return false;
    const std::string line(lines[1]);
    Log::log(Log::DEBUG_ServerComm, "%s processing entry: [%s]\n", name, line.c_str());
    size_t first = line.find('.');
    if (first == std::string::npos) return false;
    size_t second = line.find('.', first + 1);
    if (second == std::string::npos) return false;
    std::string header = line.substr(0, first);
    std::string payload = line.substr(first + 1, second - first - 1);
    std::string signature = drop_cr(line.substr(second + 1));
    if (header.size() < 2 || payload.size() < 2 || signature.size() < 2) return false;
    token = header + "." + payload + "." + signature;
    return true;
}

std::vector<std::string> UpdateServerRequest::SplitVelmarineVersion(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t dot = text.find('.', start);
        parts.emplace_back(text, start, dot == std::string::npos ? std::string::npos : dot - start);
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (parts.size() != 3) parts.clear();
    return parts;
}

UpdateServerRequest::SortedBuilds UpdateServerRequest::SortBuildsByVersion(const Builds& builds) {
    SortedBuilds sorted(builds.begin(), builds.end());
    // Versions that are not three numbers compare equal to everything, so the order is
    // not a strict weak one; a merge sort copes with that where an introsort may run
    // past the ends of the range.
    std::stable_sort(sorted.begin(), sorted.end(), sortVersion);
    return sorted;
}
