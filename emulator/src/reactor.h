// The emulator's event loop: one epoll set holding every socket of one Emulator, a
// wake-up that lets another thread interrupt the wait, and timers for answers that
// are due later. It knows sockets by id and nothing of what they carry; the owner
// handles each event.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "endpoint.h"

namespace netpod::emu {

class Reactor {
public:
    // Told when a connection opens (true) or closes (false), so that the owner can
    // keep the module's count of open connections, which a register reports.
    using ConnectionObserver = std::function<void(std::size_t module, bool opened)>;
    // Handles one event of an endpoint other than the wake-up.
    using EventHandler = std::function<void(std::uint64_t id, Endpoint& endpoint, std::uint32_t events)>;

    explicit Reactor(ConnectionObserver observer) : observer_(std::move(observer)) {}

    // Every member function below, run() excepted, expects the owner's lock to be
    // held: the reactor's state is guarded by the same mutex as the modules' state,
    // since one event usually changes both.

    // Creates the epoll set and the wake-up. False, with the reason, when either fails.
    bool open(std::string* why);
    // Closes every endpoint and drops every timer, without telling the observer.
    void closeAll();

    std::uint64_t add(EndpointKind kind, std::size_t module, UniqueFd fd, std::uint32_t events);
    void close(std::uint64_t id);
    // Null once the endpoint is closed: callers look an endpoint up again after
    // anything that may have closed it.
    Endpoint* find(std::uint64_t id);
    std::vector<std::uint64_t> idsWhere(const std::function<bool(std::uint64_t, const Endpoint&)>& wanted) const;

    // Asks for EPOLLOUT while a connection has bytes the socket did not take.
    void watchWrites(std::uint64_t id, Endpoint& endpoint, bool wanted);
    void at(Clock::time_point due, std::function<void()> task);
    void wake();

    // Waits for events and due timers until `stopping` is set (and wake() called),
    // taking `mutex` around each batch but never across the wait.
    void run(std::mutex& mutex, const std::atomic<bool>& stopping, const EventHandler& handle);

private:
    void runDueTimers();

    ConnectionObserver observer_;
    UniqueFd epoll_;
    std::uint64_t wakeId_ = 0;
    // Ids are never reused, so that an event or timer queued for a closed endpoint
    // cannot reach a newer one.
    std::uint64_t nextId_ = 1;
    std::map<std::uint64_t, std::unique_ptr<Endpoint>> endpoints_;
    std::multimap<Clock::time_point, std::function<void()>> timers_;
};

}  // namespace netpod::emu
