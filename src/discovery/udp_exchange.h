// One UDP request exchange with the modules' port 7010.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "protocol/udp_answer_decoder.h"

namespace netpod {

inline constexpr std::uint16_t UDP_PORT_MODULE = 7010;
inline constexpr std::string_view kBroadcastAddress = "255.255.255.255";

enum class ReceiveRepeat {
    Once,          // one receive, whatever it brings
    UntilSilence,  // receive again and again until one receive brings nothing
};

// How the answers of one exchange are received.
struct ReceivePlan {
    std::size_t bufferSize;                    // at most this many bytes of each datagram are kept
    std::chrono::milliseconds waitPerReceive;  // the longest wait for one datagram
    ReceiveRepeat repeat;
    // No receive goes on later than this after the send, however many datagrams keep
    // arriving, so that no peer can hold the caller for as long as it likes.
    std::chrono::milliseconds overallLimit;
};

struct UdpExchangeResult {
    bool sent = false;              // the request left the socket
    bool anythingReceived = false;  // at least one receive brought bytes
    int socketError = 0;            // errno when no socket could be opened
};

// Opens a socket, sends `request` to `destination`:7010 and passes every received
// datagram to an assembler of this exchange's own, which decodes the answers into
// `sink`; checksum errors and unknown registers go to the error log. A packet may
// span the datagrams that one sender sends in one exchange, except past a datagram
// that was cut to the buffer. Nothing is received when the send fails.
//
// Exchanges share nothing but the process-wide count of checksum errors, so the
// utilities run side by side when several threads call them: an open's initial TYPE
// test never waits for a scan that another thread is making.
UdpExchangeResult RunUdpExchange(std::string_view destination, std::span<const std::uint8_t> request,
                                 const ReceivePlan& plan, UdpAnswerSink& sink);

}  // namespace netpod
