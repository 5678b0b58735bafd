#include "discovery/change_ip_address.h"
#include "protocol/messages.h"

#include <array>
#include <string>

#include "diagnostics/error_log.h"
#include "discovery/udp_exchange.h"
#include "protocol/ip_text.h"
#include "protocol/ostrak_packet.h"
#include "protocol/udp_answer_decoder.h"
#include "transport/icmp_echo.h"

namespace netpod {
namespace {

// One receive of 30 bytes, waiting at most 200 ms.
constexpr ReceivePlan kAcknowledgeReceive{.bufferSize = 30,
                                          .waitPerReceive = std::chrono::milliseconds(200),
                                          .repeat = ReceiveRepeat::Once,
                                          .overallLimit = std::chrono::milliseconds(200)};
// The change of IP address is the one UDP request with a transaction id of its own.
constexpr std::uint16_t kChangeIPTransactionId = 0x0001;

// The acknowledge is any datagram at all: what it holds is of no interest.
class IgnoreAnswers final : public UdpAnswerSink {};

}  // namespace

bool ChangeIPAddress(const std::int32_t* mac, const std::int32_t* ip, const std::int32_t* mask) {
    if (mac == nullptr) {
        WriteErrorLog(messages::kMacAddressNull, kNoIpText);
        return false;
    }
    if (ip == nullptr) {
        WriteErrorLog(messages::kNewIpAddressNull, kNoIpText);
        return false;
    }
    if (mask == nullptr) {
        WriteErrorLog(messages::kNewSubnetMaskNull, kNoIpText);
        return false;
    }
    const std::string ipText = DottedIPText(ip);
    if (!AllInByteRange(mac, 6)) {
        WriteErrorLog(messages::kMacAddressNotValid, ipText);
        return false;
    }
    if (!AllInByteRange(ip, 4)) {
        WriteErrorLog(messages::kNewIpAddressNotValid, ipText);
        return false;
    }
    if (!AllInByteRange(mask, 4)) {
        WriteErrorLog(messages::kNewSubnetMaskNotValid, ipText);
        return false;
    }
    if (IsIPAddressInUse(ip)) {
        WriteErrorLog(messages::kIpAddressInUse, ipText);
        return false;
    }

    std::array<std::uint8_t, 14> body{};
    for (std::size_t i = 0; i < 6; ++i)
        body[i] = static_cast<std::uint8_t>(mac[i]);
    for (std::size_t i = 0; i < 4; ++i) {
        body[6 + i] = static_cast<std::uint8_t>(ip[i]);
        body[10 + i] = static_cast<std::uint8_t>(mask[i]);
    }
    std::array<std::uint8_t, body.size() + kOstrakOverhead> request{};
    BuildOstrakPacket(kSetIPConfiguration, kChangeIPTransactionId, body, request);

    // Any datagram within the wait is the acknowledge; its bytes still go through the
    // assembler, which logs a malformed one without undoing the change.
    IgnoreAnswers ignore;
    if (!RunUdpExchange(kBroadcastAddress, request, kAcknowledgeReceive, ignore).anythingReceived) {
        WriteErrorLog(messages::kChangeIpNotAcknowledged, ipText);
        return false;
    }
    return true;
}

}  // namespace netpod
