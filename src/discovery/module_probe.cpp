#include "discovery/module_probe.h"
#include "protocol/messages.h"

#include <array>
#include <cstring>
#include <string>

#include "diagnostics/error_log.h"
#include "discovery/udp_exchange.h"
#include "protocol/ip_text.h"
#include "protocol/ostrak_packet.h"
#include "protocol/udp_answer_decoder.h"

namespace netpod {
namespace {

// One receive of 30 bytes, waiting at most 2000 ms.
constexpr ReceivePlan kTestReceive{.bufferSize = 30,
                                   .waitPerReceive = std::chrono::milliseconds(2000),
                                   .repeat = ReceiveRepeat::Once,
                                   .overallLimit = std::chrono::milliseconds(2000)};

bool IsServedType(const std::int32_t* type) {
    return type[0] == 8 && (type[1] == 0 || type[1] == 2);
}

}  // namespace

void TypeDetection::TypeDecoded(const std::int32_t (&type)[2]) {
    std::memcpy(detected_.type, type, sizeof detected_.type);
}

void TypeDetection::VersionDecoded(const std::int32_t (&version)[4]) {
    std::memcpy(detected_.version, version, sizeof detected_.version);
}

bool MakeInitialTYPETest(const std::int32_t* address, DetectedModule& detected, int* systemError) {
    detected = DetectedModule{};
    if (address == nullptr)
        return false;
    const std::string destination = DottedIPText(address);
    constexpr std::array<std::uint8_t, 1> kRegisters = {kUdpRegisterType};
    std::array<std::uint8_t, kRegisters.size() + kOstrakOverhead> request{};
    BuildOstrakPacket(kReadRegisters, 0, kRegisters, request);

    // The result goes straight to the caller's record, so a test started by another
    // thread cannot replace what this test detected.
    TypeDetection detection(detected);
    const UdpExchangeResult result = RunUdpExchange(destination, request, kTestReceive, detection);
    if (systemError != nullptr)
        *systemError = result.socketError;
    if (const std::string_view shortage = FileDescriptorShortageText(result.socketError); !shortage.empty()) {
        WriteErrorLog(std::string(shortage).append("\t(MakeInitialTYPETest)"), destination);
        return false;
    }
    const bool sent = result.sent;
    if (!sent || (detected.type[0] == 0 && detected.type[1] == 0)) {
        WriteErrorLog(messages::kAddressNotFound, destination);
        return false;
    }
    if (!IsServedType(detected.type)) {
        WriteErrorLog(messages::kModuleNotCompatible, destination);
        return false;
    }
    return true;
}

}  // namespace netpod
