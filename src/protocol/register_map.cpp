#include "protocol/register_map.h"

#include <cmath>
#include <limits>

namespace netpod {

int ItemValueSize(int address) {
    if (address >= kRegisterInputVoltageFirst && address <= kRegisterInputVoltageLast)
        return 4;
    switch (address) {
    case kRegisterType:
    case kRegisterVersion:
    case kRegisterVoltage:
    case kRegisterWarnings:
    case kRegisterNbPowerUp:
    case kRegisterTimeInService:
    case kRegisterComOptions:
    case kRegisterIpAddress:
    case kRegisterSubnetMask:
    case kRegisterAnalogInputsThreshold:
        return 4;
    case kRegisterResetCpu:
    case kRegisterSaveUserParameters:
    case kRegisterRestoreUserParameters:
    case kRegisterRestoreFactoryParameters:
    case kRegisterSaveFactoryParameters:
        return 0;
    case kRegisterEthernetMac:
        return 6;
    case kRegisterTcpTimeout:
    case kRegisterRs232Config:
    case kRegisterI2CSpeed:
    case kRegisterTcpConnectionsOpened:
        return 1;
    case kRegisterModuleName:
        return 16;
    case kRegisterOutputs:
    case kRegisterInputs:
        return 2;
    default:
        return -1;
    }
}

std::int32_t FixedPointFromFloat(float value) {
    if (std::isnan(value))
        return 0;
    const double scaled = std::trunc(static_cast<double>(value) * 65536.0);
    if (scaled >= static_cast<double>(std::numeric_limits<std::int32_t>::max()))
        return std::numeric_limits<std::int32_t>::max();
    if (scaled <= static_cast<double>(std::numeric_limits<std::int32_t>::min()))
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(scaled);
}

float FloatFromFixedPoint(std::int32_t raw) {
    return static_cast<float>(static_cast<double>(raw) / 65536.0);
}

std::uint32_t PackFlags32(std::span<const std::uint8_t, 32> flags) {
    std::uint32_t raw = 0;
    for (std::size_t k = 0; k < flags.size(); ++k)
        raw |= std::uint32_t{flags[k] & 1u} << k;
    return raw;
}

void UnpackFlags32(std::uint32_t raw, std::span<bool, 32> flags) {
    for (std::size_t k = 0; k < flags.size(); ++k)
        flags[k] = ((static_cast<unsigned>(raw) >> k) & 1u) != 0;
}

std::uint16_t PackFlags16(std::span<const std::uint8_t, 16> flags) {
    std::uint16_t raw = 0;
    for (std::size_t k = 0; k < flags.size(); ++k)
        if (flags[k] != 0)
            raw = static_cast<std::uint16_t>(raw | (1u << k));
    return raw;
}

void UnpackFlags16(std::uint16_t raw, std::span<bool, 16> flags) {
    for (std::size_t k = 0; k < flags.size(); ++k)
        flags[k] = ((static_cast<unsigned>(raw) >> k) & 1u) != 0;
}

}  // namespace netpod
