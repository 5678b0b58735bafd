// The UDP exchange of the initial TYPE test against a bare responder on loopback:
// the request on the wire, and what the library makes of odd datagrams.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "diagnostics/error_log.h"
#include "protocol/ip_text.h"
#include "discovery/module_probe.h"
#include "discovery/loopback_responder.h"
#include "discovery/udp_test_packets.h"

namespace netpod {
namespace {

using test::Bytes;
using test::LoopbackResponder;
using test::Packet;

constexpr char kNotFound[] = "Address IP not found on the network\t(MakeInitialTYPETest)";

Bytes TypeAnswer(std::uint8_t high, std::uint8_t low) { return Packet(0x0023, Bytes{0x00, 0, high, 0, low}); }

std::array<std::int32_t, 4> AddressValues(const std::string& text) {
    std::array<std::int32_t, 4> values{};
    std::sscanf(text.c_str(), "%d.%d.%d.%d", &values[0], &values[1], &values[2], &values[3]);
    return values;
}

class UdpExchange : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(responder.address().empty()) << "no loopback address could be bound"; }
    bool RunTest(DetectedModule& detected) { return MakeInitialTYPETest(AddressValues(responder.address()).data(), detected); }

    LoopbackResponder responder;
};

TEST_F(UdpExchange, RequestIsTheNineByteTypeRead) {
    responder.AnswerWith({TypeAnswer(8, 2)});
    DetectedModule detected{};
    EXPECT_TRUE(RunTest(detected));
    const auto requests = responder.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], (Bytes{0x00, 0x21, 0x00, 0x00, 0x00, 0x01, 0x00, 0xFF, 0xDD}));
}

// A datagram longer than the 30-byte receive buffer is cut by the system; the bytes
// that did arrive are taken as received, so the TYPE packet at its start counts.
TEST_F(UdpExchange, TruncatedDatagramStillCarriesItsFirstPacket) {
    Bytes long_datagram = TypeAnswer(8, 0);
    long_datagram.resize(80, 0x77);
    responder.AnswerWith({long_datagram});
    DetectedModule detected{};
    EXPECT_TRUE(RunTest(detected));
    EXPECT_EQ(detected.type[0], 8);
    EXPECT_EQ(detected.type[1], 0);
}

// Half a packet left in the assembler by one test must not swallow the answer of the
// next: every exchange starts clean.
TEST_F(UdpExchange, StrayPartialDatagramDoesNotBreakTheNextExchange) {
    const Bytes answer = TypeAnswer(8, 2);
    responder.AnswerWith({Bytes(answer.begin(), answer.begin() + 7)});
    DetectedModule detected{};
    EXPECT_FALSE(RunTest(detected));
    EXPECT_EQ(LastErrorText(), kNotFound);

    responder.AnswerWith({answer});
    EXPECT_TRUE(RunTest(detected));
    EXPECT_EQ(detected.type[1], 2);
}

TEST_F(UdpExchange, EmptyDatagramIsNoAnswer) {
    responder.AnswerWith({Bytes{}});
    DetectedModule detected{};
    EXPECT_FALSE(RunTest(detected));
    EXPECT_EQ(LastErrorText(), kNotFound);
}

TEST_F(UdpExchange, NullAddressFailsSilentlyAndSendsNothing) {
    WriteErrorLog("before", kNoIpText);
    DetectedModule detected{{5, 5}, {5, 5, 5, 5}};
    EXPECT_FALSE(MakeInitialTYPETest(nullptr, detected));
    EXPECT_EQ(detected.type[0], 0);
    EXPECT_EQ(LastErrorText(), "before");
    EXPECT_TRUE(responder.Requests().empty());
}

// Two tests started together each get the type their own module answered.
TEST(UdpExchangeConcurrency, EachTestGetsItsOwnDetection) {
    LoopbackResponder first, second;
    ASSERT_FALSE(first.address().empty());
    ASSERT_FALSE(second.address().empty());
    first.AnswerWith({TypeAnswer(8, 0)});
    second.AnswerWith({TypeAnswer(8, 2)});
    for (int round = 0; round < 5; ++round) {
        DetectedModule a{}, b{};
        bool okA = false, okB = false;
        std::thread other([&] { okA = MakeInitialTYPETest(AddressValues(first.address()).data(), a); });
        okB = MakeInitialTYPETest(AddressValues(second.address()).data(), b);
        other.join();
        EXPECT_TRUE(okA);
        EXPECT_TRUE(okB);
        EXPECT_EQ(a.type[1], 0);
        EXPECT_EQ(b.type[1], 2);
    }
}

}  // namespace
}  // namespace netpod
