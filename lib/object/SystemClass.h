#pragma once
// The system entity (command 3): identity, addresses, version, name and power
// values of a module. Each member is one option read or written.

#include "lib/object/Entity.h"

namespace Corvane {
namespace Velmarine {

class SystemClass : public EntityClass {
public:
    void init(Module* module, uint8_t index);

    aErr getModule(uint8_t* address);
    aErr setRouter(uint8_t address);
    aErr getRouter(uint8_t* address);
    aErr setHBInterval(uint8_t value);
    aErr getHBInterval(uint8_t* interval);
    aErr setLED(uint8_t value);
    aErr getLED(uint8_t* value);
    aErr setBootSlot(uint8_t slot);
    aErr getBootSlot(uint8_t* slot);
    aErr getVersion(uint32_t* version);
    aErr getModel(uint8_t* model);
    aErr getSerialNumber(uint32_t* serialNumber);
    aErr save();
    aErr reset();
    aErr getInputVoltage(uint32_t* value);
    aErr getModuleHardwareOffset(uint8_t* value);
    aErr getModuleBaseAddress(uint8_t* value);
    aErr setModuleSoftwareOffset(uint8_t value);
    aErr getModuleSoftwareOffset(uint8_t* value);
    aErr getRouterAddressSetting(uint8_t* value);
    aErr routeToMe(uint8_t on);
    aErr getInputCurrent(uint32_t* value);
    aErr getUptime(uint32_t* value);
    aErr getMaximumTemperature(int32_t* value);
    aErr logEvents();
    aErr getUnregulatedVoltage(int32_t* value);
    aErr getUnregulatedCurrent(int32_t* value);
    aErr getTemperature(int32_t* value);
    aErr getMinimumTemperature(int32_t* value);
    aErr getInputPowerSource(uint8_t* value);
    aErr setInputPowerBehavior(uint8_t value);
    aErr getInputPowerBehavior(uint8_t* value);
    aErr setInputPowerBehaviorConfig(const uint32_t* values, uint32_t count);
    aErr getInputPowerBehaviorConfig(uint32_t* values, uint32_t capacity, uint32_t* count);
    aErr setName(const uint8_t* name, uint32_t length);
    aErr getName(uint8_t* buffer, uint32_t capacity, uint32_t* count);
    aErr getPowerLimit(uint32_t* value);
    aErr setPowerLimitMax(uint32_t value);
    aErr getPowerLimitMax(uint32_t* value);
    aErr getPowerLimitState(uint32_t* value);
    aErr resetDeviceToFactoryDefaults();
    aErr setLinkInterface(uint8_t value);
    aErr getLinkInterface(uint8_t* value);
    aErr getHardwareVersion(uint32_t* value);
    aErr getErrors(uint32_t* value);
    aErr setLEDMaxBrightness(uint8_t value);
    aErr getLEDMaxBrightness(uint8_t* value);
    aErr getBuild(uint32_t* build);
    aErr getProtocolFeatures(uint32_t* features);

private:
    aErr getSigned(uint8_t option, int32_t* value);
};

} // namespace Velmarine
} // namespace Corvane
