// One socket the emulator serves, as the reactor keeps it: what it is for, which
// module it belongs to and, for a TCP connection, the answers still on their way out.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "netpod_emulator/frame.h"
#include "sockets.h"

namespace netpod::emu {

// Every delay and time-out of the emulator is measured on this clock, never the wall
// clock, so that a step of the system time cannot stretch or cut a fault's delay.
using Clock = std::chrono::steady_clock;

enum class EndpointKind {
    Wake,
    UdpModule,
    UdpWildcard,
    MainListener,
    SerialListener,
    MainConnection,
    SerialConnection,
    Pty
};

inline bool IsConnection(EndpointKind kind) {
    return kind == EndpointKind::MainConnection || kind == EndpointKind::SerialConnection;
}

// One piece of an answer waiting to go out on a connection. The pieces of a
// connection stay in order, so that a delayed or split answer is never overtaken by
// a later one.
struct Chunk {
    Clock::time_point due;
    std::vector<std::uint8_t> bytes;
};

struct Endpoint {
    EndpointKind kind = EndpointKind::Wake;
    std::size_t module = 0;
    UniqueFd fd;
    bool watchingWrite = false;  // EPOLLOUT is in the epoll interest of fd

    // Connections only.
    FrameAssembler assembler;
    // A response held back by the join fault, to be sent in front of the next one.
    std::optional<std::vector<std::uint8_t>> held;
    std::deque<Chunk> pending;         // answers not yet due, or waiting behind one
    std::vector<std::uint8_t> outbox;  // bytes of the current chunk the socket did not take yet
    bool closeWhenFlushed = false;     // a reset: close once everything pending is out
};

}  // namespace netpod::emu
