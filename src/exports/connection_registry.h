// The handles that the open exports hand out, and the connections behind them.
#pragma once

#include <memory>

#include "connection/com_management.h"
#include "qorvi_netpod.h"

namespace netpod {

// A ComID is a number that the library hands out once and never again, not an
// address: a handle that was closed, never opened or is garbage finds nothing, even
// when a new connection now lives where the old one did. Every export holds the
// connection it found for as long as it runs, so a close on another thread never
// frees a record under it.
class ConnectionRegistry {
public:
    // Registers the connection and returns its new handle.
    static ComID Add(std::shared_ptr<CComManagement> connection);
    // The connection behind `handle`, or nothing.
    static std::shared_ptr<CComManagement> Find(ComID handle);
    // Takes the connection out; later lookups of `handle` find nothing.
    static void Remove(ComID handle);
};

}  // namespace netpod
