#pragma once
// Private state of a Link, shared by the files that implement its parts.

#include <memory>
#include <string>

#include "lib/common/aLogger.h"
#include "lib/object/Link.h"
#include "lib/object/LinkStreams.h"

namespace Corvane {
namespace Velmarine {

struct Link::impl {
    explicit impl(Link* o, const char* n) : owner(o), name(n ? std::string(n).substr(0, 1024) : std::string()) {}

    Link* owner;
    aLinkRef linkId = 0;
    aLogger* logger = nullptr;
    aEtherConfig config;
    std::string name;
    std::unique_ptr<linkSpec> spec;

    LinkStreamState streams;

    // Common preconditions of every packet operation: a usable module address
    // (even, not 0), then a running link.
    aErr checkPacketTarget(uint8_t module) const;
    // Installs the stream filter on the engine link (starting the callback
    // worker) or removes it (clearing the subscriptions, stopping the worker).
    aErr installStreamFilter(bool install);
};

// Sends one raw packet [bytes...] to module through the engine.
aErr linkPutRaw(aLinkRef link, uint8_t module, uint8_t length, const uint8_t* bytes);

} // namespace Velmarine
} // namespace Corvane
