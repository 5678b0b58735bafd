// The state that the UDP utilities (scan, change of IP address, initial TYPE test)
// keep between the datagrams of one exchange and across exchanges, and the result
// of an initial TYPE test.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "protocol/error_reporter.h"
#include "protocol/ostrak_packet.h"

namespace netpod {

// The reassembly buffer holds one packet of up to 65000 bytes, header and checksum
// included; a header announcing more is dropped (see AssembleUDP_Packet). This is a
// limit on one UDP packet, not the size of a TCP receive batch, which only happens
// to have the same value.
inline constexpr std::size_t kUdpRxBufferSize = 65000;

// TYPE and VERSION of the module that answered an initial TYPE test.
struct DetectedModule {
    std::int32_t type[2];      // TYPE high word, low word
    std::int32_t version[4];   // VERSION in the stored order of DecodeVersion
};

// Packet reassembly across datagrams: bytes stored so far, bytes still expected for
// the header or for body plus checksum, and whether the header is complete.
struct UdpRxBuffer {
    std::array<std::uint8_t, kUdpRxBufferSize> bytes{};
    std::size_t fill = 0;
    std::size_t expected = kOstrakHeaderSize;
    bool headerComplete = false;

    void Reset() {
        fill = 0;
        expected = kOstrakHeaderSize;
        headerComplete = false;
    }
};

// What the assembler keeps. The process holds one instance (ProcessUdpState in
// udp_exchange.cpp), written and read only by the utility that holds the utilities'
// mutex; the tests make their own.
struct UdpExchangeState {
    // Where checksum errors and unknown registers are reported; nothing when null.
    ErrorReporter report = nullptr;
    UdpRxBuffer rx;
    // Packets whose checksum did not match, since the process started.
    std::uint32_t checksumErrorCount = 0;
};

}  // namespace netpod
