#include "discovery/udp_exchange.h"

#include <vector>

#include "diagnostics/error_log.h"
#include "protocol/udp_packet_assembler.h"
#include "transport/udp_socket.h"

namespace netpod {
namespace {

// Serialises the UDP utilities of the process.
std::mutex gUdpUtilitiesMutex;

// The process-wide exchange state; written and read only under gUdpUtilitiesMutex,
// by whichever utility holds it. Allocated once and kept for the life of the
// process, so that no utility can outlive it at exit.
UdpExchangeState& ProcessUdpState() {
    static UdpExchangeState* state = [] {
        auto* created = new UdpExchangeState();
        created->report = &WriteErrorLog;
        return created;
    }();
    return *state;
}

}  // namespace

UdpUtilitiesLock::UdpUtilitiesLock() : lock_(gUdpUtilitiesMutex), state_(ProcessUdpState()) {}

UdpExchangeResult RunUdpExchange(UdpExchangeState& state, std::string_view destination,
                                 std::span<const std::uint8_t> request, std::size_t receiveBufferSize,
                                 std::chrono::milliseconds waitPerReceive, ReceiveRepeat repeat, UdpAnswerSink& sink) {
    UdpExchangeResult result;
    state.rx.Reset();
    UdpSocket socket;
    if (!socket.valid() || !socket.SendTo(destination, UDP_PORT_MODULE, request))
        return result;
    result.sent = true;
    std::vector<std::uint8_t> buffer(receiveBufferSize);
    for (;;) {
        const UdpSocket::Datagram datagram = socket.Receive(buffer, waitPerReceive);
        const bool arrived = AssembleUDP_Packet(state, std::span(buffer).first(datagram.size),
                                                datagram.senderAddress, datagram.senderPort, sink);
        result.anythingReceived = result.anythingReceived || arrived;
        // The system dropped the end of a datagram longer than the buffer, so a
        // packet still incomplete at its end can never be completed rightly: the
        // next datagram starts a new packet instead of finishing this one with
        // another module's bytes.
        if (datagram.truncated)
            state.rx.Reset();
        if (!arrived || repeat == ReceiveRepeat::Once)
            return result;
    }
}

}  // namespace netpod
