// Link: specifier and settings, connecting (directly, by discovery, through a
// routing module), releasing, and the packet log.

#include "lib/object/Link.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "lib/common/aDefs.h"
#include "lib/common/aPacketDebug.h"
#include "lib/common/discover.h"
#include "lib/object/LinkImpl.h"

namespace Corvane {
namespace Velmarine {

namespace {

// Engine links are created by one thread at a time, so two Links reaching the
// same module cannot both miss the existing link and open a second one.
std::mutex linkCreateHelperSerializer;

constexpr int kStartPolls = 200;
constexpr auto kStartPollInterval = std::chrono::milliseconds(10);

bool sIsEther(linkType t)
{
    return t >= AETHER && t <= AETHER_SERIAL;
}

struct ModelFilter {
    linkSpec* wanted;
};

bool sModelFilter(const linkSpec* candidate, bool* success, void* ref)
{
    auto* f = static_cast<ModelFilter*>(ref);
    uint32_t model = f->wanted->model;
    if (model != 0 && candidate->model != model) return true;
    memcpy(f->wanted, candidate, sizeof(linkSpec));
    *success = true;
    return false;
}

} // namespace

aErr Link::impl::checkPacketTarget(uint8_t module) const
{
    if (module == 0 || (module & 1)) return aErrPacket;
    if (!owner->isConnected()) return aErrConnection;
    return aErrNone;
}

aErr linkPutRaw(aLinkRef link, uint8_t module, uint8_t length, const uint8_t* bytes)
{
    static const uint8_t none[1] = {0};
    aPacket* packet = aPacket_CreateWithData(module, length, bytes ? bytes : none);
    if (!packet) return aErrResource;
    aErr err = aLink_PutPacket(link, packet);
    aPacket_Destroy(&packet);
    return err;
}

Link::Link(const char* name) : m_impl(new impl(this, name)) {}

Link::Link(const linkSpec& spec, const char* name) : m_impl(new impl(this, name))
{
    m_impl->spec = std::make_unique<linkSpec>(spec);
}

Link::~Link()
{
    // The logger reads from the engine link, so it goes first.
    if (m_impl->logger) aLogger_Destroy(&m_impl->logger);
    if (m_impl->linkId) m_impl->installStreamFilter(false);
    if (m_impl->linkId) aLink_Destroy(&m_impl->linkId);
    delete m_impl;
}

aErr Link::setLinkSpecifier(const linkSpec& spec)
{
    if (isConnected()) return aErrBusy;
    m_impl->spec = std::make_unique<linkSpec>(spec);
    return aErrNone;
}

aErr Link::getLinkSpecifier(linkSpec* spec) const
{
    if (!spec) return aErrParam;
    if (!m_impl->spec) return aErrNotFound;
    memcpy(spec, m_impl->spec.get(), sizeof(linkSpec));
    return aErrNone;
}

const char* Link::getName() const
{
    return m_impl->name.c_str();
}

aErr Link::getConfig(aEtherConfig* config) const
{
    if (!config) return aErrParam;
    *config = m_impl->config;
    return aErrNone;
}

aErr Link::setConfig(const aEtherConfig& config)
{
    if (isConnected()) return aErrMode;
    m_impl->config = config;
    return aErrNone;
}

namespace {

// Opens (or shares) the engine link named by the stored specifier and waits
// for it to run. linkId may hold a handle on entry: an aEther client builds on it.
aErr sConnectProcedure(Link::impl& d)
{
    if (!d.spec) return aErrConfiguration;
    const linkSpec spec = *d.spec;
    aEtherConfig& cfg = d.config;

    {
        std::lock_guard<std::mutex> serial(linkCreateHelperSerializer);
        // Specifiers come from the network too: read the type as the plain
        // 32-bit number it is, whatever value it holds.
        uint32_t type = 0;
        memcpy(&type, &spec.type, sizeof type);
        switch (type) {
        case USB:
            d.linkId = aLink_CreateUSB(spec.serialNumber);
            break;
        case TCPIP:
            d.linkId = aLink_CreateTCPIP(spec.serialNumber, spec.ipAddress,
                                               static_cast<uint16_t>(spec.ipPort));
            break;
        case SERIAL: {
            char port[linkSPEC_PORTNAME_LENGTH + 1] = {};
            memcpy(port, spec.portName, linkSPEC_PORTNAME_LENGTH);  // terminated even if the record is not
            d.linkId = aLink_CreateSerial(spec.serialNumber, port, spec.baudRate);
            break;
        }
        case AETHER:
        case AETHER_USB:
        case AETHER_TCPIP:
        case AETHER_SERIAL:
            if (!cfg.enabled) return aErrConfiguration;
            d.linkId = aLink_CreateClient(spec.ipAddress, static_cast<uint16_t>(spec.ipPort), d.linkId);
            break;
        default:
            return aErrMode;
        }
        if (d.linkId != 0 && type >= USB && type <= SERIAL && cfg.enabled) {
            aLinkRef direct = d.linkId;
            d.linkId = aLink_CreateServer(direct, &cfg.assignedPort, &cfg.networkInterface, cfg.localOnly);
            if (d.linkId == 0) aLink_Destroy(&direct);
        }
    }

    if (d.linkId == 0) return aErrConnection;

    int32_t state = aLink_GetStatus(d.linkId);
    switch (state) {
    case kLinkStateStopped:
    case kLinkStateStarting:
    case kLinkStateSyncing:
        for (int i = 0; i < kStartPolls; ++i) {
            if (aLink_GetStatus(d.linkId) == kLinkStateRunning) return aErrNone;
            std::this_thread::sleep_for(kStartPollInterval);
        }
        return aErrConnection;
    case kLinkStateRunning:
        return aErrNone;
    case kLinkStateStopping:
        return aErrBusy;
    case kLinkStateNoStream:
    case kLinkStateIOError:
    case kLinkStatePacketError:
        return aErrConnection;
    default:
        return aErrDuplicate;
    }
}

} // namespace

aErr Link::connect()
{
    if (m_impl->linkId != 0) return aErrConnection;
    return sConnectProcedure(*m_impl);
}

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model)
{
    auto attempt = [&](linkType t) -> aErr {
        linkSpec* found = nullptr;
        if (serialNumber != 0) {
            found = aDiscovery_FindModule(t, serialNumber, m_impl->config.networkInterface);
        } else {
            found = aLinkSpec_Create(t);
            if (!found) return aErrMemory;
            found->model = model;
            ModelFilter filter{found};
            if (aDiscovery_EnumerateModules(t, sModelFilter, &filter, m_impl->config.networkInterface) == 0)
                aLinkSpec_Destroy(&found);
        }
        if (!found) return aErrNotFound;
        m_impl->spec = std::make_unique<linkSpec>(*found);
        aLinkSpec_Destroy(&found);
        return connect();
    };

    aErr err = attempt(type);
    bool retryable = err == aErrNotFound || err == aErrInitialization || err == aErrConnection;
    bool family = type == USB || type == TCPIP || sIsEther(type);
    if (retryable && family && m_impl->config.fallback) err = attempt(sIsEther(type) ? USB : AETHER);
    return err;
}

aErr Link::connectThroughLinkModule(Link* other)
{
    if (!other || other->m_impl->linkId == 0) return aErrInitialization;
    // The engine hands back the router's link for the same identity with its
    // use count raised, so both Links hold the handle and each releases it once.
    m_impl->linkId = other->m_impl->linkId;
    return sConnectProcedure(*m_impl);
}

aErr Link::disconnect()
{
    // The filter points at this Link: it must not outlive our hold on a shared link.
    if (m_impl->linkId) m_impl->installStreamFilter(false);
    if (m_impl->linkId) aLink_Destroy(&m_impl->linkId);
    m_impl->linkId = 0;
    return aErrNone;
}

aErr Link::reset()
{
    if (m_impl->linkId) aLink_Reset(m_impl->linkId);
    return aErrNone;
}

bool Link::isConnected() const
{
    return m_impl->linkId != 0 && aLink_GetStatus(m_impl->linkId) == kLinkStateRunning;
}

int32_t Link::getStatus() const
{
    if (m_impl->linkId == 0) return 8;
    return aLink_GetStatus(m_impl->linkId);
}

aLinkRef Link::getLinkId() const
{
    return m_impl->linkId;
}

namespace {
uint8_t sEmptyPacketFilter(const aPacket* packet, void*)
{
    return packet->dataSize == 0 ? 1 : 0;
}
} // namespace

aErr Link::getModuleAddress(uint8_t* address)
{
    if (address) *address = 0;
    if (!isConnected()) return aErrNotReady;
    linkPutRaw(m_impl->linkId, cmdSYNC, 0, nullptr);
    aPacket* reply = aLink_AwaitFirst(m_impl->linkId, sEmptyPacketFilter, nullptr, kReplyTimeoutMs);
    if (!reply) return aErrNotReady;
    if (address) *address = reply->address;
    aPacket_Destroy(&reply);
    return aErrNone;
}

aErr Link::enablePooledPackets(bool enable)
{
    return aLink_EnablePooledPackets(m_impl->linkId, enable);
}

aErr Link::enablePacketLog(const char* path)
{
    if (m_impl->linkId == 0) return aErrConfiguration;
    aErr err = aLink_PacketDebug_Enable(m_impl->linkId);
    if (err != aErrNone) return err;
    if (!m_impl->logger) m_impl->logger = aLogger_Create(m_impl->linkId, aLogger_PacketLogWriter, path);
    if (!m_impl->logger) return aErrResource;
    err = aLogger_Enable(m_impl->logger);
    if (err == aErrNone) {
        static const uint8_t start[] = "START";
        aLink_PacketDebug_Write(m_impl->linkId, 3, sizeof start, start);
    }
    return err;
}

aErr Link::disablePacketLog()
{
    if (m_impl->linkId == 0) return aErrConfiguration;
    aLink_PacketDebug_Disable(m_impl->linkId);
    if (m_impl->logger) aLogger_Disable(m_impl->logger);
    return aErrNone;
}

} // namespace Velmarine
} // namespace Corvane
