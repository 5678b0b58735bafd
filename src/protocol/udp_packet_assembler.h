// Reassembly of Ostrak packets from the datagrams of a UDP exchange.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "protocol/udp_answer_decoder.h"
#include "protocol/udp_exchange_state.h"

namespace netpod {

// Feeds the bytes of one datagram, in order, into `state.rx`. Each completed packet
// is checksum-verified; a correct one with a non-empty body is decoded into `sink`
// (ReceiveUDP_Data), a wrong one is counted in `state.checksumErrorCount` and
// reported with the sender's address. A packet may span datagrams and a datagram may
// hold several packets. A header announcing more than the buffer can hold drops the
// packet together with the rest of its datagram, and the next datagram starts a new
// packet.
// Returns false when `bytes` is empty (nothing arrived), true otherwise.
bool AssembleUDP_Packet(UdpExchangeState& state, std::span<const std::uint8_t> bytes,
                        std::string_view senderAddress, std::uint16_t senderPort, UdpAnswerSink& sink);

}  // namespace netpod
