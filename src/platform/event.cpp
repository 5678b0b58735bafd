#include "platform/event.h"

#include "platform/thread.h"

#include <system_error>

namespace netpod::platform {

Event::Event(bool initiallySignalled) : signalled_(initiallySignalled) {}

void Event::set() {
    std::lock_guard lock(mutex_);
    signalled_ = true;
    // Every waiter is woken, not just one: a waiter whose thread is suspended does not
    // take the signal, and it must not swallow the wake-up of a waiter that could.
    // Exactly one waiter takes the signal, because taking it clears it under mutex_.
    cond_.notify_all();
}

void Event::reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

WaitResult Event::wait() {
    return waitUntil(std::nullopt);
}

WaitResult Event::wait(std::chrono::milliseconds timeout) {
    const auto now = std::chrono::steady_clock::now();
    // A time-out so long that the deadline would overflow the clock is no time-out.
    if (timeout >
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::time_point::max() - now))
        return waitUntil(std::nullopt);
    return waitUntil(now + timeout);
}

WaitResult Event::waitUntil(std::optional<std::chrono::steady_clock::time_point> deadline) {
    Thread* const self = Thread::current();
    Thread* const parking = (self != nullptr && self->waitsMayPark()) ? self : nullptr;

    WaitResult result = WaitResult::Failed;
    try {
        if (parking != nullptr)
            parking->enterWait(this);
        {
            std::unique_lock lock(mutex_);
            // A suspended thread leaves the signal alone: it takes it only once it has
            // been resumed (or told to terminate), as a suspended thread cannot
            // complete a wait.
            const auto mayTake = [&] { return signalled_ && (parking == nullptr || !parking->holdsOff()); };
            // A thread told to terminate leaves its wait at once, without taking the
            // signal: its owner may be waiting to join it, and another waiter of the
            // same event may need that signal to end too.
            const auto terminating = [&] { return self != nullptr && self->terminateRequested(); };
            const auto done = [&] { return mayTake() || terminating(); };
            const bool ended = deadline ? cond_.wait_until(lock, *deadline, done) : (cond_.wait(lock, done), true);
            // Ended by a termination request, or by the deadline: a time-out either way.
            if (ended && mayTake()) {
                signalled_ = false;
                result = WaitResult::Signalled;
            } else {
                result = WaitResult::TimedOut;
            }
        }
    } catch (const std::system_error&) {
        result = WaitResult::Failed;
    }
    // Whatever the outcome, a suspended thread parks here and reports it afterwards.
    if (parking != nullptr) {
        parking->leaveWait();
        // A limit that ran out while the thread was suspended does not hide a signal
        // that came meanwhile: the resumed thread takes it, as a wait that had been
        // satisfied during the suspension.
        if (result == WaitResult::TimedOut && !parking->terminateRequested()) {
            std::lock_guard lock(mutex_);
            if (signalled_) {
                signalled_ = false;
                result = WaitResult::Signalled;
            }
        }
    }
    return result;
}

void Event::wakeWaiters() {
    std::lock_guard lock(mutex_);
    cond_.notify_all();
}

}  // namespace netpod::platform
