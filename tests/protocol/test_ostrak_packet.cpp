#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "protocol/ostrak_packet.h"

namespace netpod {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(OstrakChecksum, WorkedExamples) {
    EXPECT_EQ(OstrakChecksum(Bytes{0x61, 0x62, 0x63}), 0x3B9D);
    EXPECT_EQ(OstrakChecksum(Bytes{0x00, 0x21, 0x00, 0x00, 0x00, 0x01, 0x00}), 0xFFDD);
    EXPECT_EQ(OstrakChecksum(Bytes{}), 0x0000);
    EXPECT_EQ(OstrakChecksum(Bytes{0xFF, 0xFF}), 0x0000);
}

// The byte-by-byte walk must equal the word-wise definition for every length,
// odd lengths included.
TEST(OstrakChecksum, AgreesWithWordwiseDefinition) {
    Bytes bytes;
    for (int n = 0; n < 64; ++n) {
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i < bytes.size(); i += 2) {
            const std::uint32_t word = (std::uint32_t{bytes[i]} << 8) | (i + 1 < bytes.size() ? bytes[i + 1] : 0);
            sum += 0xFFFF - word;
        }
        sum = (sum >> 16) + (sum & 0xFFFF);
        sum = (sum >> 16) + (sum & 0xFFFF);
        EXPECT_EQ(OstrakChecksum(bytes), sum) << "length " << bytes.size();
        bytes.push_back(static_cast<std::uint8_t>(n * 37 + 11));
    }
}

TEST(OstrakPacket, BuildsTheTypeReadOfTheWire) {
    std::array<std::uint8_t, 16> out{};
    const std::uint8_t body[] = {0x00};
    ASSERT_EQ(BuildOstrakPacket(kReadRegisters, 0, body, out), 9u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 9), (Bytes{0x00, 0x21, 0x00, 0x00, 0x00, 0x01, 0x00, 0xFF, 0xDD}));
    EXPECT_TRUE(VerifyOstrakPacket(std::span(out).first(9)));
}

TEST(OstrakPacket, EmptyBodyIsEightBytesAndTooSmallOutputIsRefused) {
    std::array<std::uint8_t, 8> out{};
    ASSERT_EQ(BuildOstrakPacket(kI2CScan, 0, {}, out), 8u);
    EXPECT_EQ(Bytes(out.begin(), out.end()), (Bytes{0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFA}));
    const std::uint8_t body[] = {1};
    EXPECT_EQ(BuildOstrakPacket(kReadRegisters, 0, body, out), 0u);
}

TEST(OstrakPacket, VerifyRejectsEitherChecksumByteAndShortInput) {
    std::array<std::uint8_t, 16> out{};
    const std::uint8_t body[] = {0x07, 0x08};
    const std::size_t n = BuildOstrakPacket(kReadRegisters, 0x1234, body, out);
    ASSERT_EQ(n, 10u);
    EXPECT_EQ(OstrakAskId(out), 0x1234);
    EXPECT_EQ(OstrakBodyLength(out), 2);
    for (std::size_t at : {n - 2, n - 1}) {
        auto bad = out;
        bad[at] ^= 0x01;
        EXPECT_FALSE(VerifyOstrakPacket(std::span(bad).first(n)));
    }
    EXPECT_FALSE(VerifyOstrakPacket(std::span(out).first(n - 1)));
    EXPECT_FALSE(VerifyOstrakPacket(std::span(out).first(5)));
}

}  // namespace
}  // namespace netpod
