// Auto-reset event: the synchronisation primitive of the sender threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace netpod::platform {

class Thread;

enum class WaitResult { Signalled, TimedOut, Failed };

// An auto-reset event: set() leaves it signalled until exactly one waiter has
// consumed the signal; setting an already signalled event changes nothing.
//
// Every wait is a suspension point of the calling platform::Thread: a thread that
// leaves a wait while it is marked suspended parks before it returns, so it does
// nothing more until it is resumed. A thread marked suspended while it waits does
// not take the signal (it stays for the other waiters, or for this thread once it
// is resumed), just as a suspended thread cannot complete a wait; a signal already
// taken is never lost: the wait returns Signalled once the thread is resumed. A
// wait inside a Thread::NoSuspendSection is not a suspension point.
class Event {
public:
    explicit Event(bool initiallySignalled = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();

    // Waits without a time-out.
    WaitResult wait();
    // Waits at most `timeout`; measured on steady_clock. A time-out of zero or below
    // only takes a signal that is already there.
    WaitResult wait(std::chrono::milliseconds timeout);
    // Waits until `deadline` at the latest.
    WaitResult waitUntil(std::chrono::steady_clock::time_point deadline) {
        return waitUntil(std::optional<std::chrono::steady_clock::time_point>(deadline));
    }

private:
    friend class Thread;

    WaitResult waitUntil(std::optional<std::chrono::steady_clock::time_point> deadline);
    // Called by Thread::resume()/requestTerminate() for the event its thread waits
    // in, so that the thread re-examines whether it may take the signal.
    void wakeWaiters();

    std::mutex mutex_;  // guards signalled_
    std::condition_variable cond_;
    bool signalled_;  // written by set()/reset()/waiters, under mutex_
};

}  // namespace netpod::platform
