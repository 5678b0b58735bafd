#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "protocol/ostrak_packet.h"
#include "protocol/request_builder.h"

namespace netpod {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes SlotOf(const TxSlots& slots, int k) {
    const auto bytes = slots.SlotBytes(k);
    return Bytes(bytes.begin(), bytes.end());
}

// A whole packet with its checksum, as the module expects it.
Bytes Packet(std::uint16_t function, std::uint16_t askId, const Bytes& body) {
    Bytes out(body.size() + kOstrakOverhead);
    EXPECT_EQ(BuildOstrakPacket(function, askId, body, out), out.size());
    return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// One packet found in a slot.
struct SlotPacket {
    std::uint16_t function;
    std::uint16_t askId;
    Bytes body;
};

// Cuts a slot into its packets by their length fields and checks that each carries a
// correct checksum of its own and that nothing is left over.
std::vector<SlotPacket> SplitSlot(const Bytes& slot) {
    std::vector<SlotPacket> packets;
    std::size_t pos = 0;
    while (pos < slot.size()) {
        const std::span<const std::uint8_t> rest(slot.data() + pos, slot.size() - pos);
        EXPECT_GE(rest.size(), kOstrakOverhead);
        if (rest.size() < kOstrakOverhead)
            break;
        EXPECT_TRUE(VerifyOstrakPacket(rest)) << "packet at offset " << pos;
        const std::size_t body = OstrakBodyLength(rest);
        EXPECT_LE(kOstrakOverhead + body, rest.size());
        if (kOstrakOverhead + body > rest.size())
            break;
        packets.push_back({OstrakFunctionCode(rest), OstrakAskId(rest), Bytes(rest.begin() + 6, rest.begin() + 6 + static_cast<long>(body))});
        pos += kOstrakOverhead + body;
    }
    return packets;
}

void MarkAllReads(RequestMarks& marks) {
    std::fill(std::begin(marks.ReadFlags), std::end(marks.ReadFlags), true);
    std::fill(std::begin(marks.ReadInputVoltage), std::end(marks.ReadInputVoltage), true);
    marks.ReadRequest = true;
}

// Every writable register with a value whose encoding is easy to recognise.
void MarkAllWrites(RequestMarks& marks) {
    WriteValues& w = marks.WriteValues;
    w.ResetCPURequest = w.SaveUserParametersRequest = w.RestoreUserParametersRequest = true;
    w.RestoreFactoryParametersRequest = w.SaveFactoryParametersRequest = true;
    w.WarningsValue[0] = 1;
    w.WarningsValue[31] = 1;
    w.WarningsRequest = true;
    w.ComOptionsValue[1] = 1;
    w.ComOptionsValue[2] = 2;   // only the lowest bit of a flag byte counts
    w.ComOptionsValue[8] = 3;
    w.ComOptionsRequest = true;
    const std::int32_t ip[4] = {192, 168, 1, 300};   // 300 goes out as its low byte
    std::memcpy(w.IPAddressValue, ip, sizeof ip);
    w.IPAddressRequest = true;
    const std::int32_t mask[4] = {255, 0, 255, 0};
    std::memcpy(w.SubnetMaskValue, mask, sizeof mask);
    w.SubnetMaskRequest = true;
    w.TCPTimeoutValue = 255;
    w.TCPTimeoutRequest = true;
    std::memcpy(w.ModuleNameValue, "ABCDEFGHIJKLMNOP", 16);
    w.ModuleNameRequest = true;
    w.RS232ConfigValue = 135;
    w.RS232ConfigRequest = true;
    w.I2CSpeedValue = 99;
    w.I2CSpeedRequest = true;
    w.AnalogInputsThresholdValue = -1.5f;
    w.AnalogInputsThresholdRequest = true;
    w.OutputsValue[0] = 7;   // any non-zero byte is an output that is on
    w.OutputsValue[15] = 1;
    w.OutputsRequest = true;
    marks.WriteRequest = true;
}

const Bytes kAllWriteItems = {
    0x02, 0x03, 0x04, 0x05, 0x06,
    0x08, 0x80, 0x00, 0x00, 0x01,
    0x10, 0x00, 0x00, 0x01, 0x02,
    0x12, 192, 168, 1, 44,
    0x13, 255, 0, 255, 0,
    0x14, 255,
    0x15, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P',
    0x16, 135,
    0x18, 99,
    0x20, 0xFF, 0xFE, 0x80, 0x00,
    0x21, 0x80, 0x01,
};

Bytes AllReadAddresses() {
    Bytes addresses(kReadFlagAddress.begin(), kReadFlagAddress.end());
    for (int n = 0; n < 16; ++n)
        addresses.push_back(static_cast<std::uint8_t>(0x30 + n));
    return addresses;
}

TEST(RequestBuilder, NothingPendingSendsNothing) {
    RequestMarks marks;
    TxSlots slots;
    slots.NbPacket = 3;   // left over from an earlier exchange
    ExchangeWrites writes;
    EXPECT_TRUE(FillPacketToSend(marks, slots, writes));
    EXPECT_EQ(slots.NbPacket, 0);
    EXPECT_TRUE(FillPacketToSendContinuous(marks, slots, writes));
    EXPECT_EQ(slots.NbPacket, 0);
}

TEST(RequestBuilder, ReadsOfTypeAndVoltage) {
    RequestMarks marks;
    marks.ReadFlags[kReadType] = true;
    marks.ReadFlags[kReadVoltage] = true;
    marks.ReadRequest = true;
    TxSlots slots;
    ExchangeWrites writes;
    ASSERT_TRUE(FillPacketToSend(marks, slots, writes));
    ASSERT_EQ(slots.NbPacket, 1);
    EXPECT_EQ(slots.SlotLength[0], 10);
    EXPECT_EQ(SlotOf(slots, 0), Packet(kReadRegisters, 0, {0x00, 0x07}));
    EXPECT_EQ(slots.ExpectedAnswerSize, 18);
    // The on-demand marks are consumed.
    EXPECT_FALSE(marks.ReadRequest);
    EXPECT_FALSE(marks.ReadFlags[kReadType]);
    EXPECT_FALSE(marks.ReadFlags[kReadVoltage]);
    // A second build finds nothing left to send.
    ASSERT_TRUE(FillPacketToSend(marks, slots, writes));
    EXPECT_EQ(slots.NbPacket, 0);
}

TEST(RequestBuilder, AllThirtyFourReadsFitOneSlot) {
    RequestMarks marks;
    MarkAllReads(marks);
    TxSlots slots;
    ExchangeWrites writes;
    ASSERT_TRUE(FillPacketToSend(marks, slots, writes));
    ASSERT_EQ(slots.NbPacket, 1);
    EXPECT_EQ(slots.SlotLength[0], 42);
    EXPECT_EQ(slots.ExpectedAnswerSize, 176);
    EXPECT_EQ(SlotOf(slots, 0), Packet(kReadRegisters, 0, AllReadAddresses()));
    EXPECT_TRUE(std::none_of(std::begin(marks.ReadInputVoltage), std::end(marks.ReadInputVoltage),
                             [](bool b) { return b; }));
}

// The 176 predicted answer bytes of all reads leave no room for the 8 of a write
// answer: the first write item closes the still empty write packet in slot 0.
TEST(RequestBuilder, AllReadsPushWritesToSecondSlot) {
    RequestMarks marks;
    MarkAllReads(marks);
    marks.WriteValues.OutputsValue[0] = 1;
    marks.WriteValues.OutputsRequest = true;
    marks.WriteRequest = true;
    TxSlots slots;
    ExchangeWrites writes;
    ASSERT_TRUE(FillPacketToSend(marks, slots, writes));
    ASSERT_EQ(slots.NbPacket, 2);
    EXPECT_EQ(slots.SlotLength[0], 50);
    EXPECT_EQ(SlotOf(slots, 0), Concat({Packet(kReadRegisters, 0, AllReadAddresses()), Packet(kWriteRegisters, 0, {})}));
    EXPECT_EQ(SlotOf(slots, 1), Packet(kWriteRegisters, 0, {0x21, 0x00, 0x01}));
    EXPECT_TRUE(writes.OutputsWritten);
}

TEST(RequestBuilder, WriteEncodings) {
    struct Case {
        const char* name;
        void (*mark)(WriteValues&);
        Bytes body;
    };
    const Case cases[] = {
        {"outputs 0 and 9",
         [](WriteValues& w) {
             w.OutputsValue[0] = 1;
             w.OutputsValue[9] = 1;
             w.OutputsRequest = true;
         },
         {0x21, 0x02, 0x01}},
        {"warnings reset", [](WriteValues& w) { w.WarningsRequest = true; }, {0x08, 0x00, 0x00, 0x00, 0x00}},
        {"threshold 1.5",
         [](WriteValues& w) {
             w.AnalogInputsThresholdValue = 1.5f;
             w.AnalogInputsThresholdRequest = true;
         },
         {0x20, 0x00, 0x01, 0x80, 0x00}},
        {"threshold -1.5",
         [](WriteValues& w) {
             w.AnalogInputsThresholdValue = -1.5f;
             w.AnalogInputsThresholdRequest = true;
         },
         {0x20, 0xFF, 0xFE, 0x80, 0x00}},
        {"threshold truncates toward zero",
         [](WriteValues& w) {
             w.AnalogInputsThresholdValue = -1.0f / 131072.0f * 3.0f;   // -1.5 / 65536
             w.AnalogInputsThresholdRequest = true;
         },
         {0x20, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"threshold 12.0",
         [](WriteValues& w) {
             w.AnalogInputsThresholdValue = 12.0f;
             w.AnalogInputsThresholdRequest = true;
         },
         {0x20, 0x00, 0x0C, 0x00, 0x00}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RequestMarks marks;
        c.mark(marks.WriteValues);
        marks.WriteRequest = true;
        TxSlots slots;
        ExchangeWrites writes;
        ASSERT_TRUE(FillPacketToSend(marks, slots, writes));
        ASSERT_EQ(slots.NbPacket, 1);
        EXPECT_EQ(SlotOf(slots, 0), Packet(kWriteRegisters, 0, c.body));
    }

    // The literal bytes of the OUTPUTS example, checksum included.
    RequestMarks marks;
    marks.WriteValues.OutputsValue[0] = 1;
    marks.WriteValues.OutputsValue[9] = 1;
    marks.WriteValues.OutputsRequest = true;
    marks.WriteRequest = true;
    TxSlots slots;
    ExchangeWrites writes;
    ASSERT_TRUE(FillPacketToSend(marks, slots, writes));
    const Bytes slot = SlotOf(slots, 0);
    ASSERT_EQ(slot.size(), 11u);
    EXPECT_EQ(Bytes(slot.begin(), slot.begin() + 9), (Bytes{0x00, 0x22, 0x00, 0x00, 0x00, 0x03, 0x21, 0x02, 0x01}));
    EXPECT_TRUE(VerifyOstrakPacket(slot));
}

TEST(RequestBuilder, AllWritesInOrderAndTheirWrittenFlags) {
    RequestMarks marks;
    MarkAllWrites(marks);
    TxSlots slots;
    ExchangeWrites writes;
    ASSERT_TRUE(FillPacketToSend(marks, slots, writes));
    ASSERT_EQ(slots.NbPacket, 1);
    EXPECT_EQ(SlotOf(slots, 0), Packet(kWriteRegisters, 0, kAllWriteItems));

    // The request flags are consumed, the values stay for the application to reuse.
    const WriteValues& w = marks.WriteValues;
    EXPECT_FALSE(marks.WriteRequest);
    EXPECT_FALSE(w.ResetCPURequest || w.WarningsRequest || w.ComOptionsRequest || w.IPAddressRequest ||
                 w.ModuleNameRequest || w.AnalogInputsThresholdRequest || w.OutputsRequest);
    EXPECT_EQ(w.TCPTimeoutValue, 255);
    EXPECT_EQ(w.OutputsValue[0], 7);

    // The exchange's written flags reach RegisterValues only through ApplyExchangeWrites,
    // which also clears what an earlier exchange left.
    RegisterValues values{};
    values.TCPConnectionsOpenedValid = true;   // not a written flag: untouched
    values.I2CAnswerValid = true;
    values.ScanI2CValid = true;
    ApplyExchangeWrites(writes, values);
    EXPECT_TRUE(values.ResetCPUWritten && values.SaveUserParametersWritten && values.RestoreUserParametersWritten &&
                values.RestoreFactoryParametersWritten && values.SaveFactoryParametersWritten);
    EXPECT_TRUE(values.WarningsWritten && values.ComOptionsWritten && values.IPAddressWritten &&
                values.SubnetMaskWritten && values.TCPTimeoutWritten && values.ModuleNameWritten &&
                values.RS232ConfigWritten && values.I2CSpeedWritten && values.AnalogInputsThresholdWritten &&
                values.OutputsWritten);
    EXPECT_FALSE(values.I2CAnswerValid);
    EXPECT_FALSE(values.ScanI2CValid);
    EXPECT_TRUE(values.TCPConnectionsOpenedValid);

    // A following exchange without writes clears every written flag.
    marks.ReadFlags[kReadType] = true;
    marks.ReadRequest = true;
    ASSERT_TRUE(FillPacketToSend(marks, slots, writes));
    ApplyExchangeWrites(writes, values);
    EXPECT_FALSE(values.ResetCPUWritten || values.WarningsWritten || values.ModuleNameWritten || values.OutputsWritten);
}

TEST(RequestBuilder, ReadAndWriteShareSlotZero) {
    RequestMarks marks;
    marks.ReadFlags[kReadInputs] = true;
    marks.ReadRequest = true;
    marks.WriteValues.TCPTimeoutValue = 30;
    marks.WriteValues.TCPTimeoutRequest = true;
    marks.WriteRequest = true;
    TxSlots slots;
    ExchangeWrites writes;
    ASSERT_TRUE(FillPacketToSend(marks, slots, writes));
    ASSERT_EQ(slots.NbPacket, 1);
    const Bytes slot = SlotOf(slots, 0);
    EXPECT_EQ(slot, Concat({Packet(kReadRegisters, 0, {0x23}), Packet(kWriteRegisters, 0, {0x14, 30})}));
    const auto packets = SplitSlot(slot);
    ASSERT_EQ(packets.size(), 2u);
    // 8 + 3 for the read answer, 8 for the write's.
    EXPECT_EQ(slots.ExpectedAnswerSize, 19);
}

TEST(RequestBuilder, ScanPlacement) {
    // Alone, the scan is the whole of slot 0.
    {
        RequestMarks marks;
        marks.ScanI2CRequest = true;
        TxSlots slots;
        ExchangeWrites writes;
        ASSERT_TRUE(FillPacketToSend(marks, slots, writes));
        ASSERT_EQ(slots.NbPacket, 1);
        EXPECT_EQ(SlotOf(slots, 0), Packet(kI2CScan, 0, {}));
        EXPECT_FALSE(marks.ScanI2CRequest);
    }
    // Behind a small read it shares the slot (8 + 5 + 135 answer bytes).
    {
        RequestMarks marks;
        marks.ReadFlags[kReadVoltage] = true;
        marks.ReadRequest = true;
        marks.ScanI2CRequest = true;
        TxSlots slots;
        ExchangeWrites writes;
        ASSERT_TRUE(FillPacketToSend(marks, slots, writes));
        ASSERT_EQ(slots.NbPacket, 1);
        EXPECT_EQ(SlotOf(slots, 0), Concat({Packet(kReadRegisters, 0, {0x07}), Packet(kI2CScan, 0, {})}));
    }
    // 45 predicted bytes and the scan's 135 make exactly 180: still one slot. Three
    // bytes more and the scan moves to slot 1.
    for (bool withInputs : {false, true}) {
        SCOPED_TRACE(withInputs);
        RequestMarks marks;
        for (ReadFlagIndex f : {kReadType, kReadVersion, kReadEthernetMac, kReadModuleName, kReadOutputs})
            marks.ReadFlags[f] = true;
        marks.ReadFlags[kReadInputs] = withInputs;
        marks.ReadRequest = true;
        marks.ScanI2CRequest = true;
        TxSlots slots;
        ExchangeWrites writes;
        ASSERT_TRUE(FillPacketToSend(marks, slots, writes));
        ASSERT_EQ(slots.NbPacket, withInputs ? 2 : 1);
        EXPECT_EQ(slots.ExpectedAnswerSize, withInputs ? 183 : 180);
        const Bytes last = SlotOf(slots, slots.NbPacket - 1);
        const Bytes scan = Packet(kI2CScan, 0, {});
        ASSERT_GE(last.size(), scan.size());
        EXPECT_EQ(Bytes(last.end() - 8, last.end()), scan);
        EXPECT_EQ(last.size(), withInputs ? 8u : 21u);
    }
    // All 34 reads draw 176 answer bytes: the scan's 135 go to slot 1.
    {
        RequestMarks marks;
        MarkAllReads(marks);
        marks.ScanI2CRequest = true;
        TxSlots slots;
        ExchangeWrites writes;
        ASSERT_TRUE(FillPacketToSend(marks, slots, writes));
        ASSERT_EQ(slots.NbPacket, 2);
        EXPECT_EQ(slots.SlotLength[0], 42);
        EXPECT_EQ(SlotOf(slots, 1), Packet(kI2CScan, 0, {}));
    }
}

TEST(RequestBuilder, I2CTransferPlacementAndLengths) {
    Bytes data(180);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7 + 1);
    auto build = [&](int length, bool withRead, std::int32_t askId, TxSlots& slots) {
        RequestMarks marks;
        std::copy(data.begin(), data.end(), marks.I2CData);
        marks.I2CDataLength = length;
        marks.I2CAskID = askId;
        marks.I2CRequest = true;
        if (withRead) {
            marks.ReadFlags[kReadType] = true;
            marks.ReadRequest = true;
        }
        ExchangeWrites writes;
        EXPECT_TRUE(FillPacketToSend(marks, slots, writes));
        EXPECT_FALSE(marks.I2CRequest);
    };

    // A short transfer follows the read in slot 0, with the application's AskID.
    TxSlots slots;
    build(4, true, 0x1234, slots);
    ASSERT_EQ(slots.NbPacket, 1);
    EXPECT_EQ(SlotOf(slots, 0),
              Concat({Packet(kReadRegisters, 0, {0x00}), Packet(kI2CTransfer, 0x1234, Bytes(data.begin(), data.begin() + 4))}));

    // 172 data bytes are the most that fit a 180-byte slot on their own.
    build(172, false, 1, slots);
    ASSERT_EQ(slots.NbPacket, 1);
    EXPECT_EQ(slots.SlotLength[0], 180);

    // 180 data bytes alone take slot 0 whole, 188 bytes; no empty slot goes before it.
    build(180, false, 65535, slots);
    ASSERT_EQ(slots.NbPacket, 1);
    EXPECT_EQ(SlotOf(slots, 0), Packet(kI2CTransfer, 0xFFFF, data));

    // Behind a read, a transfer that does not fit moves to a slot of its own.
    build(170, true, 2, slots);
    ASSERT_EQ(slots.NbPacket, 2);
    EXPECT_EQ(SlotOf(slots, 0), Packet(kReadRegisters, 0, {0x00}));
    EXPECT_EQ(SlotOf(slots, 1), Packet(kI2CTransfer, 2, Bytes(data.begin(), data.begin() + 170)));

    // Lengths the export refuses never make the builder read outside the data or
    // announce bytes it does not send.
    build(-5, false, 3, slots);
    ASSERT_EQ(slots.NbPacket, 1);
    EXPECT_EQ(SlotOf(slots, 0), Packet(kI2CTransfer, 3, {}));
    build(100000, false, 3, slots);
    ASSERT_EQ(slots.NbPacket, 1);
    EXPECT_EQ(SlotOf(slots, 0), Packet(kI2CTransfer, 3, data));
}

// Everything at once: all reads, all writes, a 180-byte transfer and a scan. Four
// slots, none written past, every request on the wire exactly once.
TEST(RequestBuilder, WorstCaseNeedsFourSlotsAndLosesNothing) {
    RequestMarks marks;
    MarkAllReads(marks);
    MarkAllWrites(marks);
    for (int i = 0; i < kMaxI2CDataLength; ++i)
        marks.I2CData[i] = static_cast<std::uint8_t>(255 - i);
    marks.I2CDataLength = 180;
    marks.I2CAskID = 77;
    marks.I2CRequest = true;
    marks.ScanI2CRequest = true;

    TxSlots slots;
    ExchangeWrites writes;
    ASSERT_TRUE(FillPacketToSend(marks, slots, writes));
    ASSERT_EQ(slots.NbPacket, 4);
    EXPECT_EQ(slots.SlotLength[0], 50);
    EXPECT_EQ(slots.SlotLength[1], 64);
    EXPECT_EQ(slots.SlotLength[2], 188);
    EXPECT_EQ(slots.SlotLength[3], 8);

    Bytes readAddresses, writeItems, i2cData;
    int scans = 0;
    for (int k = 0; k < slots.NbPacket; ++k) {
        if (slots.SlotLength[k] > kTxSlotLimit) {
            // Only a slot that holds nothing but an oversized transfer may pass 180.
            const auto packets = SplitSlot(SlotOf(slots, k));
            ASSERT_EQ(packets.size(), 1u);
            EXPECT_EQ(packets[0].function, kI2CTransfer);
        }
        for (const SlotPacket& p : SplitSlot(SlotOf(slots, k))) {
            switch (p.function) {
            case kReadRegisters:
                readAddresses.insert(readAddresses.end(), p.body.begin(), p.body.end());
                break;
            case kWriteRegisters:
                writeItems.insert(writeItems.end(), p.body.begin(), p.body.end());
                break;
            case kI2CTransfer:
                EXPECT_EQ(p.askId, 77);
                i2cData.insert(i2cData.end(), p.body.begin(), p.body.end());
                break;
            case kI2CScan:
                ++scans;
                EXPECT_TRUE(p.body.empty());
                break;
            default:
                ADD_FAILURE() << "unexpected function " << p.function;
            }
        }
    }
    EXPECT_EQ(readAddresses, AllReadAddresses());
    EXPECT_EQ(writeItems, kAllWriteItems);
    EXPECT_EQ(i2cData, Bytes(std::begin(marks.I2CData), std::end(marks.I2CData)));
    EXPECT_EQ(scans, 1);
    EXPECT_FALSE(marks.ReadRequest || marks.WriteRequest || marks.I2CRequest || marks.ScanI2CRequest);
}

TEST(RequestBuilder, RepetitivePacketKeepsItsMarks) {
    RequestMarks marks;
    marks.RepetitiveVOLTAGE = true;
    marks.RepetitiveWARNINGS = true;
    marks.RepetitiveINPUTS = true;
    marks.RepetitiveInputVoltage[3] = true;
    marks.RepetitiveInputVoltage[15] = true;
    marks.RepetitiveAskRequest = true;
    // On-demand marks do not belong in the repetitive packet and stay for their own.
    marks.ReadFlags[kReadType] = true;
    marks.ReadRequest = true;
    marks.ScanI2CRequest = true;

    TxSlots slots;
    ExchangeWrites writes;
    for (int tick = 0; tick < 2; ++tick) {
        ASSERT_TRUE(FillPacketToSendContinuous(marks, slots, writes));
        ASSERT_EQ(slots.NbPacket, 1);
        EXPECT_EQ(SlotOf(slots, 0), Packet(kReadRegisters, 0, {0x08, 0x07, 0x23, 0x33, 0x3F}));
        EXPECT_EQ(slots.ExpectedAnswerSize, 8 + 5 + 5 + 3 + 5 + 5);
    }
    EXPECT_TRUE(marks.ReadRequest && marks.ReadFlags[kReadType] && marks.ScanI2CRequest);
    EXPECT_TRUE(writes.ClearI2CAnswerValid);

    // With a repetitive transfer of 180 bytes the transfer takes slot 1.
    marks.RepetitiveI2CDataLength = 180;
    marks.RepetitiveI2CAskID = 9;
    marks.RepetitiveI2CRequest = true;
    ASSERT_TRUE(FillPacketToSendContinuous(marks, slots, writes));
    ASSERT_EQ(slots.NbPacket, 2);
    EXPECT_EQ(SlotOf(slots, 1), Packet(kI2CTransfer, 9, Bytes(180, 0)));

    // A transfer alone, without repetitive reads, is still sent.
    marks.RepetitiveAskRequest = false;
    marks.RepetitiveI2CDataLength = 2;
    ASSERT_TRUE(FillPacketToSendContinuous(marks, slots, writes));
    ASSERT_EQ(slots.NbPacket, 1);
    EXPECT_EQ(SlotOf(slots, 0), Packet(kI2CTransfer, 9, Bytes(2, 0)));
}

TEST(RegisterMap, WidthsAndFlagPacking) {
    EXPECT_EQ(ItemValueSize(0x00), 4);
    EXPECT_EQ(ItemValueSize(0x02), 0);
    EXPECT_EQ(ItemValueSize(0x11), 6);
    EXPECT_EQ(ItemValueSize(0x15), 16);
    EXPECT_EQ(ItemValueSize(0x21), 2);
    EXPECT_EQ(ItemValueSize(0x3F), 4);
    for (int unknown : {0x09, 0x0A, 0x0D, 0x17, 0x19, 0x1B, 0x22, 0x24, 0x40, 0xFF, -1})
        EXPECT_EQ(ItemValueSize(unknown), -1) << unknown;

    EXPECT_EQ(FixedPointFromFloat(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(FixedPointFromFloat(1e30f), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(FixedPointFromFloat(-1e30f), std::numeric_limits<std::int32_t>::min());
    EXPECT_FLOAT_EQ(FloatFromFixedPoint(FixedPointFromFloat(-11.25f)), -11.25f);
}

}  // namespace
}  // namespace netpod
