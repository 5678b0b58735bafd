// Response analysis: reassembles the Ostrak packets of the main port's byte stream,
// verifies their checksums and decodes them into RegisterValues.
//
// The stream has no start marker: packets are separated by their length field alone,
// so the assembler keeps its place across calls. A packet may span several batches
// of received bytes and one batch may end several packets. A packet that fails its
// checksum, or a length no answer can have, is reported; the length field that led
// there is not trusted any more, and the stream is searched from the next byte for
// the first plausible header whose packet checks out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "protocol/error_reporter.h"
#include "protocol/ip_text.h"
#include "protocol/ostrak_packet.h"
#include "qorvi_netpod.h"

namespace netpod {

// The largest packet the assembly buffer holds; its body may be up to 712 bytes.
inline constexpr int kRxPacketCapacity = 720;
inline constexpr int kRxMaxBodyLength = kRxPacketCapacity - 8;

// One per main-port connection. Used only on the transport's notification thread, so
// it needs no lock; RegisterValues is passed in by its owner, the connection.
class ResponseAssembler {
public:
    explicit ResponseAssembler(ErrorReporter report) : report_(report) {}

    // Consumes a batch of received bytes of any length. Every packet it completes is
    // checked and applied to `values`: a ReadAnswer is decoded, an I2CTransferAnswer
    // and an I2CScanAnswer are stored; packets with another function code or an empty
    // body are consumed without effect. Returns the number of packets completed,
    // whatever became of them. The Valid flags are not cleared here: the connection
    // calls ClearValidFlags before the first answers of an exchange.
    int ReceivedRawData(std::span<const std::uint8_t> chunk, RegisterValues& values,
                        std::string_view logIpText = kNoIpText);

    // Decodes the items of a whole ReadAnswer packet (header, body; the checksum is
    // not looked at) into `values`. Stops at an address the module does not have, or
    // at an item cut short by the end of the body; items before it keep their values.
    void ReceivedDataAnalyse(std::span<const std::uint8_t> packet, RegisterValues& values,
                             std::string_view logIpText = kNoIpText) const;

    // Clears the Valid flag of every register (not those of the I2C answers, which
    // packet building clears) at the start of an exchange's answers.
    static void ClearValidFlags(RegisterValues& values);

    // Copy an answer body, cut to the room in RegisterValues (180 and 127 bytes); the
    // recorded length is the number of bytes copied.
    static void StoreI2CAnswer(std::span<const std::uint8_t> body, std::uint16_t askId, RegisterValues& values);
    static void StoreScanI2CAnswer(std::span<const std::uint8_t> body, RegisterValues& values);

    // Packets rejected for their checksum since the connection opened; never reset.
    std::int32_t NbChecksumError() const { return nbChecksumError_; }
    // Packets whose length field announced more than the assembly buffer holds.
    std::int32_t NbOversizedPacket() const { return nbOversizedPacket_; }

    // Where the assembler stands, for diagnostics and tests: bytes held that do not
    // make a whole packet yet, whether a header has been read (the body is awaited),
    // and how many more bytes the packet being assembled needs (1 while the stream
    // is being searched for the next packet that checks out).
    std::int32_t RxCount() const { return static_cast<std::int32_t>(held_); }
    bool RxInBody() const { return !resyncing_ && held_ >= kOstrakHeaderSize; }
    std::int32_t RxNeed() const;
    // True while the stream is searched for a packet that checks out, after a
    // packet that did not or a length no answer can have.
    bool Resynchronising() const { return resyncing_; }

private:
    int Drain(RegisterValues& values, std::string_view logIpText);
    bool Resynchronise();
    void Discard(std::size_t count);
    void CompletePacket(std::span<const std::uint8_t> packet, RegisterValues& values, std::string_view logIpText);

    ErrorReporter report_;
    // The bytes received and not yet used. Twice the largest packet: after each
    // batch fewer than kRxPacketCapacity bytes are held, so a packet always fits.
    std::array<std::uint8_t, std::size_t{2} * kRxPacketCapacity> window_{};
    std::size_t held_ = 0;
    bool resyncing_ = false;
    std::int32_t rxPacketLength_ = 0;  // header and body of the packet just completed
    std::int32_t nbChecksumError_ = 0;
    std::int32_t nbOversizedPacket_ = 0;
};

}  // namespace netpod
