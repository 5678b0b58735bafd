#include "register_file.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace netpod::emu {
namespace {

void Put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    Put16(out, v >> 16);
    Put16(out, v & 0xFFFFu);
}
std::uint32_t Get32(std::span<const std::uint8_t> v) {
    return (std::uint32_t{v[0]} << 24) | (std::uint32_t{v[1]} << 16) | (std::uint32_t{v[2]} << 8) | v[3];
}
std::int32_t ToFixedPoint(double volts) {
    return static_cast<std::int32_t>(std::lround(volts * 65536.0));
}

constexpr double kSupplyVolts = 24.0;
constexpr double kRippleVolts = 0.25;

}  // namespace

std::optional<std::size_t> RegisterWidth(std::uint8_t address) {
    if (address >= kRegInputVoltage0 && address <= kRegInputVoltage15)
        return 4;
    switch (address) {
    case kRegResetCpu:
    case kRegSaveUserParameters:
    case kRegRestoreUserParameters:
    case kRegRestoreFactoryParameters:
    case kRegSaveFactoryParameters:
        return 0;
    case kRegType:
    case kRegVersion:
    case kRegVoltage:
    case kRegWarnings:
    case kRegNbPowerUp:
    case kRegTimeInService:
    case kRegComOptions:
    case kRegIpAddress:
    case kRegSubnetMask:
    case kRegAnalogInputsThreshold:
        return 4;
    case kRegEthernetMac:
        return 6;
    case kRegTcpTimeout:
    case kRegRs232Config:
    case kRegI2CSpeed:
    case kRegTcpConnectionsOpened:
        return 1;
    case kRegModuleName:
        return 16;
    case kRegOutputs:
    case kRegInputs:
        return 2;
    default:
        return std::nullopt;
    }
}

bool IsCommandRegister(std::uint8_t address) {
    return address >= kRegResetCpu && address <= kRegSaveFactoryParameters;
}

bool IsWritableRegister(std::uint8_t address) {
    switch (address) {
    case kRegWarnings:
    case kRegComOptions:
    case kRegIpAddress:
    case kRegSubnetMask:
    case kRegTcpTimeout:
    case kRegModuleName:
    case kRegRs232Config:
    case kRegI2CSpeed:
    case kRegAnalogInputsThreshold:
    case kRegOutputs:
        return true;
    default:
        return false;
    }
}

RegisterFile::RegisterFile(const ModuleConfig& config)
    : typeHigh_(config.typeHigh),
      typeLow_(config.typeLow),
      version_(config.version),
      mac_(config.mac),
      nbPowerUp_(config.nbPowerUp),
      timeInServiceBase_(config.timeInServiceBase),
      dynamic_(config.dynamicValues) {
    in_addr parsed{};
    if (inet_pton(AF_INET, config.address.c_str(), &parsed) == 1)
        std::memcpy(working_.ip.data(), &parsed, 4);
    std::copy_n(config.name.begin(), std::min<std::size_t>(config.name.size(), 16), working_.name.begin());
    user_ = working_;
    factory_ = working_;
}

std::uint16_t RegisterFile::inputs(double seconds) const {
    if (pinned_[kRegInputs])
        return static_cast<std::uint16_t>(((*pinned_[kRegInputs])[0] << 8) | (*pinned_[kRegInputs])[1]);
    std::uint16_t value = working_.outputs;
    if (dynamic_ && (static_cast<long>(std::floor(seconds)) % 2) == 1)
        value ^= 0x8000;  // the heartbeat input
    return value;
}

std::int32_t RegisterFile::inputVoltageRaw(int input, double seconds) const {
    const auto& pin = pinned_[kRegInputVoltage0 + input];
    if (pin)
        return static_cast<std::int32_t>(Get32(*pin));
    double volts = ((inputs(seconds) >> input) & 1u) != 0 ? kSupplyVolts : 0.0;
    if (dynamic_)
        volts += kRippleVolts * std::sin(2.0 * std::numbers::pi * seconds / 10.0 + 0.4 * input);
    return ToFixedPoint(volts);
}

std::int32_t RegisterFile::voltageRaw(double seconds) const {
    if (pinned_[kRegVoltage])
        return static_cast<std::int32_t>(Get32(*pinned_[kRegVoltage]));
    double volts = kSupplyVolts;
    if (dynamic_)
        volts += kRippleVolts * std::sin(2.0 * std::numbers::pi * seconds / 60.0);
    return ToFixedPoint(volts);
}

std::uint32_t RegisterFile::timeInService(double seconds) const {
    if (pinned_[kRegTimeInService])
        return Get32(*pinned_[kRegTimeInService]);
    return timeInServiceBase_ + (dynamic_ ? static_cast<std::uint32_t>(std::max(0.0, seconds)) : 0u);
}

std::optional<std::vector<std::uint8_t>> RegisterFile::read(std::uint8_t address, double seconds) const {
    const auto width = RegisterWidth(address);
    if (!width || *width == 0)
        return std::nullopt;
    if (address == kRegTcpConnectionsOpened && pinned_[address])
        return *pinned_[address];
    std::vector<std::uint8_t> v;
    v.reserve(*width);
    switch (address) {
    case kRegType:
        Put16(v, typeHigh_);
        Put16(v, typeLow_);
        break;
    case kRegVersion:
        v.assign(version_.begin(), version_.end());
        break;
    case kRegVoltage:
        Put32(v, static_cast<std::uint32_t>(voltageRaw(seconds)));
        break;
    case kRegWarnings:
        Put32(v, warnings_);
        break;
    case kRegNbPowerUp:
        Put32(v, nbPowerUp_);
        break;
    case kRegTimeInService:
        Put32(v, timeInService(seconds));
        break;
    case kRegComOptions:
        Put32(v, working_.comOptions);
        break;
    case kRegEthernetMac:
        v.assign(mac_.begin(), mac_.end());
        break;
    case kRegIpAddress:
        v.assign(working_.ip.begin(), working_.ip.end());
        break;
    case kRegSubnetMask:
        v.assign(working_.mask.begin(), working_.mask.end());
        break;
    case kRegTcpTimeout:
        v.push_back(working_.tcpTimeout);
        break;
    case kRegModuleName:
        v.assign(working_.name.begin(), working_.name.end());
        break;
    case kRegRs232Config:
        v.push_back(working_.rs232Config);
        break;
    case kRegI2CSpeed:
        v.push_back(working_.i2cSpeed);
        break;
    case kRegTcpConnectionsOpened:
        v.push_back(static_cast<std::uint8_t>(std::min<std::size_t>(openConnections_, 255)));
        break;
    case kRegAnalogInputsThreshold:
        Put32(v, static_cast<std::uint32_t>(working_.analogThresholdRaw));
        break;
    case kRegOutputs:
        Put16(v, working_.outputs);
        break;
    case kRegInputs:
        Put16(v, inputs(seconds));
        break;
    default:  // the input voltages
        Put32(v, static_cast<std::uint32_t>(inputVoltageRaw(address - kRegInputVoltage0, seconds)));
        break;
    }
    return v;
}

bool RegisterFile::write(std::uint8_t address, std::span<const std::uint8_t> value) {
    const auto width = RegisterWidth(address);
    if (!IsWritableRegister(address) || !width || value.size() != *width)
        return false;
    switch (address) {
    case kRegWarnings:
        warnings_ = Get32(value);
        break;
    case kRegComOptions:
        working_.comOptions = Get32(value);
        break;
    case kRegIpAddress:
        std::copy_n(value.begin(), 4, working_.ip.begin());
        break;
    case kRegSubnetMask:
        std::copy_n(value.begin(), 4, working_.mask.begin());
        break;
    case kRegTcpTimeout:
        working_.tcpTimeout = value[0];
        break;
    case kRegModuleName:
        std::copy_n(value.begin(), 16, working_.name.begin());
        break;
    case kRegRs232Config:
        working_.rs232Config = value[0];
        break;
    case kRegI2CSpeed:
        working_.i2cSpeed = value[0];
        break;
    case kRegAnalogInputsThreshold:
        working_.analogThresholdRaw = static_cast<std::int32_t>(Get32(value));
        break;
    case kRegOutputs:
        working_.outputs = static_cast<std::uint16_t>((value[0] << 8) | value[1]);
        break;
    default:
        return false;
    }
    return true;
}

bool RegisterFile::command(std::uint8_t address) {
    switch (address) {
    case kRegResetCpu:
        // A restarted module comes up with the parameters it had saved.
        working_ = user_;
        break;
    case kRegSaveUserParameters:
        user_ = working_;
        break;
    case kRegRestoreUserParameters:
        working_ = user_;
        break;
    case kRegRestoreFactoryParameters:
        working_ = factory_;
        break;
    case kRegSaveFactoryParameters:
        factory_ = working_;
        break;
    default:
        return false;
    }
    commandsSeen_.push_back(address);
    return true;
}

bool RegisterFile::pin(std::uint8_t address, std::span<const std::uint8_t> value) {
    const auto width = RegisterWidth(address);
    if (!width || *width == 0 || value.size() != *width)
        return false;
    if (IsWritableRegister(address))
        return write(address, value);
    switch (address) {
    case kRegType:
        typeHigh_ = static_cast<std::uint16_t>((value[0] << 8) | value[1]);
        typeLow_ = static_cast<std::uint16_t>((value[2] << 8) | value[3]);
        return true;
    case kRegVersion:
        std::copy_n(value.begin(), 4, version_.begin());
        return true;
    case kRegEthernetMac:
        std::copy_n(value.begin(), 6, mac_.begin());
        return true;
    case kRegNbPowerUp:
        nbPowerUp_ = Get32(value);
        return true;
    default:
        // The registers computed at read time keep these bytes from now on.
        pinned_[address].emplace(value.begin(), value.end());
        return true;
    }
}

void RegisterFile::setIpConfiguration(const std::array<std::uint8_t, 4>& ip, const std::array<std::uint8_t, 4>& mask) {
    working_.ip = ip;
    working_.mask = mask;
}

RegisterSnapshot RegisterFile::snapshot(double seconds) const {
    RegisterSnapshot s;
    auto bytes = [&](std::uint8_t address) { return *read(address, seconds); };
    const auto type = bytes(kRegType);
    s.typeHigh = static_cast<std::uint16_t>((type[0] << 8) | type[1]);
    s.typeLow = static_cast<std::uint16_t>((type[2] << 8) | type[3]);
    const auto version = bytes(kRegVersion);
    std::copy_n(version.begin(), 4, s.version.begin());
    s.voltageRaw = static_cast<std::int32_t>(Get32(bytes(kRegVoltage)));
    s.warnings = warnings_;
    s.nbPowerUp = Get32(bytes(kRegNbPowerUp));
    s.timeInService = Get32(bytes(kRegTimeInService));
    s.comOptions = working_.comOptions;
    const auto mac = bytes(kRegEthernetMac);
    std::copy_n(mac.begin(), 6, s.mac.begin());
    s.ip = working_.ip;
    s.mask = working_.mask;
    s.tcpTimeout = working_.tcpTimeout;
    s.name = working_.name;
    s.rs232Config = working_.rs232Config;
    s.i2cSpeed = working_.i2cSpeed;
    s.tcpConnectionsOpened = bytes(kRegTcpConnectionsOpened)[0];
    s.analogThresholdRaw = working_.analogThresholdRaw;
    s.outputs = working_.outputs;
    s.inputs = inputs(seconds);
    for (int k = 0; k < 16; ++k)
        s.inputVoltageRaw[static_cast<std::size_t>(k)] = inputVoltageRaw(k, seconds);
    s.commandsSeen = commandsSeen_;
    return s;
}

}  // namespace netpod::emu
