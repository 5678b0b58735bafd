// The process-wide periodic timer service that sets events.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace netpod::platform {

class Event;

using TimerId = std::uint64_t;  // 0 is never a valid timer

// One thread serves every periodic timer of the process (a deadline queue on
// steady_clock with 1 ms resolution). At each expiry the timer sets its event; since
// events are auto-reset, ticks do not accumulate while nobody waits. The thread is
// started with the first timer and ends when the last timer is stopped (that stop()
// waits for it to end, so no thread of the service outlives its timers).
//
// Ticks keep their phase (tick n is due n periods after the start); after a late
// wake-up the next tick is due one period from then, so missed ticks are never made
// up in a burst.
class TimerService {
public:
    static TimerService& instance();

    // Starts a periodic timer; the first expiry is one period from now. A period
    // below 1 ms is refused and yields 0. Periods beyond a century are taken as a
    // century.
    TimerId start(std::chrono::milliseconds period, Event& event);
    // Stops a timer. Once stop() has returned the timer never sets its event again,
    // so the event may be destroyed. Unknown or 0 identifiers are ignored.
    void stop(TimerId id);

    // Number of running timers (for tests and leak checks).
    std::size_t activeTimers() const;

    TimerService(const TimerService&) = delete;
    TimerService& operator=(const TimerService&) = delete;

private:
    struct State;

    TimerService();
    void serve(std::uint64_t generation);

    State* const state_;  // never freed, see instance()
};

}  // namespace netpod::platform
