// TThreadSendContinuous: the repetitive-ask sender of one connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "connection/sender_links.h"
#include "platform/event.h"
#include "platform/thread.h"
#include "platform/timer_service.h"
#include "protocol/request_builder.h"

namespace netpod {

// Sends the repetitive-ask request at every tick of its periodic timer (HevTimer),
// taking turns with the on-demand sender through the exchange token. Created
// suspended; its timer runs from construction, with a period of 100 ms.
class TThreadSendContinuous {
public:
    explicit TThreadSendContinuous(SenderLinks links);
    ~TThreadSendContinuous();  // Join()
    // Wakes the thread, waits for it to end, then stops the timer for good: no tick
    // reaches the timer event afterwards, and SetTime no longer starts one.
    // Idempotent.
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
    // Qorvi_NETPOD_RepetitiveAskSetTime: suspends, replaces the timer by one of the
    // new period, and puts the thread back in the state it had.
    void SetTime(std::int32_t milliseconds);
    // Qorvi_NETPOD_RepetitiveAskReset's first step: suspend wherever it is.
    void Suspend();
    // Qorvi_NETPOD_RepetitiveAskReset's last step: the list was emptied, so a request
    // built before is stale and is not sent.
    void NoteListEmptied() { listResets_.fetch_add(1); }

    std::int32_t TimeMiliSec() const { return timeMiliSec_.load(); }

private:
    void Execute(platform::Thread& self);
    SenderLinks links_;
    platform::Event timerTick_{false};  // HevTimer, set by the timer service
    std::atomic<std::uint64_t> listResets_{0};
    std::mutex controlMutex_;        // serialises Start, SetTime and Suspend (exports)
    platform::TimerId timerId_ = 0;  // guarded by controlMutex_
    bool joined_ = false;            // guarded by controlMutex_
    std::atomic<std::int32_t> timeMiliSec_{100};
    std::atomic<bool> stopRequest_{false};  // written by exports, read by the thread once a cycle
    TxSlots slots_{};
    platform::Thread thread_;  // last: created suspended
};

}  // namespace netpod
