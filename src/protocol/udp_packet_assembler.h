// Reassembly of Ostrak packets from the datagrams of a UDP exchange.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/error_reporter.h"
#include "protocol/ostrak_packet.h"
#include "protocol/udp_answer_decoder.h"

namespace netpod {

// The largest packet put together, header and checksum included; a header announcing
// more is dropped (see AssembleUDP_Packet). This is a limit on one UDP packet, not
// the size of a TCP receive batch, which only happens to have the same value.
inline constexpr std::size_t kUdpRxBufferSize = 65000;

// Puts packets together from the datagrams of one or more senders. A packet may span
// datagrams and a datagram may hold several packets, but a packet is only ever made
// of the bytes of one sender (address and port): answers from several modules can
// interleave, and one module's truncated answer is never completed with the bytes of
// another's. Not thread-safe: one exchange feeds it.
class UdpPacketAssembler {
public:
    // Senders that may have a packet in progress at the same time. A new sender beyond
    // them takes the place of the one that has sent nothing for longest, whose partial
    // packet is dropped: a module's answer fits one datagram, so a partial packet is
    // rare, and the bound keeps a flood of senders from holding unbounded memory
    // (at most this many times kUdpRxBufferSize bytes).
    static constexpr std::size_t kMaxPartialSenders = 16;

    // `report` receives checksum errors and unknown registers (nothing when null);
    // `checksumErrorCount` counts the packets whose checksum did not match, and may be
    // shared by every assembler of the process.
    UdpPacketAssembler(ErrorReporter report, std::atomic<std::uint32_t>& checksumErrorCount)
        : report_(report), checksumErrorCount_(checksumErrorCount) {}

    // Feeds the bytes of one datagram, in order, into the sender's packet in progress.
    // Each completed packet is checksum-verified; a correct one with a non-empty body
    // is decoded into `sink` (ReceiveUDP_Data), a wrong one is counted and reported
    // with the sender's address. A header announcing more than kUdpRxBufferSize drops
    // the packet together with the rest of its datagram, and the sender's next
    // datagram starts a new packet. Returns false when `bytes` is empty (nothing
    // arrived), true otherwise.
    bool AssembleUDP_Packet(std::span<const std::uint8_t> bytes, std::string_view senderAddress,
                            std::uint16_t senderPort, UdpAnswerSink& sink);

    // Forgets the sender's packet in progress, when the end of its datagram was lost.
    void DropPartialPacket(std::string_view senderAddress, std::uint16_t senderPort);

    // Senders with a packet in progress.
    std::size_t PartialPackets() const { return partials_.size(); }

private:
    struct Partial {
        std::string address;
        std::uint16_t port = 0;
        std::vector<std::uint8_t> bytes;           // the packet so far
        std::size_t expected = kOstrakHeaderSize;  // bytes still missing for the header, or body and checksum
        bool headerComplete = false;
        std::uint64_t lastFed = 0;  // when the sender last sent bytes, in feeds

        bool Empty() const { return bytes.empty(); }
        void Reset() {
            bytes.clear();
            expected = kOstrakHeaderSize;
            headerComplete = false;
        }
    };

    void Consume(Partial& rx, std::span<const std::uint8_t> bytes, std::string_view senderAddress,
                 std::uint16_t senderPort, UdpAnswerSink& sink);
    void ReportChecksumError(std::string_view senderAddress);

    ErrorReporter report_;
    std::atomic<std::uint32_t>& checksumErrorCount_;
    std::vector<Partial> partials_;  // only senders whose last datagram left a packet unfinished
    std::uint64_t feeds_ = 0;
};

}  // namespace netpod
