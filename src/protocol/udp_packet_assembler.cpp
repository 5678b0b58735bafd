#include "protocol/udp_packet_assembler.h"

#include <string>

#include "protocol/ostrak_packet.h"
#include "protocol/udp_answer_decoder.h"

namespace netpod {
namespace {

void ReportChecksumError(UdpExchangeState& state, std::string_view senderAddress) {
    ++state.checksumErrorCount;
    // The message names the main-port export although it comes from the UDP
    // utilities; applications and log readers know it by this text.
    std::string message = "ChecksumError occurs. Nb of ChecksumError = ";
    message.append(std::to_string(state.checksumErrorCount)).append("\t(Qorvi_NETPOD_SendData_MAINPORT)");
    Report(state.report, message, senderAddress);
}

}  // namespace

bool AssembleUDP_Packet(UdpExchangeState& state, std::span<const std::uint8_t> bytes,
                        std::string_view senderAddress, std::uint16_t senderPort, UdpAnswerSink& sink) {
    if (bytes.empty())
        return false;
    UdpRxBuffer& rx = state.rx;
    for (const std::uint8_t byte : bytes) {
        rx.bytes[rx.fill++] = byte;
        --rx.expected;
        if (rx.expected != 0)
            continue;
        if (!rx.headerComplete) {
            const std::size_t bodyLength = OstrakBodyLength(rx.bytes);
            if (kOstrakOverhead + bodyLength > rx.bytes.size()) {
                // The body cannot be held. The rest of this datagram belongs to the
                // packet that is being dropped, so reading on in it would only
                // mistake body bytes for headers.
                rx.Reset();
                return true;
            }
            rx.expected = bodyLength + kOstrakChecksumSize;
            rx.headerComplete = true;
            continue;
        }
        const std::span<const std::uint8_t> packet(rx.bytes.data(), rx.fill);
        const std::size_t bodyLength = OstrakBodyLength(packet);
        if (!VerifyOstrakPacket(packet)) {
            ReportChecksumError(state, senderAddress);
        } else if (bodyLength > 0) {
            ReceiveUDP_Data(packet.subspan(kOstrakHeaderSize, bodyLength), senderAddress, senderPort, sink,
                            state.report);
        }
        rx.Reset();
    }
    return true;
}

}  // namespace netpod
