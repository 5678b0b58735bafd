// Decoding of the bodies of UDP read answers: the registers a module reports over
// UDP, into the scan table and the result of the initial TYPE test.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "protocol/udp_exchange_state.h"

namespace netpod {

// Register addresses that can appear in a UDP answer, with their value widths.
enum UdpRegister : std::uint8_t {
    kUdpRegisterType = 0x00,         // 4 bytes: two big-endian words
    kUdpRegisterVersion = 0x01,      // 4 bytes: see DecodeVersion
    kUdpRegisterEthernetMac = 0x11,  // 6 bytes
    kUdpRegisterModuleName = 0x15,   // 16 characters, not terminated
};

// The four VERSION bytes b0 b1 b2 b3 as four integers: b2, b3, b0, b1 when b0 is
// not zero; otherwise the words b0b1 and b2b3 followed by 0, 0.
void DecodeVersion(const std::uint8_t* bytes, std::int32_t* version);

// Decodes one answer body item by item. TYPE and VERSION go to `state.detected`
// while an initial test runs; ETHERNETMAC completes a module and, during a scan,
// fills the next ModuleInfo with what this body held so far and with the sender's
// address. An unknown register address is logged and ends the decoding, as does a
// value that runs past the end of the body.
void ReceiveUDP_Data(UdpExchangeState& state, std::span<const std::uint8_t> body,
                     std::string_view senderAddress, std::uint16_t senderPort);

}  // namespace netpod
