// Gives arbitrary bytes, as the body of a status-200 reply, to every update-server
// reply parser (build query, build download, build list, recovery information,
// device token) and orders whatever build list comes out. The body arrives in
// two pieces as the transfer delivers it. No network is involved: the parsers
// take the response the transfer would have filled.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "updater/HTTPResponse.h"
#include "updater/UpdateServerRequest.h"

namespace {

HTTPResponse reply(const uint8_t* data, size_t size) {
    HTTPResponse response("http://127.0.0.1:1/fuzz?op=fuzz&");
    const size_t half = size / 2;
    response.process(reinterpret_cast<const char*>(data), half);
    response.process(reinterpret_cast<const char*>(data) + half, size - half);
    response.set_status(200);
    return response;
}

bool hasLineBreak(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    // Empty lines are no lines: the first line with something in it must begin "ok".
    const size_t first = body.find_first_not_of('\n');
    const bool ok = first != std::string::npos && body.compare(first, 2, "ok") == 0;

    {
        std::string build = "unchanged", firmware = "unchanged";
        if (UpdateServerRequest::ParseQueryBuild(reply(data, size), build, firmware) != ok) std::abort();
        if (hasLineBreak(build) || hasLineBreak(firmware)) std::abort();
    }
    {
        HTTPResponse response = reply(data, size);
        std::string bird = "stale";
        if (UpdateServerRequest::ParseBuild(response, bird) != ok) std::abort();
        if (!ok && !bird.empty()) std::abort();
        // The file is one line of the body, never more and never a copy of something else.
        if (bird.find('\n') != std::string::npos || (!bird.empty() && body.find(bird) == std::string::npos))
            std::abort();
    }
    {
        UpdateServerRequest::Builds builds{{"stale", "1.0.0"}};
        if (UpdateServerRequest::ParseBuildList(reply(data, size), builds) != ok) std::abort();
        if (!ok && !builds.empty()) std::abort();
        for (const auto& [build, version] : builds) {
            if (build.empty() || build.find(';') != std::string::npos || hasLineBreak(build) || hasLineBreak(version))
                std::abort();
        }
        const UpdateServerRequest::SortedBuilds sorted = UpdateServerRequest::SortBuildsByVersion(builds);
        if (sorted.size() != builds.size()) std::abort();
        for (const auto& entry : sorted) {
            auto it = builds.find(entry.first);
            if (it == builds.end() || it->second != entry.second) std::abort();
        }
    }
    {
        uint32_t serialNumber = 0, build = 0;
        if (UpdateServerRequest::ParseRecoveryInfo(reply(data, size), serialNumber, build) != ok) std::abort();
    }
    {
        std::string token = "unchanged";
        const bool got = UpdateServerRequest::ParseDeviceJWT(reply(data, size), token);
        if (got && !ok) std::abort();
        if (!got && token != "unchanged") std::abort();
        if (got) {
            // Three dot-separated parts of at least two characters each, from one line.
            const size_t first = token.find('.'), second = token.find('.', first + 1);
            if (first == std::string::npos || second == std::string::npos || first < 2 || second - first - 1 < 2 ||
                token.size() - second - 1 < 2 || token.find('\n') != std::string::npos)
                std::abort();
        }
    }
    return 0;
}
