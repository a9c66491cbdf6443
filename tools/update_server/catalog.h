#pragma once
// The server's view of a catalog directory:
//
//   CATALOG/<SERIAL>/*.bird      builds for the device (SERIAL: eight hex digits);
//                                build number and version come from each file's
//                                descriptor, the newest version is the latest build
//   CATALOG/<SERIAL>/hidden/*.bird  builds served on request but neither listed nor
//                                ever the latest (pre-release or withdrawn builds)
//   CATALOG/<SERIAL>/token       the device's feature token (first line)
//   CATALOG/fingerprints         "W0 W1 W2 W3 SERIAL BUILD" per line, hexadecimal
//                                words and serial, decimal build; "#" comments
//
// The catalog is read afresh on every request, so files can be added while the
// server runs; parsed descriptors are cached by path, size and modification time.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace update_server {

struct Build {
    uint32_t number = 0;
    std::string version;  // "" when the file has no descriptor
    std::string model;
    std::string path;
};

class Catalog {
public:
    explicit Catalog(std::string root) : root_(std::move(root)) {}

    // nullopt when the device has no folder.
    // With includeHidden, the hidden builds are added after the listed ones.
    std::optional<std::vector<Build>> builds(const std::string& serial, bool includeHidden = false) const;
    // Newest version first; equal versions by build number, higher first.
    static std::optional<Build> latest(const std::vector<Build>& builds);
    std::optional<std::string> token(const std::string& serial) const;
    // words: four hexadecimal words. Returns the serial and build mapped to them.
    bool recovery(const uint32_t words[4], uint32_t& serial, uint32_t& build) const;

    static bool readFile(const std::string& path, std::string& bytes);

private:
    std::string root_;
};

// Device folder name for a serial number given in any case: "%08X".
std::optional<std::string> normalise_serial(const std::string& text);

}  // namespace update_server
