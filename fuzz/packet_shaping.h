// Turns fuzz input into Ostrak packets that pass their checksum, so that the fuzzer
// spends its time in the decoders behind the checksum instead of in front of it: a
// random 16-bit checksum matches once in 65536 packets, and then only by chance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "protocol/ostrak_packet.h"

namespace netpod::fuzz {

// Walks `stream` as back-to-back packets and rewrites each header so that it fits:
// the body length is cut to at most `bodyCap` bytes and to what the stream still
// holds; when `functions` is not empty, the function code becomes one of them,
// chosen by the code that was there (the fourth choice of every four keeps it). Then
// writes the checksum. Bytes too few for a header and checksum stay as they are, a
// cut-off tail. Returns where each packet starts and ends.
struct PacketBounds {
    std::size_t begin;
    std::size_t end;
};

inline std::vector<PacketBounds> FixUpPackets(std::span<std::uint8_t> stream, std::size_t bodyCap,
                                              std::span<const std::uint16_t> functions) {
    std::vector<PacketBounds> packets;
    std::size_t at = 0;
    while (stream.size() - at >= kOstrakOverhead) {
        std::uint8_t* header = stream.data() + at;
        const std::size_t room = stream.size() - at - kOstrakOverhead;
        const std::size_t cap = room < bodyCap ? room : bodyCap;
        const std::size_t length = ReadBigEndian16(header + 4) % (cap + 1);
        WriteBigEndian16(header + 4, static_cast<std::uint16_t>(length));
        if (!functions.empty()) {
            const std::size_t choice = ReadBigEndian16(header) % (functions.size() + 1);
            if (choice < functions.size())
                WriteBigEndian16(header, functions[choice]);
        }
        const std::size_t covered = kOstrakHeaderSize + length;
        WriteOstrakChecksum(stream.subspan(at, covered + kOstrakChecksumSize), covered);
        packets.push_back({at, at + covered + kOstrakChecksumSize});
        at += covered + kOstrakChecksumSize;
    }
    return packets;
}

}  // namespace netpod::fuzz
