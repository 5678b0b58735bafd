#include "wire.h"

namespace scalebench::wire {
namespace {

void Put16(std::uint8_t* p, std::size_t value) {
    p[0] = static_cast<std::uint8_t>(value >> 8);
    p[1] = static_cast<std::uint8_t>(value);
}

std::size_t Get16(const std::uint8_t* p) {
    return (std::size_t{p[0]} << 8) | p[1];
}

}  // namespace

std::uint16_t Checksum(std::span<const std::uint8_t> bytes) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        const std::uint32_t low = i + 1 < bytes.size() ? bytes[i + 1] : 0u;
        const std::uint32_t word = (std::uint32_t{bytes[i]} << 8) | low;
        sum += ~word & 0xFFFFu;
    }
    sum = (sum & 0xFFFFu) + (sum >> 16);
    sum = (sum & 0xFFFFu) + (sum >> 16);
    return static_cast<std::uint16_t>(sum);
}

std::size_t BuildFrame(std::uint16_t function, std::uint16_t askId, std::span<const std::uint8_t> body,
                       std::span<std::uint8_t> out) {
    const std::size_t size = body.size() + kFrameOverhead;
    if (body.size() > 0xFFFF || out.size() < size)
        return 0;
    Put16(out.data(), function);
    Put16(out.data() + 2, askId);
    Put16(out.data() + 4, body.size());
    std::copy(body.begin(), body.end(), out.begin() + kHeaderSize);
    Put16(out.data() + kHeaderSize + body.size(), Checksum(out.first(kHeaderSize + body.size())));
    return size;
}

std::array<std::uint8_t, kSingleReadSize> SingleReadRequest(std::uint8_t address) {
    std::array<std::uint8_t, kSingleReadSize> request{};
    const std::uint8_t body[1] = {address};
    BuildFrame(kReadRegisters, 0, body, request);
    return request;
}

std::size_t PeerRegisterValue(std::uint8_t address, std::uint8_t* value) {
    // Only what the benchmark reads, plus the registers of the repetitive ask, so
    // that a library that asks for more still gets answers it can decode.
    if (address >= 0x30 && address <= 0x3F) {  // INPUTVOLTAGEVALUE 0..15, fixed point 16.16
        const bool on = ((kPeerInputs >> (address - 0x30)) & 1u) != 0;
        Put16(value, on ? 24 : 0);
        Put16(value + 2, 0);
        return 4;
    }
    switch (address) {
        case kRegisterType:
            Put16(value, kPeerTypeHigh);
            Put16(value + 2, kPeerTypeLow);
            return 4;
        case 0x01:  // VERSION, the "00 02 00 05" form
            Put16(value, 2);
            Put16(value + 2, 5);
            return 4;
        case 0x07:  // VOLTAGE: 24.0 V
            Put16(value, 24);
            Put16(value + 2, 0);
            return 4;
        case 0x08:  // WARNINGS: none
            Put16(value, 0);
            Put16(value + 2, 0);
            return 4;
        case kRegisterInputs:
            Put16(value, kPeerInputs);
            return 2;
        default:
            return 0;
    }
}

bool FrameIsWhole(std::span<const std::uint8_t> frame) {
    if (frame.size() < kFrameOverhead)
        return false;
    const std::size_t covered = kHeaderSize + Get16(frame.data() + 4);
    if (frame.size() != covered + 2)
        return false;
    return Checksum(frame.first(covered)) == Get16(frame.data() + covered);
}

bool IsExpectedAnswer(std::span<const std::uint8_t> frame, std::uint8_t address) {
    if (!FrameIsWhole(frame) || Get16(frame.data()) != kReadAnswer)
        return false;
    std::uint8_t value[4];
    const std::size_t width = PeerRegisterValue(address, value);
    const auto body = frame.subspan(kHeaderSize, frame.size() - kFrameOverhead);
    return width != 0 && body.size() == 1 + width && body[0] == address &&
           std::equal(value, value + width, body.begin() + 1);
}

}  // namespace scalebench::wire
