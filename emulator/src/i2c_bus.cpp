#include "i2c_bus.h"

#include "netpod_emulator/emulator.h"

namespace netpod::emu {
namespace {
constexpr std::size_t kMaxReadCount = 179;  // the status byte and the data fill 180
}

I2CBus::I2CBus() {
    eeprom_.fill(0xFF);  // an erased EEPROM reads all ones
    sensor_[0] = {0x19, 0x80};  // 25.5 degC
    sensor_[1] = {0x00, 0x00};
    sensor_[2] = {0x4B, 0x00};  // 75 degC
    sensor_[3] = {0x50, 0x00};  // 80 degC
}

bool I2CBus::present(std::uint8_t device) const {
    return device == kEepromAddress || device == kTemperatureSensorAddress;
}

std::vector<std::uint8_t> I2CBus::scan() const {
    return {kTemperatureSensorAddress, kEepromAddress};
}

void I2CBus::writeEeprom(std::uint8_t wordAddress, std::span<const std::uint8_t> bytes) {
    for (std::uint8_t b : bytes)
        eeprom_[wordAddress++] = b;
}

std::span<std::uint8_t> I2CBus::sensorRegister() {
    auto& reg = sensor_[sensorPointer_ & 3u];
    return (sensorPointer_ & 3u) == 1 ? std::span<std::uint8_t>(reg).first(1) : std::span<std::uint8_t>(reg);
}

void I2CBus::deviceWrite(std::uint8_t device, std::span<const std::uint8_t> bytes) {
    if (bytes.empty())
        return;
    if (device == kEepromAddress) {
        eepromPointer_ = bytes[0];
        for (std::uint8_t b : bytes.subspan(1))
            eeprom_[eepromPointer_++] = b;
        return;
    }
    sensorPointer_ = bytes[0] & 3u;
    if (sensorPointer_ == 0)
        return;  // the temperature itself cannot be written
    auto reg = sensorRegister();
    for (std::size_t i = 1; i < bytes.size() && i - 1 < reg.size(); ++i)
        reg[i - 1] = bytes[i];
}

std::vector<std::uint8_t> I2CBus::deviceRead(std::uint8_t device, std::size_t count) {
    std::vector<std::uint8_t> out;
    out.reserve(count);
    if (device == kEepromAddress) {
        for (std::size_t i = 0; i < count; ++i)
            out.push_back(eeprom_[eepromPointer_++]);
        return out;
    }
    // The sensor repeats the selected register for as long as it is read.
    const auto reg = sensorRegister();
    for (std::size_t i = 0; i < count; ++i)
        out.push_back(reg[i % reg.size()]);
    return out;
}

std::vector<std::uint8_t> I2CBus::transfer(std::span<const std::uint8_t> request) {
    if (request.empty())
        return {kI2CStatusBadRequest};
    const std::uint8_t device = request[0] >> 1;
    const bool isRead = (request[0] & 1u) != 0;
    if (isRead && (request.size() < 2 || request[1] > kMaxReadCount))
        return {kI2CStatusBadRequest};
    if (!present(device))
        return {kI2CStatusNoDevice};
    if (!isRead) {
        deviceWrite(device, request.subspan(1));
        return {kI2CStatusOk};
    }
    deviceWrite(device, request.subspan(2));
    std::vector<std::uint8_t> answer{kI2CStatusOk};
    const auto data = deviceRead(device, request[1]);
    answer.insert(answer.end(), data.begin(), data.end());
    return answer;
}

}  // namespace netpod::emu
