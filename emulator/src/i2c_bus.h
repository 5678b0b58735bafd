// The emulated I2C bus behind a module: a 256-byte EEPROM and a temperature sensor.
// The transfer format is the one documented in netpod_emulator/emulator.h.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace netpod::emu {

class I2CBus {
public:
    I2CBus();
    // Runs one transfer request body; returns the answer body (status, then data).
    std::vector<std::uint8_t> transfer(std::span<const std::uint8_t> request);
    // The 7-bit addresses that acknowledge, ascending.
    std::vector<std::uint8_t> scan() const;

    void writeEeprom(std::uint8_t wordAddress, std::span<const std::uint8_t> bytes);
    const std::array<std::uint8_t, 256>& eeprom() const { return eeprom_; }

private:
    bool present(std::uint8_t device) const;
    void deviceWrite(std::uint8_t device, std::span<const std::uint8_t> bytes);
    std::vector<std::uint8_t> deviceRead(std::uint8_t device, std::size_t count);
    std::span<std::uint8_t> sensorRegister();

    std::array<std::uint8_t, 256> eeprom_{};
    std::uint8_t eepromPointer_ = 0;
    // Sensor registers: 0 temperature (read-only), 1 configuration, 2 hysteresis,
    // 3 over-temperature limit; two bytes each except the configuration.
    std::array<std::array<std::uint8_t, 2>, 4> sensor_{};
    std::uint8_t sensorPointer_ = 0;
};

}  // namespace netpod::emu
