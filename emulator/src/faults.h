// What the faults set on a module do to its answers and its connections. Pure
// decisions over bytes and counters: no sockets and no timers here; the caller sends
// what comes out, when it says. Every fault that really acts is counted, so that a
// test can assert that it took place.
#pragma once

#include <chrono>
#include <optional>
#include <vector>

#include "netpod_emulator/emulator.h"

namespace netpod::emu {

// Whether the TCP faults act on the main port (8010) or on the serial port (8000).
bool FaultsActOn(const Faults& faults, bool mainPort);
bool RefusesConnections(const Faults& faults, bool mainPort);
bool ClosesOnAccept(const Faults& faults, bool mainPort);
bool ClosesOnRequest(const Faults& faults, bool mainPort);

struct UdpDelivery {
    std::vector<std::vector<std::uint8_t>> datagrams;  // none when the answer is dropped
    std::chrono::milliseconds delay{0};
};

// Turns one framed UDP answer into the datagrams to send. isRead: the answer is a
// ReadAnswer (the only kind the unknown-register fault rewrites).
UdpDelivery ShapeUdpAnswer(const Faults& faults, std::vector<std::uint8_t> answer, bool isRead,
                           FaultCounters& counters);

struct TimedBytes {
    std::chrono::milliseconds after{0};  // from the moment the response was made
    std::vector<std::uint8_t> bytes;     // one send of its own
};

// Turns one response on a TCP connection (the answer frames to one received batch,
// or the serial echo) into the sends to make, in order. Nothing when it is dropped
// or held back by the join fault; `held` is that connection's held response.
std::vector<TimedBytes> ShapeTcpResponse(const Faults& faults, bool mainPort,
                                         std::vector<std::vector<std::uint8_t>> frames,
                                         std::optional<std::vector<std::uint8_t>>& held, FaultCounters& counters);

}  // namespace netpod::emu
