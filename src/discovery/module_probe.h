// The initial TYPE test that precedes every connection: a unicast read of the TYPE
// register that tells an absent address from a module of another kind.
#pragma once

#include <cstdint>

#include "protocol/udp_exchange_state.h"

namespace netpod {

// Asks the module at `address` (four values, already checked to lie in 0..255) for
// its TYPE and waits up to 2000 ms for the answer. True when it is a module this
// library serves (TYPE 8,0 or 8,2). `detected` receives the TYPE and, when the
// answer carried it, the VERSION that this very test saw (zero otherwise); the
// process-wide copy is updated under the same lock. A null `address` returns false
// at once, with no log entry and no traffic.
bool MakeInitialTYPETest(const std::int32_t* address, DetectedModule& detected);

}  // namespace netpod
