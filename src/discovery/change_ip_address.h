// The change of a module's IP address and subnet mask, addressed by its MAC address
// over a UDP broadcast, so that it works whatever subnet the module is in now.
#pragma once

#include <cstdint>

namespace netpod {

// Checks the three arrays (6, 4 and 4 values, each 0..255), makes sure no host
// already answers an ICMP echo at the new address, then broadcasts the change and
// waits 200 ms for any datagram as the acknowledge. Each failure writes one log
// entry and returns false.
bool ChangeIPAddress(const std::int32_t* mac, const std::int32_t* ip, const std::int32_t* mask);

}  // namespace netpod
