// The pacing of answers on a TCP connection: each answer is queued with the time it is
// due, and goes into the socket in order once it is due and everything before it is
// out. Faults decide the times; this only keeps them.
#pragma once

#include <cstdint>
#include <vector>

#include "endpoint.h"

namespace netpod::emu {

class Reactor;

// All of these expect the owner's lock to be held, and do nothing for a connection
// that is closed already.

// Queues bytes to go out at `due` as a send of their own, and sends what is due now.
void QueueAnswer(Reactor& reactor, std::uint64_t id, std::vector<std::uint8_t> bytes, Clock::time_point due);
// Sends every queued chunk that is due, in order, as far as the socket takes them.
// Called again when a chunk falls due and when the socket has room again.
void PumpAnswers(Reactor& reactor, std::uint64_t id);
// Closes the connection once everything queued on it has been sent.
void CloseWhenFlushed(Reactor& reactor, std::uint64_t id);

}  // namespace netpod::emu
