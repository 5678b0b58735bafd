#include "discovery/udp_exchange.h"

#include <atomic>
#include <vector>

#include "diagnostics/error_log.h"
#include "protocol/udp_packet_assembler.h"
#include "transport/udp_socket.h"

namespace netpod {
namespace {

// Serialises the UDP utilities of the process.
std::mutex gUdpUtilitiesMutex;

// Packets whose checksum did not match, since the process started.
std::atomic<std::uint32_t> gChecksumErrorCount{0};

// The process-wide assembler; used only under gUdpUtilitiesMutex, by whichever
// utility holds it. Allocated once and kept for the life of the process, so that no
// utility can outlive it at exit.
UdpPacketAssembler& ProcessAssembler() {
    static auto* assembler = new UdpPacketAssembler(&WriteErrorLog, gChecksumErrorCount);
    return *assembler;
}

}  // namespace

UdpUtilitiesLock::UdpUtilitiesLock() : lock_(gUdpUtilitiesMutex), assembler_(ProcessAssembler()) {}

UdpExchangeResult RunUdpExchange(UdpPacketAssembler& assembler, std::string_view destination,
                                 std::span<const std::uint8_t> request, std::size_t receiveBufferSize,
                                 std::chrono::milliseconds waitPerReceive, ReceiveRepeat repeat, UdpAnswerSink& sink) {
    UdpExchangeResult result;
    assembler.DropPartialPackets();
    UdpSocket socket;
    if (!socket.valid() || !socket.SendTo(destination, UDP_PORT_MODULE, request))
        return result;
    result.sent = true;
    std::vector<std::uint8_t> buffer(receiveBufferSize);
    for (;;) {
        const UdpSocket::Datagram datagram = socket.Receive(buffer, waitPerReceive);
        const bool arrived = assembler.AssembleUDP_Packet(std::span(buffer).first(datagram.size),
                                                          datagram.senderAddress, datagram.senderPort, sink);
        result.anythingReceived = result.anythingReceived || arrived;
        // The system dropped the end of a datagram longer than the buffer, so a
        // packet still incomplete at its end can never be completed rightly: the
        // sender's next datagram starts a new packet instead of finishing this one.
        if (datagram.truncated)
            assembler.DropPartialPacket(datagram.senderAddress, datagram.senderPort);
        if (!arrived || repeat == ReceiveRepeat::Once)
            return result;
    }
}

}  // namespace netpod
