// Answer packets as modules send them over UDP, for the tests of the UDP utilities.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "protocol/ostrak_packet.h"

namespace netpod::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Packet(std::uint16_t function, const Bytes& body) {
    Bytes packet(body.size() + kOstrakOverhead);
    BuildOstrakPacket(function, 0, body, packet);
    return packet;
}

inline Bytes Concat(const Bytes& a, const Bytes& b) {
    Bytes joined = a;
    joined.insert(joined.end(), b.begin(), b.end());
    return joined;
}

// The body of a scan answer: TYPE, VERSION, MODULENAME, ETHERNETMAC.
inline Bytes ScanAnswerBody(std::uint16_t typeHigh, std::uint16_t typeLow, std::array<std::uint8_t, 4> version,
                            std::string_view name, std::array<std::uint8_t, 6> mac) {
    Bytes body = {0x00, static_cast<std::uint8_t>(typeHigh >> 8), static_cast<std::uint8_t>(typeHigh),
                  static_cast<std::uint8_t>(typeLow >> 8), static_cast<std::uint8_t>(typeLow), 0x01};
    body.insert(body.end(), version.begin(), version.end());
    body.push_back(0x15);
    for (std::size_t i = 0; i < 16; ++i)
        body.push_back(i < name.size() ? static_cast<std::uint8_t>(name[i]) : 0);
    body.push_back(0x11);
    body.insert(body.end(), mac.begin(), mac.end());
    return body;
}

}  // namespace netpod::test
