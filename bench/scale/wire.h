// The few bytes of the module protocol that the scale benchmark's peer and raw client
// need: framing, checksum, the read requests and the read answers.
//
// They are written here again rather than taken from the library, so that the raw
// client and the peer cannot share a fault with the code being measured; the library
// accepting the peer's answers (TypeValid, InputsValid) is the cross-check.
//
//   offset 0  function code (2 bytes, big-endian)
//          2  AskID         (2)
//          4  body length   (2)
//          6  body: for a read, register addresses; for its answer, each address
//             followed by its value
//   6 + n     checksum (2, high byte first)
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace scalebench::wire {

inline constexpr std::size_t kHeaderSize = 6;
inline constexpr std::size_t kFrameOverhead = 8;  // header and checksum

inline constexpr std::uint16_t kReadRegisters = 0x0021;
inline constexpr std::uint16_t kWriteRegisters = 0x0022;
inline constexpr std::uint16_t kReadAnswer = 0x0023;

inline constexpr std::uint8_t kRegisterType = 0x00;
inline constexpr std::uint8_t kRegisterInputs = 0x23;

// The values the peer reports. The library only serves module type 8.0 and 8.2.
inline constexpr std::uint16_t kPeerTypeHigh = 8;
inline constexpr std::uint16_t kPeerTypeLow = 2;
inline constexpr std::uint16_t kPeerInputs = 0x0005;  // inputs 0 and 2 on

// A read of one register: header, one address, checksum.
inline constexpr std::size_t kSingleReadSize = kFrameOverhead + 1;
// The answers to a read of TYPE (4 value bytes) and of INPUTS (2 value bytes).
inline constexpr std::size_t kTypeAnswerSize = kFrameOverhead + 1 + 4;
inline constexpr std::size_t kInputsAnswerSize = kFrameOverhead + 1 + 2;

// The module's checksum: the 16-bit complements of the big-endian words of header
// and body, summed and folded twice into 16 bits (end-around carry), with no final
// complement. An odd last byte is the high byte of a word whose low byte is zero.
std::uint16_t Checksum(std::span<const std::uint8_t> bytes);

// Writes a whole frame into `out`; returns its size, or 0 when it does not fit.
std::size_t BuildFrame(std::uint16_t function, std::uint16_t askId, std::span<const std::uint8_t> body,
                       std::span<std::uint8_t> out);

// The request that reads the one register at `address`.
std::array<std::uint8_t, kSingleReadSize> SingleReadRequest(std::uint8_t address);

// Value bytes of the registers the peer answers; 0 for a register it does not have.
// `value` must hold 4 bytes.
std::size_t PeerRegisterValue(std::uint8_t address, std::uint8_t* value);

// True when `frame` is a whole frame (no more, no less) with a matching checksum.
bool FrameIsWhole(std::span<const std::uint8_t> frame);

// True when `frame` is a whole, well-formed answer to a single read of `address`
// carrying the value the peer reports.
bool IsExpectedAnswer(std::span<const std::uint8_t> frame, std::uint8_t address);

// Cuts a byte stream into frames. Feed it what a socket delivered; it calls
// onFrame(span) for every frame completed and keeps a partial one for the next
// call. A frame longer than Capacity cannot be held: feed() returns false and the
// stream is out of step for good (the caller drops the connection).
template <std::size_t Capacity>
class FrameReader {
    static_assert(Capacity >= kFrameOverhead, "a frame reader must hold at least an empty frame");

public:
    template <class OnFrame>
    bool feed(std::span<const std::uint8_t> bytes, OnFrame&& onFrame) {
        std::size_t pos = 0;
        while (pos < bytes.size()) {
            const std::size_t target = needed();
            const std::size_t take = std::min(target - fill_, bytes.size() - pos);
            std::memcpy(buffer_.data() + fill_, bytes.data() + pos, take);
            fill_ += take;
            pos += take;
            if (fill_ < target)
                break;  // every byte is used; the frame goes on in the next batch
            if (target == kHeaderSize) {
                // The header is complete: its length field says how much follows.
                if (needed() > Capacity)
                    return false;
                continue;
            }
            onFrame(std::span<const std::uint8_t>(buffer_.data(), fill_));
            fill_ = 0;
        }
        return true;
    }

    bool partial() const { return fill_ != 0; }

private:
    // The size of the frame being assembled, as far as is known: the header alone
    // until it is complete, then the whole frame its length field announces.
    std::size_t needed() const {
        if (fill_ < kHeaderSize)
            return kHeaderSize;
        const std::size_t body = (std::size_t{buffer_[4]} << 8) | buffer_[5];
        return body + kFrameOverhead;
    }

    std::array<std::uint8_t, Capacity> buffer_{};
    std::size_t fill_ = 0;
};

}  // namespace scalebench::wire
