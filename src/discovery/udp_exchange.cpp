#include "discovery/udp_exchange.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "diagnostics/error_log.h"
#include "protocol/udp_packet_assembler.h"
#include "transport/udp_socket.h"

namespace netpod {
namespace {

// Packets whose checksum did not match, since the process started; every exchange
// counts into it, so the log's running count goes on from one exchange to the next.
std::atomic<std::uint32_t> gChecksumErrorCount{0};

}  // namespace

UdpExchangeResult RunUdpExchange(std::string_view destination, std::span<const std::uint8_t> request,
                                 const ReceivePlan& plan, UdpAnswerSink& sink) {
    using Clock = std::chrono::steady_clock;
    UdpExchangeResult result;
    UdpSocket socket;
    result.socketError = socket.openError();
    if (!socket.valid() || !socket.SendTo(destination, UDP_PORT_MODULE, request))
        return result;
    result.sent = true;
    const Clock::time_point deadline = Clock::now() + plan.overallLimit;
    UdpPacketAssembler assembler(&WriteErrorLog, gChecksumErrorCount);
    std::vector<std::uint8_t> buffer(plan.bufferSize);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return result;
        const UdpSocket::Datagram datagram = socket.Receive(buffer, std::min(plan.waitPerReceive, left));
        const bool arrived = assembler.AssembleUDP_Packet(std::span(buffer).first(datagram.size),
                                                          datagram.senderAddress, datagram.senderPort, sink);
        result.anythingReceived = result.anythingReceived || arrived;
        // The system dropped the end of a datagram longer than the buffer, so a
        // packet still incomplete at its end can never be completed rightly: the
        // sender's next datagram starts a new packet instead of finishing this one.
        if (datagram.truncated)
            assembler.DropPartialPacket(datagram.senderAddress, datagram.senderPort);
        if (!arrived || plan.repeat == ReceiveRepeat::Once)
            return result;
    }
}

}  // namespace netpod
