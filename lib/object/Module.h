#pragma once
// One module on a device bus, reached through the Link it owns.

#include <cstdint>

#include "lib/common/aError.h"
#include "lib/common/linkSpec.h"
#include "lib/object/Link.h"

namespace Corvane {
namespace Velmarine {

// Returned by getStatus when the module has no link.
constexpr int32_t kModuleNoLinkStatus = 8;

class Module {
public:
    Module(uint8_t address, uint8_t model = 0);
    Module(uint8_t address, bool networkingMode, uint8_t model);
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    aErr connect(linkType type, uint32_t serialNumber);
    aErr discoverAndConnect(linkType type, uint32_t serialNumber);
    aErr connectFromSpec(const linkSpec& spec);
    aErr connectThroughLinkModule(Module* router);
    aErr reconnect();
    aErr disconnect();
    bool isConnected() const;
    int32_t getStatus() const;

    uint8_t getModuleAddress() const { return moduleAddress; }
    void setModuleAddress(uint8_t address) { moduleAddress = address; }
    aErr getLinkSpecifier(linkSpec* spec) const;
    aErr getConfig(aEtherConfig* config) const;
    aErr setConfig(const aEtherConfig& config);
    Link* getLink() const { return link; }
    void setNetworkingMode(bool mode) { networkingMode = mode; }
    bool getNetworkingMode() const { return networkingMode; }

    // Module queries.
    aErr getBuild(uint32_t* build);
    aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
    aErr classQuantity(uint8_t type, uint8_t* count);
    aErr subClassQuantity(uint8_t type, uint8_t index, uint8_t* count);
    aErr entityGroup(uint8_t type, uint8_t index, uint8_t* group);
    aErr debug(const uint8_t* bytes, uint8_t count);

    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

private:
    aErr _autoNetwork();

    Link* link;
    uint8_t moduleAddress;
    bool networkingMode;
    uint8_t model;
};

} // namespace Velmarine
} // namespace Corvane
