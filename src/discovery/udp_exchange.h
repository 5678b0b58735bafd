// One UDP request exchange with the modules' port 7010, and the process-wide
// assembler and mutex that the UDP utilities share.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string_view>

#include "protocol/udp_answer_decoder.h"
#include "protocol/udp_packet_assembler.h"

namespace netpod {

inline constexpr std::uint16_t UDP_PORT_MODULE = 7010;
inline constexpr std::string_view kBroadcastAddress = "255.255.255.255";

// Grants one utility call the process-wide assembler. The scan, the change of IP
// address and the initial TYPE test each hold one for their whole exchange, so that
// calls from several threads run one after the other and never share the assembler.
// Lock order: this lock, then the error log's lock; the error log never takes this
// one.
class UdpUtilitiesLock {
public:
    UdpUtilitiesLock();
    UdpPacketAssembler& assembler() { return assembler_; }

private:
    std::unique_lock<std::mutex> lock_;
    UdpPacketAssembler& assembler_;
};

enum class ReceiveRepeat {
    Once,          // one receive, whatever it brings
    UntilSilence,  // receive again and again until one receive brings nothing
};

struct UdpExchangeResult {
    bool sent = false;              // the request left the socket
    bool anythingReceived = false;  // at least one receive brought bytes
};

// Opens a socket, sends `request` to `destination`:7010 and passes every received
// datagram (at most `receiveBufferSize` bytes of it) to the assembler, which decodes
// the answers into `sink`. Each exchange starts the assembler clean, so bytes left
// over by an earlier exchange never complete a packet of this one; a packet may still
// span the datagrams that one sender sends in one exchange, except past a datagram
// that was cut to the buffer. Nothing is received when the send fails.
UdpExchangeResult RunUdpExchange(UdpPacketAssembler& assembler, std::string_view destination,
                                 std::span<const std::uint8_t> request, std::size_t receiveBufferSize,
                                 std::chrono::milliseconds waitPerReceive, ReceiveRepeat repeat, UdpAnswerSink& sink);

}  // namespace netpod
