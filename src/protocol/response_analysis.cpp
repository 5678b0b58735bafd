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
        // After every Drain fewer than kRxPacketCapacity bytes are held, so there is
        // always room for the rest of the packet being assembled.
        const std::size_t take = std::min(window_.size() - held_, chunk.size() - pos);
        std::memcpy(window_.data() + held_, chunk.data() + pos, take);
        held_ += take;
        pos += take;
        completed += Drain(values, logIpText);
    }
    return completed;
}

namespace {

// A header that an answer of a module can have: the function code of an answer (a
// write is acknowledged with its own code and an empty body) and a body the assembly
// buffer holds.
bool PlausibleHeader(const std::uint8_t* header) {
    switch (ReadBigEndian16(header)) {
    case kI2CScanAnswer:
    case kI2CTransferAnswer:
    case kReadAnswer:
    case kWriteRegisters:
        return ReadBigEndian16(header + 4) <= kRxMaxBodyLength;
    default:
        return false;
    }
}

}  // namespace

int ResponseAssembler::Drain(RegisterValues& values, std::string_view logIpText) {
    int completed = 0;
    for (;;) {
        if (resyncing_) {
            if (!Resynchronise())
                return completed;
        }
        if (held_ < kOstrakHeaderSize)
            return completed;
        const std::size_t bodyLength = ReadBigEndian16(window_.data() + 4);
        if (bodyLength > static_cast<std::size_t>(kRxMaxBodyLength)) {
            // Too long for any answer: this is no header, and the bytes after it
            // are not its body. The stream is searched again from the next byte.
            ++nbOversizedPacket_;
            ++completed;
            Report(report_,
                   std::string(messages::kPacketTooLongPrefix)
                       .append(std::to_string(bodyLength))
                       .append(messages::kReceivedRawDataSuffix),
                   logIpText);
            Discard(1);
            resyncing_ = true;
            continue;
        }
        const std::size_t length = kOstrakOverhead + bodyLength;
        if (held_ < length)
            return completed;
        ++completed;
        const std::span<const std::uint8_t> packet(window_.data(), length);
        if (!VerifyOstrakPacket(packet)) {
            // Logged as every failed answer is; then, rather than trusting the length
            // field of a packet that did not check out, the stream is searched again
            // from the next byte for a packet that does.
            ++nbChecksumError_;
            Report(report_,
                   std::string(messages::kChecksumErrorPrefix)
                       .append(std::to_string(nbChecksumError_))
                       .append(messages::kReceivedRawDataSuffix),
                   logIpText);
            Discard(1);
            resyncing_ = true;
            continue;
        }
        CompletePacket(packet, values, logIpText);
        Discard(length);
    }
}

bool ResponseAssembler::Resynchronise() {
    // The first position where a plausible header starts and whose whole packet
    // checks out is where the stream is in step again. Positions are judged in order,
    // each once its whole packet is here, so that the outcome does not depend on how
    // the stream was cut into batches. Checks that fail while searching are not
    // reported: they are the bytes of the packet that was reported already.
    std::size_t k = 0;
    for (; k + kOstrakHeaderSize <= held_; ++k) {
        const std::uint8_t* header = window_.data() + k;
        if (!PlausibleHeader(header))
            continue;
        const std::size_t length = kOstrakOverhead + ReadBigEndian16(header + 4);
        if (k + length > held_)
            break;  // judged once the rest of it has come
        if (VerifyOstrakPacket(std::span<const std::uint8_t>(header, length))) {
            Discard(k);
            resyncing_ = false;
            return true;
        }
    }
    // What lies before k cannot begin a packet any more.
    Discard(k);
    return false;
}

std::int32_t ResponseAssembler::RxNeed() const {
    if (resyncing_)
        return 1;
    if (held_ < kOstrakHeaderSize)
        return static_cast<std::int32_t>(kOstrakHeaderSize - held_);
    const std::size_t length = kOstrakOverhead + ReadBigEndian16(window_.data() + 4);
    return length > held_ ? static_cast<std::int32_t>(length - held_) : 0;
}

void ResponseAssembler::Discard(std::size_t count) {
    std::memmove(window_.data(), window_.data() + count, held_ - count);
    held_ -= count;
}

void ResponseAssembler::CompletePacket(std::span<const std::uint8_t> packet, RegisterValues& values,
                                       std::string_view logIpText) {
    const std::uint16_t askId = OstrakAskId(packet);
    rxPacketLength_ = static_cast<std::int32_t>(kOstrakHeaderSize) + OstrakBodyLength(packet);
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
