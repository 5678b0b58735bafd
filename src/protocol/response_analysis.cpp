#include "protocol/response_analysis.h"
#include "protocol/messages.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "protocol/ostrak_packet.h"
#include "protocol/register_map.h"

namespace netpod {
namespace {

// Decodes one item whose address is known to the decoder; `v` points at its value
// bytes. Returns false for an address that a ReadAnswer cannot carry.
bool DecodeItem(std::uint8_t address, const std::uint8_t* v, RegisterValues& values) {
    if (address >= kRegisterInputVoltageFirst && address <= kRegisterInputVoltageLast) {
        const int n = address - kRegisterInputVoltageFirst;
        values.InputVoltage[n] = FloatFromFixedPoint(static_cast<std::int32_t>(ReadBigEndian32(v)));
        values.InputVoltageValid[n] = true;
        return true;
    }
    switch (address) {
    case kRegisterType:
        values.TypeHigh = ReadBigEndian16(v);
        values.TypeLow = ReadBigEndian16(v + 2);
        values.TypeValid = true;
        return true;
    case kRegisterVersion:
        // Two forms, told apart by the first byte: 0 means two 16-bit words A and B;
        // anything else is the four one-byte parts C, D, A, B.
        if (v[0] == 0) {
            values.VersionA = ReadBigEndian16(v);
            values.VersionB = ReadBigEndian16(v + 2);
            values.VersionC = 0;
            values.VersionD = 0;
        } else {
            values.VersionC = v[0];
            values.VersionD = v[1];
            values.VersionA = v[2];
            values.VersionB = v[3];
        }
        values.VersionValid = true;
        return true;
    case kRegisterVoltage:
        values.Voltage = FloatFromFixedPoint(static_cast<std::int32_t>(ReadBigEndian32(v)));
        values.VoltageValid = true;
        return true;
    case kRegisterAnalogInputsThreshold:
        values.AnalogInputsThreshold = FloatFromFixedPoint(static_cast<std::int32_t>(ReadBigEndian32(v)));
        values.AnalogInputsThresholdValid = true;
        return true;
    case kRegisterWarnings:
        UnpackFlags32(ReadBigEndian32(v), values.Warnings);
        values.WarningsValid = true;
        return true;
    case kRegisterComOptions:
        UnpackFlags32(ReadBigEndian32(v), values.ComOptions);
        values.ComOptionsValid = true;
        return true;
    case kRegisterNbPowerUp:
        values.NbPowerUp = ReadBigEndian32(v);
        values.NbPowerUpValid = true;
        return true;
    case kRegisterTimeInService:
        values.TimeInService = ReadBigEndian32(v);
        values.TimeInServiceValid = true;
        return true;
    case kRegisterEthernetMac:
        for (int i = 0; i < 6; ++i)
            values.EthernetMAC[i] = v[i];
        values.EthernetMACValid = true;
        return true;
    case kRegisterIpAddress:
        for (int i = 0; i < 4; ++i)
            values.IPAddress[i] = v[i];
        values.IPAddressValid = true;
        return true;
    case kRegisterSubnetMask:
        for (int i = 0; i < 4; ++i)
            values.SubnetMask[i] = v[i];
        values.SubnetMaskValid = true;
        return true;
    case kRegisterTcpTimeout:
        values.TCPTimeout = v[0];
        values.TCPTimeoutValid = true;
        return true;
    case kRegisterRs232Config:
        values.RS232Config = v[0];
        values.RS232ConfigValid = true;
        return true;
    case kRegisterI2CSpeed:
        values.I2CSpeed = v[0];
        values.I2CSpeedValid = true;
        return true;
    case kRegisterTcpConnectionsOpened:
        values.TCPConnectionsOpened = v[0];
        values.TCPConnectionsOpenedValid = true;
        return true;
    case kRegisterModuleName:
        std::memcpy(values.ModuleName, v, sizeof values.ModuleName);
        values.ModuleNameValid = true;
        return true;
    case kRegisterOutputs:
        UnpackFlags16(ReadBigEndian16(v), values.Outputs);
        values.OutputsValid = true;
        return true;
    case kRegisterInputs:
        UnpackFlags16(ReadBigEndian16(v), values.Inputs);
        values.InputsValid = true;
        return true;
    default:
        // The commands (0x02 to 0x06) have no value to read, and every other address
        // is not a register of the module.
        return false;
    }
}

}  // namespace

int ResponseAssembler::ReceivedRawData(std::span<const std::uint8_t> chunk, RegisterValues& values,
                                       std::string_view logIpText) {
    int completed = 0;
    std::size_t pos = 0;
    while (pos < chunk.size()) {
        // Take as much of the batch as the current header, or body and checksum,
        // still needs. rxNeed_ never exceeds the room left in rxPacket_: a header is
        // 6 bytes and a body is admitted only when it fits behind it.
        const std::size_t take = std::min(static_cast<std::size_t>(rxNeed_), chunk.size() - pos);
        if (!rxSkipping_) {
            std::memcpy(rxPacket_ + rxCount_, chunk.data() + pos, take);
            rxCount_ += static_cast<std::int32_t>(take);
        }
        rxNeed_ -= static_cast<std::int32_t>(take);
        pos += take;
        if (rxNeed_ > 0)
            break;

        if (!rxInBody_) {
            const int bodyLength = ReadBigEndian16(rxPacket_ + 4);
            if (bodyLength > kRxMaxBodyLength) {
                // Too long for the assembly buffer. The length field is the stream's
                // only framing, so the packet is passed over by exactly the bytes it
                // announces: the stream stays in step with a sender that meant it,
                // and no byte of it is taken for a header.
                ++nbOversizedPacket_;
                Report(report_,
                       std::string(messages::kPacketTooLongPrefix).append(std::to_string(bodyLength)).append(messages::kReceivedRawDataSuffix),
                       logIpText);
                rxSkipping_ = true;
            }
            rxNeed_ = bodyLength + static_cast<std::int32_t>(kOstrakChecksumSize);
            rxInBody_ = true;
        } else {
            ++completed;
            if (!rxSkipping_)
                CompletePacket(values, logIpText);
            StartHeader();
        }
    }
    return completed;
}

void ResponseAssembler::StartHeader() {
    rxCount_ = 0;
    rxInBody_ = false;
    rxSkipping_ = false;
    rxNeed_ = static_cast<std::int32_t>(kOstrakHeaderSize);
}

void ResponseAssembler::CompletePacket(RegisterValues& values, std::string_view logIpText) {
    const std::span<const std::uint8_t> packet(rxPacket_, static_cast<std::size_t>(rxCount_));
    const std::uint16_t askId = OstrakAskId(packet);
    rxPacketLength_ = static_cast<std::int32_t>(kOstrakHeaderSize) + OstrakBodyLength(packet);

    if (!VerifyOstrakPacket(packet)) {
        ++nbChecksumError_;
        Report(
            report_,
            std::string(messages::kChecksumErrorPrefix).append(std::to_string(nbChecksumError_)).append(messages::kReceivedRawDataSuffix),
            logIpText);
        return;
    }
    if (rxPacketLength_ <= static_cast<std::int32_t>(kOstrakHeaderSize))
        return;  // an empty body, as in the answer to a write: nothing to apply

    const auto body = packet.subspan(kOstrakHeaderSize, static_cast<std::size_t>(rxPacketLength_) - kOstrakHeaderSize);
    switch (OstrakFunctionCode(packet)) {
    case kReadAnswer:
        ReceivedDataAnalyse(packet.first(static_cast<std::size_t>(rxPacketLength_)), values, logIpText);
        break;
    case kI2CTransferAnswer:
        StoreI2CAnswer(body, askId, values);
        break;
    case kI2CScanAnswer:
        StoreScanI2CAnswer(body, values);
        break;
    default:
        break;  // not an answer this library acts on
    }
}

void ResponseAssembler::ReceivedDataAnalyse(std::span<const std::uint8_t> packet, RegisterValues& values,
                                            std::string_view logIpText) const {
    if (packet.size() < kOstrakHeaderSize)
        return;
    const std::size_t end = std::min(packet.size(), kOstrakHeaderSize + OstrakBodyLength(packet));
    std::size_t p = kOstrakHeaderSize;
    while (p < end) {
        const std::uint8_t address = packet[p];
        // Only registers with a value can be answered; the commands have width 0.
        const int width = ItemValueSize(address);
        if (width <= 0) {
            Report(report_, messages::kUnknownRegister, logIpText);
            return;
        }
        // An item whose value would run past the body is not decoded: its bytes would
        // be the checksum and whatever an earlier packet left behind.
        const std::size_t itemEnd = p + 1 + static_cast<std::size_t>(width);
        if (itemEnd > end) {
            Report(report_, messages::kTruncatedItem, logIpText);
            return;
        }
        if (!DecodeItem(address, packet.data() + p + 1, values)) {
            Report(report_, messages::kUnknownRegister, logIpText);
            return;
        }
        p = itemEnd;
    }
}

void ResponseAssembler::ClearValidFlags(RegisterValues& values) {
    values.TypeValid = false;
    values.VersionValid = false;
    values.VoltageValid = false;
    values.WarningsValid = false;
    values.NbPowerUpValid = false;
    values.TimeInServiceValid = false;
    values.ComOptionsValid = false;
    values.EthernetMACValid = false;
    values.IPAddressValid = false;
    values.SubnetMaskValid = false;
    values.TCPTimeoutValid = false;
    values.ModuleNameValid = false;
    values.RS232ConfigValid = false;
    values.I2CSpeedValid = false;
    values.TCPConnectionsOpenedValid = false;
    values.AnalogInputsThresholdValid = false;
    values.OutputsValid = false;
    values.InputsValid = false;
    std::fill(std::begin(values.InputVoltageValid), std::end(values.InputVoltageValid), false);
}

void ResponseAssembler::StoreI2CAnswer(std::span<const std::uint8_t> body, std::uint16_t askId,
                                       RegisterValues& values) {
    const std::size_t copied = std::min(body.size(), sizeof values.I2CAnswer);
    std::memcpy(values.I2CAnswer, body.data(), copied);
    values.I2CAnswerLength = static_cast<std::int32_t>(copied);
    values.I2CAnswerAskID = askId;
    values.I2CAnswerValid = true;
}

void ResponseAssembler::StoreScanI2CAnswer(std::span<const std::uint8_t> body, RegisterValues& values) {
    const std::size_t copied = std::min(body.size(), sizeof values.ScanI2CAnswer);
    std::memcpy(values.ScanI2CAnswer, body.data(), copied);
    values.ScanI2CLength = static_cast<std::int32_t>(copied);
    values.ScanI2CValid = true;
}

}  // namespace netpod
