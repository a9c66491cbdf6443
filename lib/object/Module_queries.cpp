// Module queries (command 0x49) and the debug echo (command 0x17).

#include <cstring>

#include "lib/common/aDefs.h"
#include "lib/object/Module.h"

namespace Corvane {
namespace Velmarine {

namespace {

constexpr uint8_t kQueryBuild = 0xFF;
constexpr uint8_t kQueryUEI = 1;
constexpr uint8_t kQueryClassQuantity = 4;
constexpr uint8_t kQuerySubClassQuantity = 5;
constexpr uint8_t kQueryEntityGroup = 6;

// Sends [0x49, args...] and takes the first reply starting with 0x49 (or with
// [0x49, args[0]] when matchSub), consuming it whatever its shape.
aErr sQuery(Link* link, uint8_t module, const uint8_t* args, uint8_t n, bool matchSub, uint8_t* reply,
            uint8_t* replyLength)
{
    if (aErr err = link->sendPacket(module, cmdMODULE_QUERY, n, args)) return err;
    uint8_t match[2] = {cmdMODULE_QUERY, args[0]};
    *replyLength = matchSub ? 2 : 1;
    return link->receivePacket(module, match, replyLength, reply);
}

// Queries whose answer repeats the first echoed request bytes followed by one byte.
aErr sEchoQuery(Link* link, uint8_t module, const uint8_t* args, uint8_t sent, uint8_t n, uint8_t* out)
{
    if (!out) return aErrParam;
    *out = 0;
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    if (aErr err = sQuery(link, module, args, sent, false, reply, &length)) return err;
    if (length != n + 2 || memcmp(reply + 1, args, n) != 0) return aErrUnknown;
    *out = reply[n + 1];
    return aErrNone;
}

} // namespace

aErr Module::getBuild(uint32_t* build)
{
    if (!build) return aErrParam;
    if (!link) return aErrInitialization;
    uint8_t args[1] = {kQueryBuild};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    if (aErr err = sQuery(link, moduleAddress, args, 1, true, reply, &length)) return err;
    if (length != 6) return aErrSize;
    *build = static_cast<uint32_t>(reply[2]) << 24 | static_cast<uint32_t>(reply[3]) << 16 |
             static_cast<uint32_t>(reply[4]) << 8 | reply[5];
    return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags)
{
    if ((flags & 0x3F) || (flags & 0xC0) == 0xC0) return aErrParam;
    if (!link) return aErrInitialization;
    uint8_t args[5] = {kQueryUEI, command, option, index, flags};
    uint8_t status = 0;
    aErr err = sEchoQuery(link, moduleAddress, args, 5, 4, &status);
    // The reply repeats sub-code, command, option and index, then the status.
    return err == aErrNone ? static_cast<aErr>(status) : err;
}

aErr Module::classQuantity(uint8_t type, uint8_t* count)
{
    if (!link) return aErrInitialization;
    uint8_t args[2] = {kQueryClassQuantity, type};
    return sEchoQuery(link, moduleAddress, args, 2, 2, count);
}

aErr Module::subClassQuantity(uint8_t type, uint8_t index, uint8_t* count)
{
    if (!link) return aErrInitialization;
    uint8_t args[3] = {kQuerySubClassQuantity, type, index};
    return sEchoQuery(link, moduleAddress, args, 3, 3, count);
}

aErr Module::entityGroup(uint8_t type, uint8_t index, uint8_t* group)
{
    if (!link) return aErrInitialization;
    uint8_t args[3] = {kQueryEntityGroup, type, index};
    return sEchoQuery(link, moduleAddress, args, 3, 3, group);
}

aErr Module::debug(const uint8_t* bytes, uint8_t count)
{
    if (!link) return aErrInitialization;
    if (count && !bytes) return aErrParam;
    if (aErr err = link->sendPacket(moduleAddress, cmdDEBUG, count, bytes)) return err;
    uint8_t match[1] = {cmdDEBUG};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 1;
    if (aErr err = link->receivePacket(moduleAddress, match, &length, reply)) return err;
    if (length != count + 1 || (count && memcmp(reply + 1, bytes, count) != 0)) return aErrIO;
    return aErrNone;
}

} // namespace Velmarine
} // namespace Corvane
