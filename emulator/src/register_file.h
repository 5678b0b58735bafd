// The register file of one emulated module: what each register answers, what a write
// stores, and the command registers' effect on the saved parameter sets. Pure state:
// the caller passes the time since the module started.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "netpod_emulator/emulator.h"

namespace netpod::emu {

enum RegisterAddress : std::uint8_t {
    kRegType = 0x00,
    kRegVersion = 0x01,
    kRegResetCpu = 0x02,
    kRegSaveUserParameters = 0x03,
    kRegRestoreUserParameters = 0x04,
    kRegRestoreFactoryParameters = 0x05,
    kRegSaveFactoryParameters = 0x06,
    kRegVoltage = 0x07,
    kRegWarnings = 0x08,
    kRegNbPowerUp = 0x0B,
    kRegTimeInService = 0x0C,
    kRegComOptions = 0x10,
    kRegEthernetMac = 0x11,
    kRegIpAddress = 0x12,
    kRegSubnetMask = 0x13,
    kRegTcpTimeout = 0x14,
    kRegModuleName = 0x15,
    kRegRs232Config = 0x16,
    kRegI2CSpeed = 0x18,
    kRegTcpConnectionsOpened = 0x1A,
    kRegAnalogInputsThreshold = 0x20,
    kRegOutputs = 0x21,
    kRegInputs = 0x23,
    kRegInputVoltage0 = 0x30,
    kRegInputVoltage15 = 0x3F,
};

// Value bytes behind the address byte; 0 for the commands, nothing outside the map.
std::optional<std::size_t> RegisterWidth(std::uint8_t address);
bool IsCommandRegister(std::uint8_t address);
bool IsWritableRegister(std::uint8_t address);

// The parameters that the save and restore commands keep and bring back.
struct Configuration {
    std::array<std::uint8_t, 4> ip{};
    std::array<std::uint8_t, 4> mask{255, 0, 0, 0};
    std::uint8_t tcpTimeout = 30;
    std::array<char, 16> name{};
    std::uint8_t rs232Config = 0;
    std::uint8_t i2cSpeed = 0;
    std::uint32_t comOptions = 0;
    std::int32_t analogThresholdRaw = 12 * 65536;
    std::uint16_t outputs = 0;
};

class RegisterFile {
public:
    explicit RegisterFile(const ModuleConfig& config);

    // The value bytes a read answers at `seconds` after start; nothing for a command
    // or an address outside the map.
    std::optional<std::vector<std::uint8_t>> read(std::uint8_t address, double seconds) const;
    // Stores a written value (exact width). False for read-only and unknown registers.
    bool write(std::uint8_t address, std::span<const std::uint8_t> value);
    // Carries out a command register. False for any other address.
    bool command(std::uint8_t address);
    // Fixes a register to given bytes; dynamic registers stop changing.
    bool pin(std::uint8_t address, std::span<const std::uint8_t> value);

    void setOpenConnections(std::size_t count) { openConnections_ = count; }
    void setIpConfiguration(const std::array<std::uint8_t, 4>& ip, const std::array<std::uint8_t, 4>& mask);
    const std::array<std::uint8_t, 6>& mac() const { return mac_; }
    RegisterSnapshot snapshot(double seconds) const;

private:
    std::uint16_t inputs(double seconds) const;
    std::int32_t inputVoltageRaw(int input, double seconds) const;
    std::int32_t voltageRaw(double seconds) const;
    std::uint32_t timeInService(double seconds) const;

    std::uint16_t typeHigh_, typeLow_;
    std::array<std::uint8_t, 4> version_;
    std::array<std::uint8_t, 6> mac_;
    std::uint32_t nbPowerUp_;
    std::uint32_t timeInServiceBase_;
    bool dynamic_;
    std::uint32_t warnings_ = 0;
    std::size_t openConnections_ = 0;
    Configuration working_, user_, factory_;
    // Registers given fixed bytes by pin(); index = address.
    std::array<std::optional<std::vector<std::uint8_t>>, 0x40> pinned_;
    std::vector<std::uint8_t> commandsSeen_;
};

}  // namespace netpod::emu
