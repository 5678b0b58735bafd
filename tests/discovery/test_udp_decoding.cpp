// The UDP packet assembler and answer decoder, fed bytes directly: no socket.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "diagnostics/error_log.h"
#include "protocol/ip_text.h"
#include "protocol/udp_answer_decoder.h"
#include "protocol/udp_packet_assembler.h"
#include "discovery/module_probe.h"
#include "discovery/scan_table.h"
#include "discovery/udp_test_packets.h"

namespace netpod {
namespace {

using test::Bytes;
using test::Concat;
using test::Packet;
using test::ScanAnswerBody;

constexpr char kUnknownRegisterMessage[] = "Receive unknown module gegister\t(ReceiveUDP_Data)";

class UdpDecoding : public ::testing::Test {
protected:
    void SetUp() override {
        for (ModuleInfo& record : modules) {
            std::memset(&record, 0x5A, sizeof record);   // a pattern that shows untouched records
        }
    }

    // Feeds one datagram, decoded into the scan table unless another sink is named.
    bool Feed(const Bytes& bytes, std::string_view sender = "127.0.0.2", UdpAnswerSink* sink = nullptr,
              std::uint16_t port = 7010) {
        return assembler.AssembleUDP_Packet(bytes, sender, port, sink != nullptr ? *sink : table);
    }

    static bool Untouched(const ModuleInfo& record) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
        for (std::size_t i = 0; i < sizeof record; ++i)
            if (bytes[i] != 0x5A)
                return false;
        return true;
    }

    std::atomic<std::uint32_t> checksumErrors{0};
    UdpPacketAssembler assembler{&WriteErrorLog, checksumErrors};
    ModuleInfo modules[4];
    ScanTable table{modules, 4};
};

TEST_F(UdpDecoding, ScanAnswerFillsOneCompleteRecord) {
    EXPECT_TRUE(Feed(Packet(0x0023, ScanAnswerBody(8, 2, {0x00, 0x02, 0x00, 0x05}, "NETPOD-A", {2, 0, 0, 0, 0, 0xAB})),
                     "10.1.200.7"));
    ASSERT_EQ(table.count(), 1);
    const ModuleInfo& m = modules[0];
    EXPECT_EQ(m.Type[0], 8);
    EXPECT_EQ(m.Type[1], 2);
    EXPECT_EQ((std::array{m.Version[0], m.Version[1], m.Version[2], m.Version[3]}), (std::array{2, 5, 0, 0}));
    EXPECT_EQ((std::array{m.MacAddress[0], m.MacAddress[5]}), (std::array{2, 0xAB}));
    EXPECT_EQ((std::array{m.IPAddress[0], m.IPAddress[1], m.IPAddress[2], m.IPAddress[3]}),
              (std::array{10, 1, 200, 7}));
    EXPECT_EQ(std::string(m.ModuleName, 8), "NETPOD-A");
    EXPECT_EQ(m.ModuleName[8], '\0');
    EXPECT_TRUE(Untouched(modules[1]));
}

TEST_F(UdpDecoding, VersionForms) {
    std::int32_t version[4];
    const std::uint8_t longForm[4] = {0x01, 0x02, 0x03, 0x04};
    DecodeVersion(longForm, version);
    EXPECT_EQ((std::array{version[0], version[1], version[2], version[3]}), (std::array{3, 4, 1, 2}));
    const std::uint8_t wordForm[4] = {0x00, 0x05, 0x01, 0x02};
    DecodeVersion(wordForm, version);
    EXPECT_EQ((std::array{version[0], version[1], version[2], version[3]}), (std::array{5, 258, 0, 0}));
}

TEST_F(UdpDecoding, PacketsAcrossAndWithinDatagrams) {
    const Bytes a = Packet(0x0023, ScanAnswerBody(8, 0, {1, 2, 3, 4}, "A", {2, 0, 0, 0, 0, 1}));
    const Bytes b = Packet(0x0023, ScanAnswerBody(8, 2, {1, 2, 3, 4}, "B", {2, 0, 0, 0, 0, 2}));
    // Two packets in one datagram are both decoded.
    Feed(Concat(a, b));
    ASSERT_EQ(table.count(), 2);
    EXPECT_EQ(modules[0].ModuleName[0], 'A');
    EXPECT_EQ(modules[1].ModuleName[0], 'B');
    // A packet cut inside its header, then inside its body, is decoded once, when its
    // last byte arrives.
    const Bytes c = Packet(0x0023, ScanAnswerBody(8, 2, {1, 2, 3, 4}, "C", {2, 0, 0, 0, 0, 3}));
    Feed(Bytes(c.begin(), c.begin() + 3));
    Feed(Bytes(c.begin() + 3, c.begin() + 20));
    EXPECT_EQ(table.count(), 2);
    Feed(Bytes(c.begin() + 20, c.end()));
    EXPECT_EQ(table.count(), 3);
    EXPECT_EQ(modules[2].ModuleName[0], 'C');
    EXPECT_EQ(assembler.PartialPackets(), 0u);
}

// Partial packets are kept per sender: one module's truncated answer is never
// completed with another module's bytes, and answers of two modules may interleave.
TEST_F(UdpDecoding, TruncatedAnswerOfOneSenderSpoilsNoOther) {
    const Bytes cut = Packet(0x0023, ScanAnswerBody(8, 2, {1, 2, 3, 4}, "T", {2, 0, 0, 0, 0, 9}));
    Feed(Bytes(cut.begin(), cut.begin() + 30), "127.0.0.10");
    for (std::uint8_t i = 1; i <= 4; ++i)
        Feed(Packet(0x0023, ScanAnswerBody(8, 2, {1, 2, 3, 4}, "M", {2, 0, 0, 0, 0, i})),
             "127.0.0." + std::to_string(10 + i));
    EXPECT_EQ(table.count(), 4);
    EXPECT_EQ(checksumErrors.load(), 0u);
    EXPECT_EQ(modules[0].MacAddress[5], 1);
    EXPECT_EQ(modules[3].MacAddress[5], 4);
}

TEST_F(UdpDecoding, SendersAreToldApartByAddressAndPort) {
    const Bytes a = Packet(0x0023, ScanAnswerBody(8, 0, {1, 2, 3, 4}, "A", {2, 0, 0, 0, 0, 1}));
    const Bytes b = Packet(0x0023, ScanAnswerBody(8, 2, {1, 2, 3, 4}, "B", {2, 0, 0, 0, 0, 2}));
    // A's halves around B's halves: each is completed by its own bytes.
    Feed(Bytes(a.begin(), a.begin() + 20), "127.0.0.5", nullptr, 7010);
    Feed(Bytes(b.begin(), b.begin() + 4), "127.0.0.5", nullptr, 7011);
    EXPECT_EQ(assembler.PartialPackets(), 2u);
    Feed(Bytes(a.begin() + 20, a.end()), "127.0.0.5", nullptr, 7010);
    Feed(Bytes(b.begin() + 4, b.end()), "127.0.0.5", nullptr, 7011);
    ASSERT_EQ(table.count(), 2);
    EXPECT_EQ(modules[0].ModuleName[0], 'A');
    EXPECT_EQ(modules[1].ModuleName[0], 'B');
    EXPECT_EQ(assembler.PartialPackets(), 0u);

    // A sender whose datagram was cut loses only its own packet in progress.
    Feed(Bytes(a.begin(), a.begin() + 20), "127.0.0.6");
    Feed(Bytes(b.begin(), b.begin() + 20), "127.0.0.7");
    assembler.DropPartialPacket("127.0.0.6", 7010);
    Feed(Bytes(b.begin() + 20, b.end()), "127.0.0.7");
    Feed(b, "127.0.0.6");
    EXPECT_EQ(table.count(), 4);
    EXPECT_EQ(checksumErrors.load(), 0u);
}

// Only so many senders may hold a packet in progress; a new one takes the place of
// the one that has been silent longest, and the others still complete theirs.
TEST_F(UdpDecoding, PartialPacketsAreBoundedBySender) {
    const Bytes answer = Packet(0x0023, ScanAnswerBody(8, 2, {1, 2, 3, 4}, "P", {2, 0, 0, 0, 0, 1}));
    const Bytes head(answer.begin(), answer.begin() + 10);
    const Bytes tail(answer.begin() + 10, answer.end());
    const std::size_t senders = UdpPacketAssembler::kMaxPartialSenders + 3;
    for (std::size_t i = 0; i < senders; ++i)
        Feed(head, "127.0.1." + std::to_string(i));
    EXPECT_EQ(assembler.PartialPackets(), UdpPacketAssembler::kMaxPartialSenders);
    ScanTable found(nullptr, 0);
    for (std::size_t i = senders; i-- > 0;)
        Feed(tail, "127.0.1." + std::to_string(i), &found);
    // The three silent longest lost their heads; their tails only start packets of
    // their own, which stay incomplete.
    EXPECT_EQ(found.count(), static_cast<std::int32_t>(UdpPacketAssembler::kMaxPartialSenders));
    EXPECT_EQ(assembler.PartialPackets(), 3u);
}

TEST_F(UdpDecoding, ChecksumErrorIsCountedLoggedAndTheNextPacketDecodes) {
    Bytes bad = Packet(0x0023, ScanAnswerBody(8, 2, {1, 2, 3, 4}, "X", {2, 0, 0, 0, 0, 9}));
    bad.back() ^= 0x01;
    const Bytes good = Packet(0x0023, ScanAnswerBody(8, 2, {1, 2, 3, 4}, "G", {2, 0, 0, 0, 0, 1}));
    Feed(Concat(bad, good), "127.0.0.9");
    EXPECT_EQ(checksumErrors.load(), 1u);
    EXPECT_EQ(LastErrorText(), "ChecksumError occurs. Nb of ChecksumError = 1\t(Qorvi_NETPOD_SendData_MAINPORT)");
    ASSERT_EQ(table.count(), 1);
    EXPECT_EQ(modules[0].ModuleName[0], 'G');

    Bytes badHigh = good;
    badHigh[badHigh.size() - 2] ^= 0x80;
    Feed(badHigh);
    EXPECT_EQ(LastErrorText(), "ChecksumError occurs. Nb of ChecksumError = 2\t(Qorvi_NETPOD_SendData_MAINPORT)");
    EXPECT_EQ(table.count(), 1);
}

TEST_F(UdpDecoding, UnknownRegisterAndShortValuesEndTheBody) {
    // MAC before the unknown address: the module is complete and counted.
    Bytes body = ScanAnswerBody(8, 2, {1, 2, 3, 4}, "M", {2, 0, 0, 0, 0, 1});
    body.push_back(0x09);
    body.insert(body.end(), {0x11, 1, 2, 3, 4, 5, 6});   // never reached
    Feed(Packet(0x0023, body));
    EXPECT_EQ(LastErrorText(), kUnknownRegisterMessage);
    EXPECT_EQ(table.count(), 1);

    // A body that starts with an unknown address adds nothing.
    WriteErrorLog("marker", kNoIpText);
    Feed(Packet(0x0023, Concat(Bytes{0x09}, ScanAnswerBody(8, 2, {1, 2, 3, 4}, "N", {2, 0, 0, 0, 0, 2}))));
    EXPECT_EQ(LastErrorText(), kUnknownRegisterMessage);
    EXPECT_EQ(table.count(), 1);

    // A MAC whose value runs past the body end completes nothing and logs nothing.
    WriteErrorLog("marker", kNoIpText);
    Feed(Packet(0x0023, Bytes{0x00, 0, 8, 0, 2, 0x11, 1, 2, 3}));
    EXPECT_EQ(table.count(), 1);
    EXPECT_EQ(LastErrorText(), "marker");
    EXPECT_TRUE(Untouched(modules[1]));

    // An empty body with a correct checksum is dropped silently.
    Feed(Packet(0x0023, Bytes{}));
    EXPECT_EQ(LastErrorText(), "marker");
    EXPECT_EQ(checksumErrors.load(), 0u);
}

TEST_F(UdpDecoding, CountGoesBeyondCapacityAndNullTableStoresNothing) {
    ScanTable small(modules, 2);
    for (std::uint8_t i = 1; i <= 3; ++i)
        Feed(Packet(0x0023, ScanAnswerBody(8, 2, {1, 2, 3, 4}, "M", {2, 0, 0, 0, 0, i})), "127.0.0.2", &small);
    EXPECT_EQ(small.count(), 3);
    EXPECT_EQ(modules[1].MacAddress[5], 2);
    EXPECT_TRUE(Untouched(modules[2]));

    ScanTable none(nullptr, 5);
    Feed(Packet(0x0023, ScanAnswerBody(8, 2, {1, 2, 3, 4}, "M", {2, 0, 0, 0, 0, 4})), "127.0.0.2", &none);
    EXPECT_EQ(none.count(), 1);
}

TEST_F(UdpDecoding, InitialTestTakesTypeAndVersionScanAnswersDoNot) {
    DetectedModule detected{};
    TypeDetection detection(detected);
    Feed(Packet(0x0023, Bytes{0x00, 0x00, 0x08, 0x00, 0x02}), "127.0.0.2", &detection);
    EXPECT_EQ(detected.type[0], 8);
    EXPECT_EQ(detected.type[1], 2);
    EXPECT_EQ(detected.version[0], 0);
    Feed(Packet(0x0023, Bytes{0x01, 0x01, 0x02, 0x03, 0x04}), "127.0.0.2", &detection);
    EXPECT_EQ(detected.version[0], 3);
    EXPECT_EQ(detected.version[3], 2);

    // Answers decoded for a scan do not reach the test's result, and a body without
    // an ETHERNETMAC adds nothing to the scan.
    Feed(Packet(0x0023, Bytes{0x00, 0x00, 0x07, 0x00, 0x00}));
    EXPECT_EQ(detected.type[0], 8);
    EXPECT_EQ(table.count(), 0);
}

// A header that announces more than 65000 bytes must not make the assembler write
// past its buffer: the packet and the rest of its datagram are dropped, and the next
// datagram starts clean. Under AddressSanitizer an overrun would show here.
TEST_F(UdpDecoding, OversizeHeaderIsDroppedAndTheNextDatagramDecodes) {
    Bytes oversize = {0x00, 0x23, 0x00, 0x00, 0xFF, 0xFF};
    oversize.resize(1500, 0xEE);
    Feed(oversize);
    EXPECT_EQ(assembler.PartialPackets(), 0u);
    // 64993 bytes of body would just fit; 64993 + 8 = 65001 would not.
    Feed(Bytes{0x00, 0x23, 0x00, 0x00, 0xFD, 0xE9});
    EXPECT_EQ(assembler.PartialPackets(), 0u);
    EXPECT_EQ(checksumErrors.load(), 0u);

    Feed(Packet(0x0023, ScanAnswerBody(8, 2, {1, 2, 3, 4}, "R", {2, 0, 0, 0, 0, 1})));
    EXPECT_EQ(table.count(), 1);
    EXPECT_EQ(modules[0].ModuleName[0], 'R');
}

TEST_F(UdpDecoding, LargestPacketThatFitsIsAssembled) {
    Bytes body(kUdpRxBufferSize - kOstrakOverhead, 0x00);
    // TYPE items until the end: only the last one counts, nothing is logged.
    for (std::size_t i = 0; i + 5 <= body.size(); i += 5) {
        body[i + 2] = 8;
        body[i + 4] = 2;
    }
    DetectedModule detected{};
    TypeDetection detection(detected);
    const Bytes packet = Packet(0x0023, body);
    ASSERT_EQ(packet.size(), kUdpRxBufferSize);
    for (std::size_t offset = 0; offset < packet.size(); offset += 1472)
        Feed(Bytes(packet.begin() + static_cast<std::ptrdiff_t>(offset),
                   packet.begin() + static_cast<std::ptrdiff_t>(std::min(packet.size(), offset + 1472))),
             "127.0.0.2", &detection);
    EXPECT_EQ(detected.type[0], 8);
    EXPECT_EQ(detected.type[1], 2);
    EXPECT_EQ(assembler.PartialPackets(), 0u);
}

TEST(UdpAssembler, NothingReceivedReturnsFalse) {
    std::atomic<std::uint32_t> checksumErrors{0};
    UdpPacketAssembler assembler(nullptr, checksumErrors);
    ScanTable table(nullptr, 0);
    EXPECT_FALSE(assembler.AssembleUDP_Packet({}, "", 0, table));
    EXPECT_TRUE(assembler.AssembleUDP_Packet(Bytes{0x00}, "127.0.0.1", 7010, table));
}

TEST(IPText, ParseAndFormat) {
    std::int32_t v[4] = {0, 0, 0, 0};
    ParseIPText("192.168.0.7", v);
    EXPECT_EQ((std::array{v[0], v[1], v[2], v[3]}), (std::array{192, 168, 0, 7}));
    ParseIPText("10..1.2", v);
    EXPECT_EQ((std::array{v[0], v[1], v[2], v[3]}), (std::array{10, -1, 1, 2}));
    // With fewer than three dots the values without a piece keep what they held.
    std::int32_t w[4] = {7, 7, 7, 7};
    ParseIPText("1.2", w);
    EXPECT_EQ((std::array{w[0], w[1], w[2], w[3]}), (std::array{1, 7, 7, 7}));
    ParseIPText("", w);
    EXPECT_EQ(w[0], 1);
    ParseIPText("a.2.3.", w);
    EXPECT_EQ((std::array{w[0], w[1], w[2], w[3]}), (std::array{-1, 2, 3, -1}));

    const std::int32_t odd[4] = {300, 1, -1, 3};
    EXPECT_EQ(DottedIPText(odd), "300.1.-1.3");
}

}  // namespace
}  // namespace netpod
