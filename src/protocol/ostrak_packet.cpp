#include "protocol/ostrak_packet.h"

#include <cstring>

namespace netpod {

std::uint16_t OstrakChecksum(std::span<const std::uint8_t> bytes) {
    // Byte by byte, as a receiver walks a stream: an even position is the high byte
    // of its word, an odd one the low byte; an odd count leaves a word whose missing
    // low byte is 0, whose complement still contributes 0x00FF.
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i % 2 == 0)
            sum += (std::uint32_t{bytes[i]} << 8) ^ 0xFF00u;
        else
            sum += std::uint32_t{bytes[i]} ^ 0x00FFu;
    }
    if (bytes.size() % 2 != 0)
        sum += 0x00FFu;
    sum = (sum >> 16) + (sum & 0xFFFFu);
    sum = (sum >> 16) + (sum & 0xFFFFu);
    return static_cast<std::uint16_t>(sum);
}

void WriteOstrakChecksum(std::span<std::uint8_t> packet, std::size_t coveredLength) {
    WriteBigEndian16(packet.data() + coveredLength, OstrakChecksum(packet.first(coveredLength)));
}

std::size_t BuildOstrakPacket(std::uint16_t function, std::uint16_t askId, std::span<const std::uint8_t> body,
                              std::span<std::uint8_t> out) {
    if (body.size() > 0xFFFF || out.size() < body.size() + kOstrakOverhead)
        return 0;
    WriteBigEndian16(out.data(), function);
    WriteBigEndian16(out.data() + 2, askId);
    WriteBigEndian16(out.data() + 4, static_cast<std::uint16_t>(body.size()));
    if (!body.empty())
        std::memcpy(out.data() + kOstrakHeaderSize, body.data(), body.size());
    const std::size_t covered = kOstrakHeaderSize + body.size();
    WriteOstrakChecksum(out, covered);
    return covered + kOstrakChecksumSize;
}

std::uint16_t OstrakFunctionCode(std::span<const std::uint8_t> packet) {
    return ReadBigEndian16(packet.data());
}
std::uint16_t OstrakAskId(std::span<const std::uint8_t> packet) {
    return ReadBigEndian16(packet.data() + 2);
}
std::uint16_t OstrakBodyLength(std::span<const std::uint8_t> packet) {
    return ReadBigEndian16(packet.data() + 4);
}

bool VerifyOstrakPacket(std::span<const std::uint8_t> packet) {
    if (packet.size() < kOstrakOverhead)
        return false;
    const std::size_t covered = kOstrakHeaderSize + OstrakBodyLength(packet);
    if (packet.size() < covered + kOstrakChecksumSize)
        return false;
    return OstrakChecksum(packet.first(covered)) == ReadBigEndian16(packet.data() + covered);
}

}  // namespace netpod
