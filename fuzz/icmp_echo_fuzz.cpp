// libFuzzer harness for the reading of received ICMP packets: a raw socket hands the
// library every ICMP packet that reaches the host, from any sender, IP header first.
// Each input is read as a packet from both kinds of socket; a reply that is found
// must have been read from inside the packet.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "transport/icmp_echo.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> packet(data, size);
    for (const auto kind : {netpod::IcmpSocketKind::Raw, netpod::IcmpSocketKind::Datagram}) {
        const auto reply = netpod::ParseEchoReply(kind, packet);
        if (!reply)
            continue;
        const std::size_t icmp = kind == netpod::IcmpSocketKind::Raw ? std::size_t{data[0] & 0x0Fu} * 4 : 0;
        if (icmp + 8 > size || data[icmp] != 0 || reply->identifier != ((data[icmp + 4] << 8) | data[icmp + 5]) ||
            reply->sequence != ((data[icmp + 6] << 8) | data[icmp + 7]))
            std::abort();
    }
    return 0;
}
