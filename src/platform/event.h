// Auto-reset event: the synchronisation primitive of the sender threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace netpod::platform {

enum class WaitResult { Signalled, TimedOut, Failed };

// An auto-reset event: set() leaves it signalled until exactly one waiter has
// consumed the signal; setting an already signalled event changes nothing.
//
// Every wait is a suspension point of the calling platform::Thread: a thread that
// leaves a wait while it is marked suspended parks before it returns, so it does
// nothing more until it is resumed.
class Event {
public:
    explicit Event(bool initiallySignalled = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();

    // Waits without a time-out.
    WaitResult wait();
    // Waits at most `timeout`; measured on steady_clock.
    WaitResult wait(std::chrono::milliseconds timeout);

private:
    std::mutex mutex_;               // guards signalled_
    std::condition_variable cond_;
    bool signalled_;                 // written by set()/reset()/waiters, under mutex_
};

}  // namespace netpod::platform
