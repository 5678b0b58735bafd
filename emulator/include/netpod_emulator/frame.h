// The module's own framing of Ostrak packets: function code, AskID and body length
// (big-endian, 2 bytes each), the body, then a 2-byte checksum of header and body.
// Written apart from the library's packet code on purpose, so that a fault in one
// cannot hide behind the same fault in the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace netpod::emu {

inline constexpr std::size_t kHeaderSize = 6;
inline constexpr std::size_t kFrameOverhead = 8;  // header and checksum

enum FunctionCode : std::uint16_t {
    kCodeI2CScan = 0x0005,
    kCodeI2CScanAnswer = 0x0006,
    kCodeI2CTransfer = 0x0007,
    kCodeI2CTransferAnswer = 0x0008,
    kCodeReadRegisters = 0x0021,
    kCodeWriteRegisters = 0x0022,
    kCodeReadAnswer = 0x0023,
    kCodeSetIpConfiguration = 0x002A,
};

// Sum of the 16-bit complements of the big-endian words (an odd last byte is a high
// byte), folded twice, not complemented again.
std::uint16_t FrameChecksum(std::span<const std::uint8_t> bytes);

std::vector<std::uint8_t> BuildFrame(std::uint16_t code, std::uint16_t askId,
                                     std::span<const std::uint8_t> body);

struct Frame {
    std::uint16_t code = 0;
    std::uint16_t askId = 0;
    std::vector<std::uint8_t> body;
    bool checksumOk = false;
};

// Reads the one frame at the start of `bytes` when it is complete; `used` receives
// its size. Nothing when fewer bytes than the frame needs are there.
std::optional<Frame> ParseFrame(std::span<const std::uint8_t> bytes, std::size_t* used = nullptr);

// Cuts a byte stream into frames by their length fields, across any split of the
// stream. A length above maxBody marks the stream as broken (nothing more is
// returned; the caller closes the connection).
class FrameAssembler {
public:
    explicit FrameAssembler(std::size_t maxBody = 4096) : maxBody_(maxBody) {}
    // Appends bytes and returns every frame they complete, with its raw bytes.
    std::vector<std::pair<Frame, std::vector<std::uint8_t>>> feed(std::span<const std::uint8_t> bytes);
    bool broken() const { return broken_; }
    std::size_t pending() const { return buffer_.size(); }

private:
    std::size_t maxBody_;
    std::vector<std::uint8_t> buffer_;
    bool broken_ = false;
};

}  // namespace netpod::emu
