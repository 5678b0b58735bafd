// The module's register map: addresses, value widths, and the encodings of the values
// that travel in WriteRegisters and ReadAnswer items. Every multi-byte value is
// big-endian on the wire.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace netpod {

enum RegisterAddress : std::uint8_t {
    kRegisterType = 0x00,
    kRegisterVersion = 0x01,
    kRegisterResetCpu = 0x02,
    kRegisterSaveUserParameters = 0x03,
    kRegisterRestoreUserParameters = 0x04,
    kRegisterRestoreFactoryParameters = 0x05,
    kRegisterSaveFactoryParameters = 0x06,
    kRegisterVoltage = 0x07,
    kRegisterWarnings = 0x08,
    kRegisterNbPowerUp = 0x0B,
    kRegisterTimeInService = 0x0C,
    kRegisterComOptions = 0x10,
    kRegisterEthernetMac = 0x11,
    kRegisterIpAddress = 0x12,
    kRegisterSubnetMask = 0x13,
    kRegisterTcpTimeout = 0x14,
    kRegisterModuleName = 0x15,
    kRegisterRs232Config = 0x16,
    kRegisterI2CSpeed = 0x18,
    kRegisterTcpConnectionsOpened = 0x1A,
    kRegisterAnalogInputsThreshold = 0x20,
    kRegisterOutputs = 0x21,
    kRegisterInputs = 0x23,
    kRegisterInputVoltageFirst = 0x30,  // INPUTVOLTAGEVALUE n lives at 0x30 + n
    kRegisterInputVoltageLast = 0x3F,
};

inline constexpr int kInputVoltageCount = 16;

// Number of value bytes behind the address byte of a register item; -1 for an
// address the module does not have.
int ItemValueSize(int address);

// Indices of the on-demand read flags. The order is also the order in which the
// reads go into a ReadRegisters packet.
enum ReadFlagIndex : int {
    kReadType,
    kReadVersion,
    kReadVoltage,
    kReadWarnings,
    kReadNbPowerUp,
    kReadTimeInService,
    kReadComOptions,
    kReadEthernetMac,
    kReadIpAddress,
    kReadSubnetMask,
    kReadTcpTimeout,
    kReadModuleName,
    kReadRs232Config,
    kReadI2CSpeed,
    kReadTcpConnectionsOpened,
    kReadAnalogInputsThreshold,
    kReadOutputs,
    kReadInputs,
    kReadFlagCount,
};

// The register address of each read flag, indexed by ReadFlagIndex.
inline constexpr std::array<std::uint8_t, kReadFlagCount> kReadFlagAddress = {
    kRegisterType,
    kRegisterVersion,
    kRegisterVoltage,
    kRegisterWarnings,
    kRegisterNbPowerUp,
    kRegisterTimeInService,
    kRegisterComOptions,
    kRegisterEthernetMac,
    kRegisterIpAddress,
    kRegisterSubnetMask,
    kRegisterTcpTimeout,
    kRegisterModuleName,
    kRegisterRs232Config,
    kRegisterI2CSpeed,
    kRegisterTcpConnectionsOpened,
    kRegisterAnalogInputsThreshold,
    kRegisterOutputs,
    kRegisterInputs,
};

// Voltages and the analog threshold are signed fixed point with 16 fraction bits.
// Encoding multiplies by 65536 and truncates toward zero; values beyond the 32-bit
// range saturate and a NaN becomes 0, so no float reaches an undefined conversion.
std::int32_t FixedPointFromFloat(float value);
float FloatFromFixedPoint(std::int32_t raw);

// A group of 32 flags as one number whose bit k is flag k. The application hands its
// flags over as raw bytes; bit k takes the lowest bit of byte k.
std::uint32_t PackFlags32(std::span<const std::uint8_t, 32> flags);
void UnpackFlags32(std::uint32_t raw, std::span<bool, 32> flags);

// A group of 16 flags as one number whose bit k is set when byte k is non-zero.
std::uint16_t PackFlags16(std::span<const std::uint8_t, 16> flags);
void UnpackFlags16(std::uint16_t raw, std::span<bool, 16> flags);

// NBPOWERUP and TIMEINSERVICE exist on the first module type from firmware 2.0 and
// on every second-generation module. `type` is the TYPE high and low words, `version`
// the VERSION in the order the initial TYPE test stores it (its first value is the
// major version).
constexpr bool FirmwareHasCounters(const std::int32_t* type, const std::int32_t* version) {
    return type[0] == 8 && ((type[1] == 0 && version[0] >= 2) || type[1] == 2);
}

}  // namespace netpod
