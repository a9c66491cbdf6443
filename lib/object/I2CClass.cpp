// I2CClass: bus transfers as raw packets through the module's link.

#include "lib/object/I2CClass.h"

#include <algorithm>
#include <cstring>

#include "lib/common/aDefs.h"

namespace Corvane {
namespace Velmarine {

namespace {
constexpr uint8_t kStatusError = 0x80;
constexpr uint8_t kPullupAddress = 1;
} // namespace

void I2CClass::init(Module* module, uint8_t index)
{
    EntityClass::init(module, cmdI2C, index);
}

aErr I2CClass::read(uint8_t busAddress, uint8_t length, uint8_t* buffer)
{
    if (length > kMaxTransfer) return aErrSize;
    if (!buffer && length) return aErrParam;
    const uint8_t address = static_cast<uint8_t>(busAddress | 1);
    uint8_t req[4] = {getIndex(), address, length, speed};
    if (aErr err = sendPacket(cmdI2C, 4, req)) return err;
    uint8_t match[3] = {cmdI2C, getIndex(), address};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t n = 3;
    if (aErr err = receivePacket(match, &n, reply)) return err;
    if (n <= 4) return aErrPacket;
    if (reply[4] & kStatusError) return static_cast<aErr>(reply[4] & 0x7F);
    // Never copy more than was asked for nor more than the reply carries.
    uint8_t count = std::min<uint8_t>(reply[3], length);
    count = std::min<uint8_t>(count, static_cast<uint8_t>(n > 5 ? n - 5 : 0));
    if (count) memcpy(buffer, reply + 5, count);
    return aErrNone;
}

aErr I2CClass::write(uint8_t busAddress, uint8_t length, const uint8_t* bytes)
{
    if (length > kMaxTransfer) return aErrSize;
    if (!bytes && length) return aErrParam;
    uint8_t req[aPACKET_MAX_DATA] = {getIndex(), busAddress, length, speed};
    if (length) memcpy(req + 4, bytes, length);
    if (aErr err = sendPacket(cmdI2C, static_cast<uint8_t>(4 + length), req)) return err;
    uint8_t match[4] = {cmdI2C, getIndex(), busAddress, 0};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t n = 4;
    if (aErr err = receivePacket(match, &n, reply)) return err;
    if (n <= 4) return aErrPacket;
    if (reply[4] & kStatusError) return static_cast<aErr>(reply[4] & 0x7F);
    return aErrNone;
}

aErr I2CClass::setPullup(bool on)
{
    uint8_t req[3] = {getIndex(), kPullupAddress, static_cast<uint8_t>(on ? 1 : 0)};
    if (aErr err = sendPacket(cmdI2C, 3, req)) return err;
    uint8_t match[3] = {cmdI2C, getIndex(), kPullupAddress};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t n = 3;
    if (aErr err = receivePacket(match, &n, reply)) return err;
    if (n <= 4) return aErrPacket;
    if (reply[4] & kStatusError) return static_cast<aErr>(reply[4] & 0x7F);
    return aErrNone;
}

aErr I2CClass::setSpeed(uint8_t value)
{
    if (value > 3) return aErrParam;
    speed = value;
    return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* value)
{
    if (!value) return aErrParam;
    *value = speed;
    return aErrNone;
}

} // namespace Velmarine
} // namespace Corvane
