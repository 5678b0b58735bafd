// The network scan: a broadcast read of TYPE, VERSION, MODULENAME and ETHERNETMAC
// that every module on the segment answers.
#pragma once

#include <cstdint>

#include "qorvi_netpod.h"

namespace netpod {

// Broadcasts the read and fills `modules[0..capacity)` in the order the answers
// arrive, until 200 ms pass without a datagram or 3 s after the request. Returns the number of modules that
// answered, which can exceed `capacity`; records beyond it stay untouched. A null
// array or a capacity of 0 or less stores nothing but still counts.
std::int32_t ScanNetwork(ModuleInfo* modules, std::int32_t capacity);

}  // namespace netpod
