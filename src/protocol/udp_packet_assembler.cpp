#include "protocol/udp_packet_assembler.h"
#include "protocol/messages.h"

#include <algorithm>

#include "protocol/ostrak_packet.h"

namespace netpod {

void UdpPacketAssembler::ReportChecksumError(std::string_view senderAddress) {
    const std::uint32_t count = checksumErrorCount_.fetch_add(1) + 1;
    std::string message(messages::kChecksumErrorPrefix);
    message.append(std::to_string(count)).append(messages::kUdpChecksumErrorSuffix);
    Report(report_, message, senderAddress);
}

bool UdpPacketAssembler::AssembleUDP_Packet(std::span<const std::uint8_t> bytes, std::string_view senderAddress,
                                            std::uint16_t senderPort, UdpAnswerSink& sink) {
    if (bytes.empty())
        return false;
    const auto found = std::find_if(partials_.begin(), partials_.end(), [&](const Partial& p) {
        return p.port == senderPort && p.address == senderAddress;
    });
    if (found != partials_.end()) {
        Consume(*found, bytes, senderAddress, senderPort, sink);
        if (found->Empty())
            partials_.erase(found);
        else
            found->lastFed = ++feeds_;
        return true;
    }
    Partial fresh;
    Consume(fresh, bytes, senderAddress, senderPort, sink);
    if (fresh.Empty())
        return true;
    if (partials_.size() >= kMaxPartialSenders)
        partials_.erase(std::min_element(partials_.begin(), partials_.end(),
                                         [](const Partial& a, const Partial& b) { return a.lastFed < b.lastFed; }));
    fresh.address = senderAddress;
    fresh.port = senderPort;
    fresh.lastFed = ++feeds_;
    partials_.push_back(std::move(fresh));
    return true;
}

void UdpPacketAssembler::Consume(Partial& rx, std::span<const std::uint8_t> bytes, std::string_view senderAddress,
                                 std::uint16_t senderPort, UdpAnswerSink& sink) {
    while (!bytes.empty()) {
        const std::size_t take = std::min(rx.expected, bytes.size());
        rx.bytes.insert(rx.bytes.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
        rx.expected -= take;
        bytes = bytes.subspan(take);
        if (rx.expected != 0)
            return;
        if (!rx.headerComplete) {
            const std::size_t bodyLength = OstrakBodyLength(rx.bytes);
            if (kOstrakOverhead + bodyLength > kUdpRxBufferSize) {
                // The body cannot be held. The rest of this datagram belongs to the
                // packet that is being dropped, so reading on in it would only
                // mistake body bytes for headers.
                rx.Reset();
                return;
            }
            rx.expected = bodyLength + kOstrakChecksumSize;
            rx.headerComplete = true;
            continue;
        }
        const std::size_t bodyLength = OstrakBodyLength(rx.bytes);
        if (!VerifyOstrakPacket(rx.bytes)) {
            ReportChecksumError(senderAddress);
        } else if (bodyLength > 0) {
            ReceiveUDP_Data(std::span(rx.bytes).subspan(kOstrakHeaderSize, bodyLength), senderAddress, senderPort, sink,
                            report_);
        }
        rx.Reset();
    }
}

void UdpPacketAssembler::DropPartialPacket(std::string_view senderAddress, std::uint16_t senderPort) {
    std::erase_if(partials_, [&](const Partial& p) { return p.port == senderPort && p.address == senderAddress; });
}

}  // namespace netpod
