#pragma once
// The update server's questions and answers. Every operation is a plain call that
// takes the server URL (null: the built-in default), performs one GET, checks the
// status and the "ok" first line and parses the rest into the caller's outputs.
// None keeps state or throws; each failure gives false and one log line.
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "updater/Fingerprint.h"
#include "updater/HTTPResponse.h"

class UpdateServerRequest {
public:
    using Builds = std::map<std::string, std::string>;
    using SortedBuilds = std::vector<std::pair<std::string, std::string>>;

    static bool ping(const char* url = nullptr);
    // build and firmware keep their earlier content when the reply lacks the line.
    static bool QueryBuild(uint32_t serialNumber, std::string& build, std::string& firmware,
                           const char* url = nullptr);
    // bird is emptied first; true with an empty bird when the reply has no second line.
    static bool GetBuild(uint32_t serialNumber, const std::string& firmware, const std::string& build,
                         std::string& bird, const char* url = nullptr, bool noCal = false);
    // builds is emptied first, whatever the outcome.
    static bool GetBuildList(uint32_t serialNumber, Builds& builds, const char* url = nullptr);
    static bool GetRecoveryInfo(const Fingerprint& fingerprint, uint32_t& serialNumber, uint32_t& build,
                                const char* url = nullptr);
    static bool GetDeviceJWT(uint32_t serialNumber, std::string& token, const char* url = nullptr);

    // The reply parsers behind the operations above, usable without a server: each
    // takes a status-200 response, checks the "ok" first line and fills the outputs
    // exactly as its operation does. ParseBuild takes the body over.
    static bool ParseQueryBuild(const HTTPResponse& response, std::string& build, std::string& firmware);
    static bool ParseBuild(HTTPResponse& response, std::string& bird);
    static bool ParseBuildList(const HTTPResponse& response, Builds& builds);
    static bool ParseRecoveryInfo(const HTTPResponse& response, uint32_t& serialNumber, uint32_t& build);
    static bool ParseDeviceJWT(const HTTPResponse& response, std::string& token);

    // Newest version first; versions that are not three numbers compare equal to all.
    static SortedBuilds SortBuildsByVersion(const Builds& builds);
    // The text cut at every "."; empty unless there are exactly three parts.
    static std::vector<std::string> SplitVelmarineVersion(const std::string& text);
};
