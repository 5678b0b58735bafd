// Ostrak packets: the framing and checksum of every exchange with a module on its
// main TCP port and over UDP.
//
//   offset 0  function code (2 bytes, big-endian)
//          2  AskID         (2)
//          4  body length   (2)
//          6  body
//   6 + n     checksum of the header and body (2, high byte first)
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace netpod {

inline constexpr std::size_t kOstrakHeaderSize = 6;
inline constexpr std::size_t kOstrakChecksumSize = 2;
inline constexpr std::size_t kOstrakOverhead = kOstrakHeaderSize + kOstrakChecksumSize;

enum OstrakFunction : std::uint16_t {
    kI2CScan = 0x0005,
    kI2CScanAnswer = 0x0006,
    kI2CTransfer = 0x0007,
    kI2CTransferAnswer = 0x0008,
    kReadRegisters = 0x0021,
    kWriteRegisters = 0x0022,
    kReadAnswer = 0x0023,
    kSetIPConfiguration = 0x002A,
};

// The Ostrak checksum: the sum of the 16-bit complements of the big-endian words of
// the bytes (an odd last byte is the high byte of its word), folded twice into 16
// bits and not complemented again. Close to the Internet checksum, but a result the
// latter gives as 0xFFFF can come out as 0x0000 and the other way round.
std::uint16_t OstrakChecksum(std::span<const std::uint8_t> bytes);

// Builds header, body and checksum into `out`. Returns the packet size, or 0 when
// `out` is too small or the body longer than 65535 bytes.
std::size_t BuildOstrakPacket(std::uint16_t function, std::uint16_t askId, std::span<const std::uint8_t> body,
                              std::span<std::uint8_t> out);

// Writes the checksum of the `coveredLength` bytes at the start of `packet` right
// behind them. `packet` must hold coveredLength + 2 bytes.
void WriteOstrakChecksum(std::span<std::uint8_t> packet, std::size_t coveredLength);

// True when `packet` holds a whole packet (header, the body its length field
// announces, checksum) whose checksum matches. Bytes beyond it are ignored.
bool VerifyOstrakPacket(std::span<const std::uint8_t> packet);

// Header fields of a packet of at least six bytes.
std::uint16_t OstrakFunctionCode(std::span<const std::uint8_t> packet);
std::uint16_t OstrakAskId(std::span<const std::uint8_t> packet);
std::uint16_t OstrakBodyLength(std::span<const std::uint8_t> packet);

// Big-endian helpers shared by the encoders and decoders.
inline std::uint16_t ReadBigEndian16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t ReadBigEndian32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
inline void WriteBigEndian16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
inline void WriteBigEndian32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

}  // namespace netpod
