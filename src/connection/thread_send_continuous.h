// TThreadSendContinuous: the repetitive-ask sender of one connection.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "connection/sender_links.h"
#include "platform/event.h"
#include "platform/thread.h"
#include "protocol/request_builder.h"

namespace netpod {

// Sends the repetitive-ask request at every tick of its period, taking turns with the
// on-demand sender through the exchange token. Created suspended; its ticks fall on
// a grid that starts at construction (and again at every change of the period),
// 100 ms apart by default. The thread keeps the grid itself and sleeps until its
// next point: no timer thread has to wake it. Ticks missed while an exchange lasts
// do not add up.
class TThreadSendContinuous {
public:
    explicit TThreadSendContinuous(SenderLinks links);
    ~TThreadSendContinuous();  // Join()
    // Wakes the thread and waits for it to end. Idempotent.
    void Join();
    TThreadSendContinuous(const TThreadSendContinuous&) = delete;
    TThreadSendContinuous& operator=(const TThreadSendContinuous&) = delete;

    const platform::Thread& thread() const { return thread_; }
    // Lets the thread end at its next step; the destructor then joins it.
    void RequestStop() {
        thread_.requestTerminate();
        thread_.resume();
    }

    // Qorvi_NETPOD_RepetitiveAskStart / Stop.
    void Start();
    void Stop();
    // Qorvi_NETPOD_RepetitiveAskSetTime: suspends, starts a new grid of the new
    // period from now, and puts the thread back in the state it had.
    void SetTime(std::int32_t milliseconds);
    // Qorvi_NETPOD_RepetitiveAskReset's first step: suspend wherever it is.
    void Suspend();
    // Qorvi_NETPOD_RepetitiveAskReset's last step: the list was emptied, so a request
    // built before is stale and is not sent.
    void NoteListEmptied() { listResets_.fetch_add(1); }

    std::int32_t TimeMiliSec() const { return timeMiliSec_.load(); }

private:
    void Execute(platform::Thread& self);
    // Sleeps until the next point of the grid. False when the wait failed or the
    // thread is to end.
    bool WaitForTick(platform::Thread& self);

    using Clock = std::chrono::steady_clock;

    SenderLinks links_;
    // HevTimer: set by SetTime (the grid changed) and by Join, to wake the thread
    // from its sleep until the next tick.
    platform::Event timerTick_{false};
    std::atomic<std::uint64_t> listResets_{0};
    std::mutex controlMutex_;  // serialises Start, SetTime and Suspend (exports)
    // The grid, written by SetTime, read by the thread before each sleep.
    std::mutex gridMutex_;
    Clock::time_point gridStart_ = Clock::now();  // guarded by gridMutex_
    std::chrono::milliseconds period_{100};       // guarded by gridMutex_
    std::uint64_t gridChanges_ = 0;               // guarded by gridMutex_
    // The thread's own: the grid it follows and the tick it took last.
    std::uint64_t gridSeen_ = 0;
    Clock::time_point lastTick_ = gridStart_;
    std::atomic<std::int32_t> timeMiliSec_{100};
    std::atomic<bool> stopRequest_{false};  // written by exports, read by the thread once a cycle
    TxSlots slots_{};
    platform::Thread thread_;  // last: created suspended
};

}  // namespace netpod
