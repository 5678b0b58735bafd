#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "protocol/ostrak_packet.h"
#include "protocol/response_analysis.h"

namespace netpod {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Packet(std::uint16_t function, std::uint16_t askId, const Bytes& body) {
    Bytes out(body.size() + kOstrakOverhead);
    EXPECT_EQ(BuildOstrakPacket(function, askId, body, out), out.size());
    return out;
}

Bytes Answer(const Bytes& items) { return Packet(kReadAnswer, 0, items); }

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<std::pair<std::string, std::string>> gReports;

bool CaptureReport(std::string_view message, std::string_view ipText) {
    gReports.emplace_back(message, ipText);
    return true;
}

class ResponseAnalysis : public ::testing::Test {
protected:
    void SetUp() override {
        gReports.clear();
        std::memset(&values, 0, sizeof values);
    }

    int Feed(const Bytes& bytes) { return assembler.ReceivedRawData(bytes, values); }

    ResponseAssembler assembler{&CaptureReport};
    RegisterValues values;
};

TEST_F(ResponseAnalysis, DecodesEveryEncoding) {
    const Bytes items = {
        0x00, 0x00, 0x08, 0x00, 0x02,                          // TYPE 8, 2
        0x07, 0xFF, 0xFF, 0x80, 0x00,                          // VOLTAGE -0.5
        0x08, 0x80, 0x00, 0x00, 0x01,                          // WARNINGS 31 and 0
        0x0B, 0xFF, 0xFF, 0xFF, 0xFE,                          // NBPOWERUP, unsigned
        0x0C, 0x00, 0x01, 0x00, 0x00,                          // TIMEINSERVICE 65536
        0x10, 0x01, 0x00, 0x80, 0x02,                          // COMOPTIONS 24, 15, 1
        0x11, 0x02, 0x00, 0x5E, 0xAB, 0xCD, 0xEF,              // ETHERNETMAC
        0x12, 127, 0, 0, 2,                                    // IPADDRESS
        0x13, 255, 255, 0, 0,                                  // SUBNETMASK
        0x14, 200,                                             // TCPTIMEOUT, one unsigned byte
        0x15, 'N', 'E', 'T', 'P', 'O', 'D', '-', '0', '1', 0, 'x', 'y', 'z', 0, 0, 0xFF,
        0x16, 135,                                             // RS232CONFIG
        0x18, 99,                                              // I2CSPD
        0x1A, 3,                                               // TCPCONNECTIONSOPENED
        0x20, 0xFF, 0xF4, 0x00, 0x00,                          // ANALOGINPUTSTHRESHOLD -12
        0x21, 0x02, 0x01,                                      // OUTPUTS 9 and 0
        0x23, 0x80, 0x40,                                      // INPUTS 15 and 6
        0x30, 0x00, 0x18, 0x00, 0x00,                          // input voltage 0: 24.0
        0x3F, 0xFF, 0xFF, 0xC0, 0x00,                          // input voltage 15: -0.25
    };
    EXPECT_EQ(Feed(Answer(items)), 1);
    EXPECT_TRUE(gReports.empty());

    EXPECT_TRUE(values.TypeValid);
    EXPECT_EQ(values.TypeHigh, 8);
    EXPECT_EQ(values.TypeLow, 2);
    EXPECT_TRUE(values.VoltageValid);
    EXPECT_FLOAT_EQ(values.Voltage, -0.5f);
    EXPECT_TRUE(values.WarningsValid);
    for (int k = 0; k < 32; ++k)
        EXPECT_EQ(values.Warnings[k], k == 0 || k == 31) << "warning " << k;
    EXPECT_TRUE(values.NbPowerUpValid);
    EXPECT_EQ(values.NbPowerUp, 0xFFFFFFFEu);
    EXPECT_EQ(values.TimeInService, 65536u);
    for (int k = 0; k < 32; ++k)
        EXPECT_EQ(values.ComOptions[k], k == 1 || k == 15 || k == 24) << "option " << k;
    const std::int32_t mac[6] = {0x02, 0x00, 0x5E, 0xAB, 0xCD, 0xEF};
    EXPECT_EQ(0, std::memcmp(values.EthernetMAC, mac, sizeof mac));
    const std::int32_t ip[4] = {127, 0, 0, 2};
    EXPECT_EQ(0, std::memcmp(values.IPAddress, ip, sizeof ip));
    const std::int32_t mask[4] = {255, 255, 0, 0};
    EXPECT_EQ(0, std::memcmp(values.SubnetMask, mask, sizeof mask));
    EXPECT_EQ(values.TCPTimeout, 200);
    EXPECT_EQ(0, std::memcmp(values.ModuleName, "NETPOD-01\0xyz\0\0\xFF", 16));
    EXPECT_TRUE(values.ModuleNameValid);
    EXPECT_EQ(values.RS232Config, 135);
    EXPECT_EQ(values.I2CSpeed, 99);
    EXPECT_EQ(values.TCPConnectionsOpened, 3);
    EXPECT_FLOAT_EQ(values.AnalogInputsThreshold, -12.0f);
    for (int k = 0; k < 16; ++k) {
        EXPECT_EQ(values.Outputs[k], k == 0 || k == 9) << "output " << k;
        EXPECT_EQ(values.Inputs[k], k == 6 || k == 15) << "input " << k;
    }
    EXPECT_TRUE(values.OutputsValid && values.InputsValid && values.IPAddressValid && values.SubnetMaskValid &&
                values.EthernetMACValid && values.TCPTimeoutValid && values.RS232ConfigValid &&
                values.I2CSpeedValid && values.TCPConnectionsOpenedValid && values.AnalogInputsThresholdValid &&
                values.ComOptionsValid && values.TimeInServiceValid);
    EXPECT_FLOAT_EQ(values.InputVoltage[0], 24.0f);
    EXPECT_FLOAT_EQ(values.InputVoltage[15], -0.25f);
    EXPECT_TRUE(values.InputVoltageValid[0] && values.InputVoltageValid[15]);
    EXPECT_FALSE(values.InputVoltageValid[1]);
    EXPECT_FALSE(values.VersionValid);
}

TEST_F(ResponseAnalysis, VersionForms) {
    Feed(Answer({0x01, 0x00, 0x02, 0x00, 0x05, 0x07, 0x00, 0x18, 0x00, 0x00}));
    EXPECT_TRUE(values.VersionValid);
    EXPECT_EQ(values.VersionA, 2);
    EXPECT_EQ(values.VersionB, 5);
    EXPECT_EQ(values.VersionC, 0);
    EXPECT_EQ(values.VersionD, 0);
    EXPECT_FLOAT_EQ(values.Voltage, 24.0f);

    Feed(Answer({0x01, 0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(values.VersionA, 3);
    EXPECT_EQ(values.VersionB, 4);
    EXPECT_EQ(values.VersionC, 1);
    EXPECT_EQ(values.VersionD, 2);

    // In the first form the words are 16 bits wide.
    Feed(Answer({0x01, 0x00, 0xFF, 0x12, 0x34}));
    EXPECT_EQ(values.VersionA, 0xFF);
    EXPECT_EQ(values.VersionB, 0x1234);
}

TEST_F(ResponseAnalysis, PacketsAcrossAndWithinBatches) {
    const Bytes first = Answer({0x00, 0x00, 0x08, 0x00, 0x02});
    const Bytes second = Answer({0x07, 0x00, 0x18, 0x00, 0x00});

    // Five bytes complete nothing; the rest completes the answer.
    EXPECT_EQ(Feed(Bytes(first.begin(), first.begin() + 5)), 0);
    EXPECT_FALSE(values.TypeValid);
    EXPECT_EQ(assembler.RxCount(), 5);
    EXPECT_EQ(Feed(Bytes(first.begin() + 5, first.end())), 1);
    EXPECT_TRUE(values.TypeValid);
    EXPECT_EQ(values.TypeLow, 2);
    EXPECT_EQ(assembler.RxCount(), 0);
    EXPECT_EQ(assembler.RxNeed(), 6);

    // Two answers in one batch are both decoded, in order: the later VOLTAGE wins.
    std::memset(&values, 0, sizeof values);
    const Bytes later = Answer({0x07, 0x00, 0x0C, 0x00, 0x00});
    EXPECT_EQ(Feed(Concat({first, second, later})), 3);
    EXPECT_TRUE(values.TypeValid);
    EXPECT_FLOAT_EQ(values.Voltage, 12.0f);

    // Byte by byte gives the same result, and a batch may end one packet, hold a
    // whole one and begin a third.
    std::memset(&values, 0, sizeof values);
    int completed = 0;
    for (std::uint8_t b : first)
        completed += Feed({b});
    EXPECT_EQ(completed, 1);
    EXPECT_EQ(values.TypeHigh, 8);
    const Bytes stream = Concat({first, second, later});
    EXPECT_EQ(Feed(Bytes(stream.begin(), stream.begin() + 3)), 0);
    EXPECT_EQ(Feed(Bytes(stream.begin() + 3, stream.end() - 4)), 2);
    EXPECT_EQ(Feed(Bytes(stream.end() - 4, stream.end())), 1);
    EXPECT_TRUE(gReports.empty());
}

TEST_F(ResponseAnalysis, ChecksumErrorsAreCountedAndLoggedWithTheirCount) {
    ResponseAssembler logged{&CaptureReport};
    Bytes bad = Answer({0x00, 0x00, 0x08, 0x00, 0x02});
    bad.back() ^= 0x01;
    logged.ReceivedRawData(bad, values);
    ASSERT_FALSE(gReports.empty());
    EXPECT_EQ(gReports.back().first, "ChecksumError occurs. Nb of ChecksumError = 1\t(ReceivedRawData)");
    EXPECT_FALSE(values.TypeValid);

    // The count keeps rising across batches; a good packet in between does not reset it.
    logged.ReceivedRawData(Answer({0x14, 9}), values);
    Bytes badHigh = Answer({0x07, 0x00, 0x18, 0x00, 0x00});
    badHigh[badHigh.size() - 2] ^= 0x80;
    logged.ReceivedRawData(badHigh, values);
    EXPECT_EQ(gReports.back().first, "ChecksumError occurs. Nb of ChecksumError = 2\t(ReceivedRawData)");
    EXPECT_EQ(logged.NbChecksumError(), 2);
    EXPECT_TRUE(values.TCPTimeoutValid);
    EXPECT_FALSE(values.VoltageValid);

    // The entries concern no particular address.
    gReports.clear();
    Feed(bad);
    ASSERT_EQ(gReports.size(), 1u);
    EXPECT_EQ(gReports[0].second, "0");
}

TEST_F(ResponseAnalysis, UnknownAddressKeepsTheItemsBeforeIt) {
    const Bytes stream = Concat({
        Answer({0x00, 0x00, 0x08, 0x00, 0x02, 0x09, 0x01, 0x02, 0x03, 0x04, 0x07, 0x00, 0x18, 0x00, 0x00}),
        Answer({0x14, 42}),
    });
    EXPECT_EQ(Feed(stream), 2);
    EXPECT_TRUE(values.TypeValid);
    EXPECT_FALSE(values.VoltageValid);
    // The stream stays in step: the next packet is decoded.
    EXPECT_EQ(values.TCPTimeout, 42);
    ASSERT_EQ(gReports.size(), 1u);
    EXPECT_EQ(gReports[0].first, "Register address of received data unknown\t(ReceivedDataAnalyse)");
    EXPECT_EQ(gReports[0].second, "0");

    // A command address carries no value and cannot be answered either.
    gReports.clear();
    Feed(Answer({0x02, 0x14, 43}));
    EXPECT_EQ(values.TCPTimeout, 42);
    ASSERT_EQ(gReports.size(), 1u);
    EXPECT_EQ(gReports[0].first, "Register address of received data unknown\t(ReceivedDataAnalyse)");
}

TEST_F(ResponseAnalysis, ItemCutShortByTheBodyIsNotDecoded) {
    // VOLTAGE with two of its four value bytes: the checksum must not be read as the rest.
    Feed(Answer({0x14, 7, 0x07, 0x00, 0x18}));
    EXPECT_TRUE(values.TCPTimeoutValid);
    EXPECT_FALSE(values.VoltageValid);
    ASSERT_EQ(gReports.size(), 1u);
    EXPECT_EQ(gReports[0].first, "Register item of received data truncated\t(ReceivedDataAnalyse)");
}

TEST_F(ResponseAnalysis, PacketsWithoutEffectAreStillConsumed) {
    RegisterValues before;
    std::memcpy(&before, &values, sizeof values);
    const Bytes stream = Concat({
        Packet(kReadAnswer, 0, {}),                        // empty ReadAnswer
        Packet(kWriteRegisters, 0, {}),                    // the module's answer to a write
        Packet(0x0099, 5, {0x00, 0x00, 0x08, 0x00, 0x02}), // unknown code with a TYPE-like body
        Packet(kI2CTransferAnswer, 5, {}),                 // empty I2C answer
    });
    EXPECT_EQ(Feed(stream), 4);
    EXPECT_EQ(0, std::memcmp(&before, &values, sizeof values));
    EXPECT_TRUE(gReports.empty());
    Feed(Answer({0x1A, 1}));
    EXPECT_TRUE(values.TCPConnectionsOpenedValid);
}

TEST_F(ResponseAnalysis, I2CAndScanAnswersAreStoredAndCutToFit) {
    Bytes data(200);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i + 1);

    Feed(Packet(kI2CTransferAnswer, 0xBEEF, Bytes(data.begin(), data.begin() + 3)));
    EXPECT_TRUE(values.I2CAnswerValid);
    EXPECT_EQ(values.I2CAnswerLength, 3);
    EXPECT_EQ(values.I2CAnswerAskID, 0xBEEF);
    EXPECT_EQ(values.I2CAnswer[2], 3);

    // 200 bytes are cut to the 180 of the record; what follows it is untouched.
    values.I2CAnswerAskID = 0;
    Feed(Packet(kI2CTransferAnswer, 7, data));
    EXPECT_EQ(values.I2CAnswerLength, 180);
    EXPECT_EQ(values.I2CAnswer[179], 180);
    EXPECT_EQ(values.I2CAnswerAskID, 7);

    Feed(Packet(kI2CScanAnswer, 0, Bytes(data.begin(), data.begin() + 150)));
    EXPECT_TRUE(values.ScanI2CValid);
    EXPECT_EQ(values.ScanI2CLength, 127);
    EXPECT_EQ(values.ScanI2CAnswer[126], 127);

    Feed(Packet(kI2CScanAnswer, 0, {0x50, 0x51}));
    EXPECT_EQ(values.ScanI2CLength, 2);
    EXPECT_EQ(values.ScanI2CAnswer[1], 0x51);
    EXPECT_TRUE(gReports.empty());
}

TEST_F(ResponseAnalysis, OversizedLengthIsReportedAndTheStreamResynchronises) {
    // A body of 712 bytes is the most the assembly buffer holds: still accepted.
    Bytes largest(712, 0xA5);
    Feed(Packet(kI2CTransferAnswer, 1, largest));
    EXPECT_EQ(values.I2CAnswerLength, 180);
    EXPECT_EQ(assembler.NbOversizedPacket(), 0);

    // 713 bytes are one too many: no answer is that long, so the length field is no
    // framing to trust. The stream is searched from the next byte; the whole answer
    // that lies inside the "body" checks out and is taken, so is the one behind it.
    Bytes body = Answer({0x14, 66});
    body.resize(713, 0x00);
    const Bytes stream = Concat({
        {0x00, 0x23, 0x00, 0x00, 0x02, 0xC9},   // ReadAnswer header announcing 713 body bytes
        body,
        {0x12, 0x34},                           // its "checksum"
        Answer({0x14, 77}),
    });

    // Delivered in pieces, so that the search spans batches.
    // The report, the answer 66, then the zeros behind it, whose first eight bytes
    // read as a packet that fails its checksum.
    EXPECT_EQ(Feed(Bytes(stream.begin(), stream.begin() + 100)), 3);
    EXPECT_EQ(values.TCPTimeout, 66);
    EXPECT_EQ(Feed(Bytes(stream.begin() + 100, stream.begin() + 600)), 0);
    EXPECT_EQ(Feed(Bytes(stream.begin() + 600, stream.end())), 1);
    EXPECT_EQ(values.TCPTimeout, 77);
    EXPECT_EQ(assembler.NbOversizedPacket(), 1);
    EXPECT_EQ(assembler.NbChecksumError(), 1);
    ASSERT_EQ(gReports.size(), 2u);
    EXPECT_EQ(gReports[0].first, "Received packet too long. Body length = 713\t(ReceivedRawData)");

    // The largest length field, and 64 KiB of bytes behind it, hold nothing up.
    const Bytes maximal = {0x00, 0x23, 0x00, 0x00, 0xFF, 0xFF};
    Feed(maximal);
    EXPECT_TRUE(assembler.Resynchronising());
    Feed(Bytes(65537, 0xEE));
    EXPECT_LE(assembler.RxCount(), kRxPacketCapacity);
    Feed(Answer({0x14, 88}));
    EXPECT_EQ(values.TCPTimeout, 88);
    EXPECT_FALSE(assembler.Resynchronising());
}

// Garbage of many shapes (what a faulty peer or a confused network sends) costs the
// answers that follow nothing: each is decoded, and only the first failure of a run
// is reported.
TEST_F(ResponseAnalysis, AnswersAfterGarbageAreAllDelivered) {
    std::mt19937 random(0x9A4BA6E);
    const auto randomBytes = [&](std::size_t n) {
        Bytes b(n);
        for (auto& x : b)
            x = static_cast<std::uint8_t>(random());
        return b;
    };
    Bytes bad = Answer({0x14, 1});
    bad.back() ^= 0xFF;
    const std::vector<Bytes> garbage = {
        randomBytes(7),
        randomBytes(40),
        {0x00, 0x23, 0xA6, 0x0C, 0x00, 0x00, 0x01},   // a header announcing 42,508 bytes
        bad,
        randomBytes(1500),
        Bytes(3, 0x00),
    };
    for (std::size_t g = 0; g < garbage.size(); ++g) {
        SCOPED_TRACE(g);
        Feed(garbage[g]);
        // Three exchanges follow, each answer in a batch of its own, as a module
        // sends them: each is decoded as it arrives.
        for (int exchange = 0; exchange < 3; ++exchange) {
            const auto timeout = static_cast<std::uint8_t>(10 + g * 3 + static_cast<std::size_t>(exchange));
            Feed(Answer({0x14, timeout}));
            EXPECT_EQ(values.TCPTimeout, timeout) << "exchange " << exchange;
            EXPECT_FALSE(assembler.Resynchronising());
        }
    }
    EXPECT_LE(assembler.NbChecksumError() + assembler.NbOversizedPacket(), static_cast<int>(garbage.size()));

    // A header that an answer could have holds what follows until its packet is whole
    // (at most 720 bytes), and is then judged: the answers behind it are all decoded.
    Feed({0x00, 0x23, 0x00, 0x01, 0x02, 0x00});
    Feed(Answer({0x14, 50}));
    Feed(Bytes(600, 0xEE));
    Feed(Answer({0x14, 51}));
    EXPECT_EQ(values.TCPTimeout, 51);
    EXPECT_FALSE(assembler.Resynchronising());
}

TEST_F(ResponseAnalysis, ClearValidFlagsLeavesTheI2CAnswersAlone) {
    std::memset(&values, 1, sizeof values);
    ResponseAssembler::ClearValidFlags(values);
    EXPECT_FALSE(values.TypeValid || values.VersionValid || values.VoltageValid || values.WarningsValid ||
                 values.NbPowerUpValid || values.TimeInServiceValid || values.ComOptionsValid ||
                 values.EthernetMACValid || values.IPAddressValid || values.SubnetMaskValid ||
                 values.TCPTimeoutValid || values.ModuleNameValid || values.RS232ConfigValid ||
                 values.I2CSpeedValid || values.TCPConnectionsOpenedValid || values.AnalogInputsThresholdValid ||
                 values.OutputsValid || values.InputsValid);
    for (bool valid : values.InputVoltageValid)
        EXPECT_FALSE(valid);
    EXPECT_TRUE(values.I2CAnswerValid);
    EXPECT_TRUE(values.ScanI2CValid);
    EXPECT_TRUE(values.OutputsWritten);   // written flags belong to the exchange's build
}

}  // namespace
}  // namespace netpod
