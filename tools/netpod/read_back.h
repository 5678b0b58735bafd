// `write` reads the written registers back, so that a write the module did not keep
// is reported as a failure instead of passing silently.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "qorvi_netpod.h"
#include "value_parsing.h"

namespace netpod::tool {

// The registers worth reading back after these writes: every written value, but no
// command (a reset drops the connection) and not the warnings, which the module
// raises again on its own. Empty when a reset of the module is among the writes.
std::vector<RegisterRef> RegistersToReadBack(const std::vector<WriteItem>& writes);

// Nothing when `values` holds what `item` wrote (for the threshold: as the wire's
// fixed point with 16 fraction bits carries it); otherwise a sentence saying what the
// register holds instead.
std::optional<std::string> ReadBackMismatch(const WriteItem& item, const RegisterValues& values);

}  // namespace netpod::tool
