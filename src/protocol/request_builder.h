// Request building: turns the marked requests of a connection into the Ostrak packets
// of one exchange. Each slot is sent in one TCP send, and the module's answers to one
// slot are predicted to fit in 180 bytes.
//
// A slot carries, in this order, at most one ReadRegisters packet, one WriteRegisters
// packet, one I2CTransfer and one I2CScan. Four slots of 188 bytes cover every
// combination of requests: all 34 reads fill one slot and draw 176 answer bytes, so a
// write requested with them moves to a second slot, and an I2C transfer and a scan may
// each need one more. Every slot keeps to 180 bytes, except a slot that holds nothing
// but an I2C transfer of more than 172 data bytes (6 header + 180 data + 2 checksum).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/request_marks.h"
#include "qorvi_netpod.h"

namespace netpod {

inline constexpr int kTxSlotCount = 4;
inline constexpr int kTxSlotCapacity = 188;
// The most a slot may hold, and the most its answers are predicted to hold.
inline constexpr int kTxSlotLimit = 180;
// What a scan answer may take: an 8-byte frame and up to 127 bytes of result.
inline constexpr int kScanAnswerAllowance = 135;

// The packets of one exchange. Written by the builder when the exchange begins; read
// while its NbPacket slots are sent, under the same lock.
struct TxSlots {
    std::array<std::array<std::uint8_t, kTxSlotCapacity>, kTxSlotCount> Slot{};
    std::array<std::int32_t, kTxSlotCount> SlotLength{};
    std::int32_t NbPacket = 0;
    // The answer bytes predicted for the slot filled last.
    std::int32_t ExpectedAnswerSize = 0;

    std::span<const std::uint8_t> SlotBytes(int k) const {
        return {Slot[static_cast<std::size_t>(k)].data(),
                static_cast<std::size_t>(SlotLength[static_cast<std::size_t>(k)])};
    }
};

// What an exchange changes in RegisterValues. The builders never touch RegisterValues
// themselves, because the application reads that record in its callback on the
// notification thread while a sender builds on another; the connection applies these
// changes on the notification thread when the first answer of the exchange arrives.
struct ExchangeWrites {
    // Written flags of the registers this exchange writes; all others become false.
    bool ResetCPUWritten = false;
    bool SaveUserParametersWritten = false;
    bool RestoreUserParametersWritten = false;
    bool RestoreFactoryParametersWritten = false;
    bool SaveFactoryParametersWritten = false;
    bool WarningsWritten = false;
    bool ComOptionsWritten = false;
    bool IPAddressWritten = false;
    bool SubnetMaskWritten = false;
    bool TCPTimeoutWritten = false;
    bool ModuleNameWritten = false;
    bool RS232ConfigWritten = false;
    bool I2CSpeedWritten = false;
    bool AnalogInputsThresholdWritten = false;
    bool OutputsWritten = false;
    // Every build asks for the I2C answers of the previous exchange to be forgotten.
    bool ClearI2CAnswerValid = false;
    bool ClearScanI2CValid = false;
};

// Builds the on-demand exchange from `marks` and consumes its on-demand marks: the read
// flags, ReadRequest, the write request flags (values stay), WriteRequest, I2CRequest
// and ScanI2CRequest. The repetitive set is left alone. Afterwards slots.NbPacket
// slots are ready (0 when nothing was requested). Returns true; false only if the
// requests could not be laid out in the slots, in which case nothing is to be sent and
// no mark has been consumed.
bool FillPacketToSend(RequestMarks& marks, TxSlots& slots, ExchangeWrites& writes);

// Builds the repetitive-ask exchange: the repetitive reads in one ReadRegisters packet
// and the repetitive I2C transfer. Consumes nothing. Same result as above.
bool FillPacketToSendContinuous(const RequestMarks& marks, TxSlots& slots, ExchangeWrites& writes);

// Sets every Written flag of `values` as `writes` says and clears I2CAnswerValid and
// ScanI2CValid when asked to. Called on the notification thread.
void ApplyExchangeWrites(const ExchangeWrites& writes, RegisterValues& values);

}  // namespace netpod
