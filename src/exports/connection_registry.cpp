#include "exports/connection_registry.h"

#include <cstdint>
#include <mutex>
#include <random>
#include <unordered_map>

namespace netpod {
namespace {

struct Registry {
    std::mutex mutex;  // guards everything below; never held while a connection is used
    std::unordered_map<std::uintptr_t, std::shared_ptr<CComManagement>> live;
    // Handles count up from a random start, so that a small garbage value (or a
    // handle of an earlier run of the process) is not taken for a live one.
    std::uintptr_t next = [] {
        std::random_device seed;
        return (static_cast<std::uintptr_t>(seed()) << 12) | 0x1000u;
    }();
};

Registry& TheRegistry() {
    static Registry* registry = new Registry();  // never destroyed: exports may run at exit
    return *registry;
}

}  // namespace

ComID ConnectionRegistry::Add(std::shared_ptr<CComManagement> connection) {
    Registry& r = TheRegistry();
    std::lock_guard guard(r.mutex);
    const std::uintptr_t handle = r.next++;
    r.live.emplace(handle, std::move(connection));
    // A handle is a number, never dereferenced: the cast only gives it the type of
    // the interface.
    return reinterpret_cast<ComID>(handle);  // NOLINT(performance-no-int-to-ptr)
}

std::shared_ptr<CComManagement> ConnectionRegistry::Find(ComID handle) {
    Registry& r = TheRegistry();
    std::lock_guard guard(r.mutex);
    const auto found = r.live.find(reinterpret_cast<std::uintptr_t>(handle));
    return found == r.live.end() ? nullptr : found->second;
}

void ConnectionRegistry::Remove(ComID handle) {
    std::shared_ptr<CComManagement> taken;
    {
        Registry& r = TheRegistry();
        std::lock_guard guard(r.mutex);
        const auto found = r.live.find(reinterpret_cast<std::uintptr_t>(handle));
        if (found == r.live.end())
            return;
        taken = std::move(found->second);
        r.live.erase(found);
    }
    // The registry's reference ends here, outside the lock; the record itself goes
    // when the last export using it returns.
}

}  // namespace netpod
