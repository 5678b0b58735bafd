#include "discovery/module_probe.h"

#include <array>
#include <string>

#include "protocol/ostrak_packet.h"
#include "diagnostics/error_log.h"
#include "protocol/ip_text.h"
#include "protocol/udp_answer_decoder.h"
#include "discovery/udp_exchange.h"

namespace netpod {
namespace {

constexpr std::size_t kTestReceiveBuffer = 30;
constexpr std::chrono::milliseconds kTestWait{2000};

bool IsServedType(const std::int32_t* type) {
    return type[0] == 8 && (type[1] == 0 || type[1] == 2);
}

}  // namespace

bool MakeInitialTYPETest(const std::int32_t* address, DetectedModule& detected) {
    detected = DetectedModule{};
    if (address == nullptr)
        return false;
    const std::string destination = DottedIPText(address);
    constexpr std::array<std::uint8_t, 1> kRegisters = {kUdpRegisterType};
    std::array<std::uint8_t, kRegisters.size() + kOstrakOverhead> request{};
    BuildOstrakPacket(kReadRegisters, 0, kRegisters, request);

    bool sent = false;
    {
        UdpUtilitiesLock lock;
        UdpExchangeState& state = lock.state();
        state.detected = DetectedModule{};
        state.initialTestActive = true;
        sent = RunUdpExchange(state, destination, request, kTestReceiveBuffer, kTestWait, ReceiveRepeat::Once).sent;
        state.initialTestActive = false;
        // Taken before the lock goes, so that a test started by another thread
        // right after cannot replace what this test detected.
        detected = state.detected;
    }

    if (!sent || (detected.type[0] == 0 && detected.type[1] == 0)) {
        WriteErrorLog("Address IP not found on the network\t(MakeInitialTYPETest)", destination);
        return false;
    }
    if (!IsServedType(detected.type)) {
        WriteErrorLog("This module is not compatible with this DLL\t(MakeInitialTYPETest)", destination);
        return false;
    }
    return true;
}

}  // namespace netpod
