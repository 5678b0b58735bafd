#include "protocol/request_builder.h"

#include <algorithm>
#include <cstring>

#include "protocol/ostrak_packet.h"

namespace netpod {
namespace {

// The layout state of one build. Positions are offsets in the current slot.
class SlotLayout {
public:
    explicit SlotLayout(TxSlots& slots) : slots_(slots) {
        slots_.NbPacket = 0;
        slots_.SlotLength.fill(0);
        slots_.ExpectedAnswerSize = 0;
    }

    // True when every byte landed inside the slots. It cannot turn false with the
    // requests a RequestMarks can hold (at most four slots are ever opened and no
    // slot passes 188 bytes); the check keeps that a fact rather than a hope.
    bool ok() const { return ok_; }

    void Finish() { slots_.ExpectedAnswerSize = expectedAnswerSize_; }

    // --- ReadRegisters -------------------------------------------------------------

    // Reads always open slot 0, as the first thing of an exchange.
    void OpenReadPacket() {
        current_ = 0;
        subPacketStart_ = 0;
        WriteRequestHeader(0, kReadRegisters);
        txPos_ = 6;
        slots_.NbPacket = 1;
        expectedAnswerSize_ = 8;
        nbReadItem_ = 0;
    }

    void AddReadItem(std::uint8_t address) {
        const int txPosIfAdded = txPos_ + 3;  // the address byte and the checksum
        expectedAnswerSize_ += ItemValueSize(address) + 1;
        if (txPosIfAdded > kTxSlotLimit || expectedAnswerSize_ > kTxSlotLimit) {
            CloseReadPacket();
            slots_.SlotLength[Index(current_)] = txPos_;
            BeginSlot();
            WriteRequestHeader(0, kReadRegisters);
            txPos_ = 6;
            // The new slot's prediction restarts at 6 and leaves out the item being
            // added. Reads never get here in practice (all 34 of them draw 176
            // bytes); the value only steers where a later scan goes.
            expectedAnswerSize_ = 6;
            nbReadItem_ = 0;
        }
        Put(txPos_++, address);
        ++nbReadItem_;
    }

    // Writes the item count and the checksum of the read packet, which always begins
    // at the start of the current slot, and moves behind the checksum.
    void CloseReadPacket() { ClosePacket(0, nbReadItem_); }

    // --- WriteRegisters ------------------------------------------------------------

    void OpenWritePacket() {
        subPacketStart_ = txPos_;
        if (txPos_ == 0) {
            current_ = 0;
            slots_.NbPacket = 1;
        }
        WriteRequestHeader(subPacketStart_, kWriteRegisters);
        txPos_ = subPacketStart_ + 6;
        expectedAnswerSize_ += 8;
        nbWriteByte_ = 0;
    }

    void AddWriteItem(std::uint8_t address, std::span<const std::uint8_t> value) {
        const int txPosIfAdded = txPos_ + ItemValueSize(address) + 3;
        if (txPosIfAdded > kTxSlotLimit || expectedAnswerSize_ > kTxSlotLimit) {
            // The write packet in this slot is closed as it stands (even empty, its
            // 8-byte answer is already counted) and the writes go on in a new slot.
            ClosePacket(subPacketStart_, nbWriteByte_);
            slots_.SlotLength[Index(current_)] = txPos_;
            BeginSlot();
            subPacketStart_ = 0;
            WriteRequestHeader(0, kWriteRegisters);
            txPos_ = 6;
            nbWriteByte_ = 0;
            expectedAnswerSize_ = 6;
        }
        Put(txPos_++, address);
        ++nbWriteByte_;
        for (std::uint8_t byte : value) {
            Put(txPos_++, byte);
            ++nbWriteByte_;
        }
    }

    void CloseWritePacket() {
        ClosePacket(subPacketStart_, nbWriteByte_);
        slots_.SlotLength[Index(current_)] = txPos_;
    }

    // After the reads and writes, the current slot's length is known.
    void RecordSlotLength() {
        if (txPos_ > 0)
            slots_.SlotLength[Index(current_)] = txPos_;
    }

    // --- I2CTransfer and I2CScan ---------------------------------------------------

    void AddI2CTransfer(std::span<const std::uint8_t> data, std::uint16_t askId) {
        const int length = static_cast<int>(data.size());
        if (txPos_ == 0) {
            current_ = 0;
            slots_.NbPacket = 1;
        } else if (txPos_ + length + static_cast<int>(kOstrakOverhead) > kTxSlotLimit) {
            BeginSlot();
            txPos_ = 0;
        }
        // A transfer that does not fit beside other packets gets a slot of its own;
        // alone it may reach 188 bytes. The prediction is not changed: the answer's
        // size depends on the device behind the bus.
        subPacketStart_ = txPos_;
        if (txPos_ + length + static_cast<int>(kOstrakOverhead) > kTxSlotCapacity) {
            ok_ = false;
            return;
        }
        const std::size_t written =
            BuildOstrakPacket(kI2CTransfer, askId, data, SlotTail(static_cast<std::size_t>(txPos_)));
        txPos_ += static_cast<int>(written);
        slots_.SlotLength[Index(current_)] = txPos_;
    }

    void AddI2CScan() {
        if (txPos_ == 0) {
            current_ = 0;
            slots_.NbPacket = 1;
        }
        expectedAnswerSize_ += kScanAnswerAllowance;
        if (txPos_ > 0 &&
            (txPos_ + static_cast<int>(kOstrakOverhead) > kTxSlotLimit || expectedAnswerSize_ > kTxSlotLimit)) {
            BeginSlot();
            txPos_ = 0;
        }
        subPacketStart_ = txPos_;
        if (txPos_ + static_cast<int>(kOstrakOverhead) > kTxSlotCapacity) {
            ok_ = false;
            return;
        }
        const std::size_t written = BuildOstrakPacket(kI2CScan, 0, {}, SlotTail(static_cast<std::size_t>(txPos_)));
        txPos_ += static_cast<int>(written);
        slots_.SlotLength[Index(current_)] = txPos_;
    }

private:
    static std::size_t Index(int k) { return static_cast<std::size_t>(k); }

    // Opens slot number NbPacket as the current slot.
    void BeginSlot() {
        if (slots_.NbPacket >= kTxSlotCount) {
            ok_ = false;
            current_ = kTxSlotCount - 1;  // keeps every later Put inside the slots
            return;
        }
        current_ = slots_.NbPacket;
        slots_.NbPacket += 1;
    }

    std::span<std::uint8_t> SlotTail(std::size_t from) {
        auto& slot = slots_.Slot[Index(current_)];
        return std::span<std::uint8_t>(slot).subspan(std::min(from, slot.size()));
    }

    void Put(int pos, std::uint8_t byte) {
        if (pos < 0 || pos >= kTxSlotCapacity) {
            ok_ = false;
            return;
        }
        slots_.Slot[Index(current_)][Index(pos)] = byte;
    }

    // Function code and AskID 0; the length field is written when the packet closes.
    void WriteRequestHeader(int at, std::uint16_t function) {
        Put(at, static_cast<std::uint8_t>(function >> 8));
        Put(at + 1, static_cast<std::uint8_t>(function));
        Put(at + 2, 0);
        Put(at + 3, 0);
    }

    // Fills in the body length of the packet that begins at `start` and ends at the
    // current position, writes its checksum and moves behind it.
    void ClosePacket(int start, int bodyLength) {
        Put(start + 4, static_cast<std::uint8_t>(bodyLength >> 8));
        Put(start + 5, static_cast<std::uint8_t>(bodyLength));
        if (!ok_ || txPos_ + 2 > kTxSlotCapacity) {
            ok_ = false;
            return;
        }
        auto packet = std::span<std::uint8_t>(slots_.Slot[Index(current_)]).subspan(Index(start));
        WriteOstrakChecksum(packet, Index(txPos_ - start));
        txPos_ += 2;
    }

    TxSlots& slots_;
    bool ok_ = true;
    int current_ = 0;             // the slot being filled
    int txPos_ = 0;               // write position in the current slot
    int subPacketStart_ = 0;      // where the current packet begins in the slot
    int nbReadItem_ = 0;          // addresses in the current read packet
    int nbWriteByte_ = 0;         // body bytes of the current write packet
    int expectedAnswerSize_ = 0;  // answer bytes predicted for the current slot
};

std::span<const std::uint8_t> ClampedI2CData(const std::uint8_t (&data)[kMaxI2CDataLength], std::int32_t length) {
    // The export refuses lengths outside 0..180; should one still get here, a
    // negative length sends an empty transfer and a longer one the 180 stored bytes,
    // and the length field always matches the bytes sent.
    const std::int32_t clamped = std::clamp<std::int32_t>(length, 0, kMaxI2CDataLength);
    return {data, static_cast<std::size_t>(clamped)};
}

std::uint16_t AskIdOnWire(std::int32_t askId) {
    return static_cast<std::uint16_t>(std::clamp<std::int32_t>(askId, 0, 0xFFFF));
}

void ResetExchangeWrites(ExchangeWrites& writes) {
    writes = ExchangeWrites{};
    writes.ClearI2CAnswerValid = true;
    writes.ClearScanI2CValid = true;
}

std::uint8_t LowByte(std::int32_t value) {
    return static_cast<std::uint8_t>(value & 0xFF);
}

void AddWrites(SlotLayout& layout, const WriteValues& w, ExchangeWrites& writes) {
    struct Command {
        bool requested;
        std::uint8_t address;
        bool* written;
    };
    const Command commands[] = {
        {w.ResetCPURequest, kRegisterResetCpu, &writes.ResetCPUWritten},
        {w.SaveUserParametersRequest, kRegisterSaveUserParameters, &writes.SaveUserParametersWritten},
        {w.RestoreUserParametersRequest, kRegisterRestoreUserParameters, &writes.RestoreUserParametersWritten},
        {w.RestoreFactoryParametersRequest, kRegisterRestoreFactoryParameters, &writes.RestoreFactoryParametersWritten},
        {w.SaveFactoryParametersRequest, kRegisterSaveFactoryParameters, &writes.SaveFactoryParametersWritten},
    };
    for (const Command& command : commands) {
        if (command.requested) {
            layout.AddWriteItem(command.address, {});
            *command.written = true;
        }
    }

    std::uint8_t value[16];
    if (w.WarningsRequest) {
        WriteBigEndian32(value, PackFlags32(std::span<const std::uint8_t, 32>(w.WarningsValue)));
        layout.AddWriteItem(kRegisterWarnings, {value, 4});
        writes.WarningsWritten = true;
    }
    if (w.ComOptionsRequest) {
        WriteBigEndian32(value, PackFlags32(std::span<const std::uint8_t, 32>(w.ComOptionsValue)));
        layout.AddWriteItem(kRegisterComOptions, {value, 4});
        writes.ComOptionsWritten = true;
    }
    if (w.IPAddressRequest) {
        for (int i = 0; i < 4; ++i)
            value[i] = LowByte(w.IPAddressValue[i]);
        layout.AddWriteItem(kRegisterIpAddress, {value, 4});
        writes.IPAddressWritten = true;
    }
    if (w.SubnetMaskRequest) {
        for (int i = 0; i < 4; ++i)
            value[i] = LowByte(w.SubnetMaskValue[i]);
        layout.AddWriteItem(kRegisterSubnetMask, {value, 4});
        writes.SubnetMaskWritten = true;
    }
    if (w.TCPTimeoutRequest) {
        value[0] = LowByte(w.TCPTimeoutValue);
        layout.AddWriteItem(kRegisterTcpTimeout, {value, 1});
        writes.TCPTimeoutWritten = true;
    }
    if (w.ModuleNameRequest) {
        std::memcpy(value, w.ModuleNameValue, 16);
        layout.AddWriteItem(kRegisterModuleName, {value, 16});
        writes.ModuleNameWritten = true;
    }
    if (w.RS232ConfigRequest) {
        value[0] = LowByte(w.RS232ConfigValue);
        layout.AddWriteItem(kRegisterRs232Config, {value, 1});
        writes.RS232ConfigWritten = true;
    }
    if (w.I2CSpeedRequest) {
        value[0] = LowByte(w.I2CSpeedValue);
        layout.AddWriteItem(kRegisterI2CSpeed, {value, 1});
        writes.I2CSpeedWritten = true;
    }
    if (w.AnalogInputsThresholdRequest) {
        WriteBigEndian32(value, static_cast<std::uint32_t>(FixedPointFromFloat(w.AnalogInputsThresholdValue)));
        layout.AddWriteItem(kRegisterAnalogInputsThreshold, {value, 4});
        writes.AnalogInputsThresholdWritten = true;
    }
    if (w.OutputsRequest) {
        WriteBigEndian16(value, PackFlags16(std::span<const std::uint8_t, 16>(w.OutputsValue)));
        layout.AddWriteItem(kRegisterOutputs, {value, 2});
        writes.OutputsWritten = true;
    }
}

void ClearOnDemandMarks(RequestMarks& marks) {
    marks.ReadRequest = false;
    marks.WriteRequest = false;
    std::fill(std::begin(marks.ReadFlags), std::end(marks.ReadFlags), false);
    std::fill(std::begin(marks.ReadInputVoltage), std::end(marks.ReadInputVoltage), false);
    marks.I2CRequest = false;
    marks.ScanI2CRequest = false;
    WriteValues& w = marks.WriteValues;
    w.ResetCPURequest = false;
    w.SaveUserParametersRequest = false;
    w.RestoreUserParametersRequest = false;
    w.RestoreFactoryParametersRequest = false;
    w.SaveFactoryParametersRequest = false;
    w.WarningsRequest = false;
    w.ComOptionsRequest = false;
    w.IPAddressRequest = false;
    w.SubnetMaskRequest = false;
    w.TCPTimeoutRequest = false;
    w.ModuleNameRequest = false;
    w.RS232ConfigRequest = false;
    w.I2CSpeedRequest = false;
    w.AnalogInputsThresholdRequest = false;
    w.OutputsRequest = false;
}

bool Abandon(TxSlots& slots, ExchangeWrites& writes) {
    slots.NbPacket = 0;
    slots.SlotLength.fill(0);
    ResetExchangeWrites(writes);
    return false;
}

}  // namespace

bool FillPacketToSend(RequestMarks& marks, TxSlots& slots, ExchangeWrites& writes) {
    ResetExchangeWrites(writes);
    SlotLayout layout(slots);

    if (marks.ReadRequest) {
        layout.OpenReadPacket();
        for (int i = 0; i < kReadFlagCount; ++i)
            if (marks.ReadFlags[i])
                layout.AddReadItem(kReadFlagAddress[static_cast<std::size_t>(i)]);
        for (int n = 0; n < kInputVoltageCount; ++n)
            if (marks.ReadInputVoltage[n])
                layout.AddReadItem(static_cast<std::uint8_t>(kRegisterInputVoltageFirst + n));
        layout.CloseReadPacket();
    }

    if (marks.WriteRequest) {
        layout.OpenWritePacket();
        AddWrites(layout, marks.WriteValues, writes);
        layout.CloseWritePacket();
    } else {
        layout.RecordSlotLength();
    }

    if (marks.I2CRequest)
        layout.AddI2CTransfer(ClampedI2CData(marks.I2CData, marks.I2CDataLength), AskIdOnWire(marks.I2CAskID));

    if (marks.ScanI2CRequest)
        layout.AddI2CScan();

    layout.Finish();
    if (!layout.ok())
        return Abandon(slots, writes);
    ClearOnDemandMarks(marks);
    return true;
}

bool FillPacketToSendContinuous(const RequestMarks& marks, TxSlots& slots, ExchangeWrites& writes) {
    ResetExchangeWrites(writes);
    SlotLayout layout(slots);

    if (marks.RepetitiveAskRequest) {
        layout.OpenReadPacket();
        if (marks.RepetitiveWARNINGS)
            layout.AddReadItem(kRegisterWarnings);
        if (marks.RepetitiveVOLTAGE)
            layout.AddReadItem(kRegisterVoltage);
        if (marks.RepetitiveINPUTS)
            layout.AddReadItem(kRegisterInputs);
        for (int n = 0; n < kInputVoltageCount; ++n)
            if (marks.RepetitiveInputVoltage[n])
                layout.AddReadItem(static_cast<std::uint8_t>(kRegisterInputVoltageFirst + n));
        layout.CloseReadPacket();
        layout.RecordSlotLength();
    }

    if (marks.RepetitiveI2CRequest)
        layout.AddI2CTransfer(ClampedI2CData(marks.RepetitiveI2CData, marks.RepetitiveI2CDataLength),
                              AskIdOnWire(marks.RepetitiveI2CAskID));

    layout.Finish();
    if (!layout.ok())
        return Abandon(slots, writes);
    return true;
}

void ApplyExchangeWrites(const ExchangeWrites& writes, RegisterValues& values) {
    values.ResetCPUWritten = writes.ResetCPUWritten;
    values.SaveUserParametersWritten = writes.SaveUserParametersWritten;
    values.RestoreUserParametersWritten = writes.RestoreUserParametersWritten;
    values.RestoreFactoryParametersWritten = writes.RestoreFactoryParametersWritten;
    values.SaveFactoryParametersWritten = writes.SaveFactoryParametersWritten;
    values.WarningsWritten = writes.WarningsWritten;
    values.ComOptionsWritten = writes.ComOptionsWritten;
    values.IPAddressWritten = writes.IPAddressWritten;
    values.SubnetMaskWritten = writes.SubnetMaskWritten;
    values.TCPTimeoutWritten = writes.TCPTimeoutWritten;
    values.ModuleNameWritten = writes.ModuleNameWritten;
    values.RS232ConfigWritten = writes.RS232ConfigWritten;
    values.I2CSpeedWritten = writes.I2CSpeedWritten;
    values.AnalogInputsThresholdWritten = writes.AnalogInputsThresholdWritten;
    values.OutputsWritten = writes.OutputsWritten;
    if (writes.ClearI2CAnswerValid)
        values.I2CAnswerValid = false;
    if (writes.ClearScanI2CValid)
        values.ScanI2CValid = false;
}

}  // namespace netpod
