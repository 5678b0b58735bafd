// Fuzzes the UDP side: datagrams of any content and any cut go through the packet
// assembler and the answer decoder into a scan table, as during a real scan. The first input byte chooses where the datagrams are cut.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "discovery/scan_table.h"
#include "protocol/udp_packet_assembler.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t cut = 1 + data[0] % 64;
    std::span<const std::uint8_t> rest(data + 1, size - 1);

    std::atomic<std::uint32_t> checksumErrors{0};
    netpod::UdpPacketAssembler assembler(nullptr, checksumErrors);
    ModuleInfo modules[3];
    std::memset(modules, 0xEE, sizeof modules);
    netpod::ScanTable table(modules, 2);

    while (!rest.empty()) {
        const std::size_t n = rest.size() < cut ? rest.size() : cut;
        assembler.AssembleUDP_Packet(rest.first(n), "127.0.0.1", 7010, table);
        rest = rest.subspan(n);
    }
    // Only the capacity's records may be written, however many modules answered.
    const auto* third = reinterpret_cast<const unsigned char*>(&modules[2]);
    for (std::size_t i = 0; i < sizeof modules[2]; ++i)
        if (third[i] != 0xEE)
            std::abort();
    return 0;
}
