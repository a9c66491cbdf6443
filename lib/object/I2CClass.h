#pragma once
// The I2C entity (command 8): raw reads and writes on the bus behind a module.
// A routing module's bus is probed through it.

#include "lib/object/Entity.h"

namespace Corvane {
namespace Velmarine {

class I2CClass : public EntityClass {
public:
    static constexpr uint8_t kMaxTransfer = 23;

    void init(Module* module, uint8_t index);

    // busAddress is the 8-bit form with bit 0 clear.
    aErr read(uint8_t busAddress, uint8_t length, uint8_t* buffer);
    aErr write(uint8_t busAddress, uint8_t length, const uint8_t* bytes);
    aErr setPullup(bool on);
    aErr setSpeed(uint8_t value);
    aErr getSpeed(uint8_t* value);

private:
    uint8_t speed = 0;
};

} // namespace Velmarine
} // namespace Corvane
