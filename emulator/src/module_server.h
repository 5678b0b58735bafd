// Serves the sockets of the emulated modules of one Emulator: what arrives on each is
// handed to its module's model, and the answer goes back through the module's faults
// and the pacing of its connection. One I/O thread runs the reactor; the Emulator
// facade reads and changes the modules under the same lock.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "module_protocol.h"
#include "reactor.h"

namespace netpod::emu {

// One emulated module as the server keeps it: its model and faults, the ids of its
// sockets in the reactor (0 while closed), and what it received.
struct EmulatedModule {
    explicit EmulatedModule(const ModuleConfig& c) : config(c), model(c) {}
    const ModuleConfig config;  // never changes after construction, so read without the lock
    ModuleModel model;
    Faults faults;
    in_addr address{};
    std::uint64_t udpId = 0, mainListenerId = 0, serialListenerId = 0, ptyId = 0;
    std::size_t openConnections = 0;
    UniqueFd ptySlave;
    std::string ptyPath;
    std::vector<std::vector<std::uint8_t>> requests;
    std::vector<std::vector<std::uint8_t>> datagrams;
    std::vector<std::uint8_t> serial;
};

class ModuleServer {
public:
    ModuleServer(std::vector<ModuleConfig> configs, bool answerBroadcast);

    // Opens every socket and starts the I/O thread; on failure nothing stays open.
    bool start(std::string* error);
    // Stops and joins the I/O thread, then closes every socket. Idempotent.
    void stop();

    // Guards every module's state (except its config) and the reactor. Taken by the
    // I/O thread around each batch of events and timers, and by the facade around
    // each call; never held across a wait.
    std::mutex& mutex() const { return mutex_; }
    std::size_t moduleCount() const { return modules_.size(); }  // fixed at construction
    // Throws std::out_of_range for an index past the last module.
    EmulatedModule& module(std::size_t index) const;
    // Seconds since start(), the time base of the dynamic registers.
    double seconds() const;
    // Sets a module's faults and, while running, closes or reopens its listeners to
    // match the refuse fault. Expects the lock to be held.
    void setFaults(std::size_t index, const Faults& faults);

private:
    bool open(std::string* why);
    void closeAll();
    bool openListener(std::size_t index, bool mainPort, std::string* why);
    void applyListeners(std::size_t index);

    void dispatch(std::uint64_t id, Endpoint& e, std::uint32_t events);
    void receiveUdp(const Endpoint& e);
    void receiveBroadcast(const Endpoint& e);
    void handleDatagram(std::size_t index, std::span<const std::uint8_t> bytes, const sockaddr_in& from);
    void sendUdpAnswer(std::size_t index, std::vector<std::uint8_t> answer, bool isRead, const sockaddr_in& to);
    void accept(const Endpoint& listener);
    void receiveTcp(std::uint64_t id, Endpoint& e);
    void receiveMain(std::uint64_t id, Endpoint& e, std::span<const std::uint8_t> bytes);
    void receiveSerial(std::uint64_t id, Endpoint& e, std::span<const std::uint8_t> bytes);
    void receivePty(const Endpoint& e);
    void respond(std::uint64_t id, std::vector<std::vector<std::uint8_t>> frames);
    void reset(std::size_t index, std::uint64_t askingId);

    const bool answerBroadcast_;
    std::atomic<bool> stopping_{false};  // set by stop(), read by the I/O thread
    std::thread ioThread_;               // started by start(), joined by stop()

    // Everything below is guarded by mutex_.
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<EmulatedModule>> modules_;
    Reactor reactor_;
    bool running_ = false;
    Clock::time_point startTime_ = Clock::now();
};

}  // namespace netpod::emu
