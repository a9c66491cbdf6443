// Module: connecting its link and learning its bus address.

#include "lib/object/Module.h"

#include <chrono>
#include <thread>

namespace Corvane {
namespace Velmarine {

namespace {
constexpr int kAddressAttempts = 4;
constexpr auto kAddressRetryPause = std::chrono::milliseconds(5);
} // namespace

Module::Module(uint8_t address, uint8_t model_)
    : link(new Link("Link")), moduleAddress(address), networkingMode(true), model(model_)
{
}

Module::Module(uint8_t address, bool networkingMode_, uint8_t model_)
    : link(new Link("Link")), moduleAddress(address), networkingMode(networkingMode_), model(model_)
{
}

Module::~Module()
{
    delete link;
}

aErr Module::connect(linkType type, uint32_t serialNumber)
{
    if (serialNumber == 0) return aErrParam;
    return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber)
{
    if (!link) return aErrInitialization;
    aErr err = link->discoverAndConnect(type, serialNumber, model);
    if (err != aErrNone) return err;
    return _autoNetwork();
}

aErr Module::connectFromSpec(const linkSpec& spec)
{
    if (!link) return aErrInitialization;
    if (link->isConnected()) return aErrBusy;
    if (aErr err = link->setLinkSpecifier(spec)) return err;
    if (aErr err = link->connect()) return err;
    return _autoNetwork();
}

aErr Module::connectThroughLinkModule(Module* router)
{
    if (!link) return aErrInitialization;
    if (link->isConnected()) return aErrNone;
    if (!router || !router->link) return aErrInitialization;
    linkSpec spec{};
    if (aErr err = router->link->getLinkSpecifier(&spec)) return err;
    aEtherConfig config;
    router->link->getConfig(&config);
    if (aErr err = setConfig(config)) return err;
    if (config.enabled) {
        spec.type = AETHER;
        spec.ipAddress = config.networkInterface;
        spec.ipPort = config.assignedPort;
    }
    if (aErr err = link->setLinkSpecifier(spec)) return err;
    if (aErr err = link->connectThroughLinkModule(router->link)) return err;
    // On a shared link the device answering an address query is the router,
    // so this module keeps the bus address it was given.
    networkingMode = false;
    return aErrNone;
}

aErr Module::reconnect()
{
    if (!link) return aErrInitialization;
    if (aErr err = link->connect()) return err;
    return _autoNetwork();
}

aErr Module::disconnect()
{
    if (!link) return aErrInitialization;
    return link->disconnect();
}

bool Module::isConnected() const
{
    return link && link->isConnected();
}

int32_t Module::getStatus() const
{
    return link ? link->getStatus() : kModuleNoLinkStatus;
}

aErr Module::getLinkSpecifier(linkSpec* spec) const
{
    if (!link) return aErrNotReady;
    return link->getLinkSpecifier(spec);
}

aErr Module::getConfig(aEtherConfig* config) const
{
    if (!link) return aErrNotReady;
    if (!config) return aErrParam;
    return link->getConfig(config);
}

aErr Module::setConfig(const aEtherConfig& config)
{
    if (!link) return aErrNotReady;
    return link->setConfig(config);
}

aErr Module::enablePacketLog(const char* path)
{
    if (!link) return aErrConfiguration;
    return link->enablePacketLog(path);
}

aErr Module::disablePacketLog()
{
    if (!link) return aErrConfiguration;
    return link->disablePacketLog();
}

aErr Module::_autoNetwork()
{
    if (!networkingMode || !link) return aErrNone;
    aErr err = aErrNotReady;
    for (int attempt = 0; attempt < kAddressAttempts; ++attempt) {
        uint8_t address = 0;
        err = link->getModuleAddress(&address);
        if (err == aErrNone) {
            if (address != 0 && address != moduleAddress) moduleAddress = address;
            break;
        }
        std::this_thread::sleep_for(kAddressRetryPause);
        if (err != aErrNotReady) break;
    }
    return err;
}

} // namespace Velmarine
} // namespace Corvane
