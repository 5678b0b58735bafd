#include "discovery/network_scan.h"

#include <array>

#include "discovery/scan_table.h"
#include "discovery/udp_exchange.h"
#include "protocol/ostrak_packet.h"
#include "protocol/udp_answer_decoder.h"

namespace netpod {
namespace {

// One answer is 42 bytes (header, four registers with 4, 4, 16 and 6 value bytes,
// checksum), so one receive of 50 bytes holds one module's answer. The scan goes on
// until 200 ms pass without a datagram, but never past 3 s: a segment full of
// modules has answered long before, and a peer that keeps sending must not hold the
// application's thread for as long as it likes.
constexpr ReceivePlan kScanReceive{.bufferSize = 50,
                                   .waitPerReceive = std::chrono::milliseconds(200),
                                   .repeat = ReceiveRepeat::UntilSilence,
                                   .overallLimit = std::chrono::milliseconds(3000)};

}  // namespace

std::int32_t ScanNetwork(ModuleInfo* modules, std::int32_t capacity) {
    // MODULENAME comes before ETHERNETMAC because the MAC completes the record.
    constexpr std::array<std::uint8_t, 4> kRegisters = {kUdpRegisterType, kUdpRegisterVersion, kUdpRegisterModuleName,
                                                        kUdpRegisterEthernetMac};
    std::array<std::uint8_t, kRegisters.size() + kOstrakOverhead> request{};
    BuildOstrakPacket(kReadRegisters, 0, kRegisters, request);

    // The table lives only for this call, so nothing writes into the array after
    // the scan has returned.
    ScanTable table(modules, capacity);
    RunUdpExchange(kBroadcastAddress, request, kScanReceive, table);
    return table.count();
}

}  // namespace netpod
