#include "connection/thread_send_continuous.h"
#include "protocol/messages.h"

#include <sched.h>

#include <algorithm>
#include <chrono>

namespace netpod {

TThreadSendContinuous::TThreadSendContinuous(SenderLinks links)
    : links_(std::move(links)), thread_([this](platform::Thread& self) { Execute(self); }, true) {}

TThreadSendContinuous::~TThreadSendContinuous() {
    Join();
}

void TThreadSendContinuous::Join() {
    // Also when the connection's construction failed half-way: a thread created
    // suspended must be told to end and woken, or the join would wait for good.
    RequestStop();
    links_.exchange.WakeAll();
    timerTick_.set();
    thread_.join();
}

// Start, Stop's counterpart, SetTime and Reset's suspension are serialised, so that
// SetTime's "suspend, change, restore" cannot undo a Start made at the same time.
void TThreadSendContinuous::Start() {
    std::lock_guard guard(controlMutex_);
    stopRequest_.store(false);
    thread_.resume();
}

void TThreadSendContinuous::Stop() {
    stopRequest_.store(true);
}

void TThreadSendContinuous::Suspend() {
    std::lock_guard guard(controlMutex_);
    thread_.suspend();
}

void TThreadSendContinuous::SetTime(std::int32_t milliseconds) {
    std::lock_guard guard(controlMutex_);
    const bool wasSuspended = thread_.isSuspended();
    thread_.suspend();
    timeMiliSec_.store(milliseconds);
    {
        std::lock_guard grid(gridMutex_);
        gridStart_ = Clock::now();
        period_ = std::chrono::milliseconds(std::max(milliseconds, 1));
        ++gridChanges_;
    }
    timerTick_.set();  // a thread asleep until a point of the old grid looks again
    if (!wasSuspended)
        thread_.resume();
}

bool TThreadSendContinuous::WaitForTick(platform::Thread& self) {
    for (;;) {
        Clock::time_point next;
        {
            std::lock_guard grid(gridMutex_);
            if (gridSeen_ != gridChanges_) {
                gridSeen_ = gridChanges_;
                lastTick_ = gridStart_;
            }
            next = lastTick_ + period_;
            const Clock::time_point now = Clock::now();
            if (now >= next) {
                // The latest point passed is the tick; points missed during a long
                // exchange do not add up.
                lastTick_ = next + ((now - next) / period_) * period_;
                return true;
            }
        }
        const platform::WaitResult r = timerTick_.waitUntil(next);
        if (self.terminateRequested() || r == platform::WaitResult::Failed)
            return false;
        // Timed out: the point is due. Signalled: the grid changed. Either way the
        // grid is looked at again.
    }
}

void TThreadSendContinuous::Execute(platform::Thread& self) {
    using platform::WaitResult;
    Exchange& exchange = links_.exchange;
    Exchange::AnswerSignals& signals = exchange.SignalsOf(Sender::Repetitive);
    const auto Log = [this](std::string_view message) { links_.log(message); };
    // While BeginExchange waits for the exchange before, a suspension or a
    // termination of this thread makes it give up.
    const auto giveUp = [&self] { return self.isSuspended() || self.terminateRequested(); };
    for (;;) {
        WaitResult r = exchange.Token().wait(kAnswerWait);
        if (self.terminateRequested())
            return;
        if (r != WaitResult::Signalled) {
            Log(r == WaitResult::TimedOut ? messages::kRepetitiveSyncTimeout : messages::kRepetitiveSyncError);
            continue;
        }
        // A thread suspended as it took the token builds nothing until resumed.
        platform::Thread::suspensionPoint();
        if (self.terminateRequested())
            return;

        const std::uint64_t resets = listResets_.load();
        ExchangeWrites writes;
        links_.requests.BuildRepetitive(slots_, writes);
        if (self.terminateRequested())
            return;

        std::uint64_t id = 0;
        bool answerExpected = false;
        bool dropped = false;
        for (std::size_t i = 0; i < static_cast<std::size_t>(slots_.NbPacket) && !dropped; ++i) {
            bool sent = false;
            bool closing = false;
            {
                // Once a suspension has been requested, nothing more goes out. A
                // request built from a list emptied since is stale; an exchange that
                // another one took over (this thread was suspended too long) is over.
                platform::Thread::NoSuspendSection noSuspend;
                if (listResets_.load() != resets)
                    dropped = true;
                else if (i == 0)
                    dropped = (id = exchange.Begin(Sender::Repetitive, slots_.NbPacket, writes, giveUp)) == 0;
                if (!dropped)
                    dropped = !exchange.NoteSlotSending(id);
                if (!dropped)
                    sent = links_.send(std::span<const std::uint8_t>(slots_.Slot[i].data(),
                                                                     static_cast<std::size_t>(slots_.SlotLength[i])),
                                       closing);
            }
            if (closing || self.terminateRequested())
                return;
            if (dropped)
                break;
            if (!sent) {
                Log(messages::kRepetitiveSendFailed);
                // A transport that lost its connection never gets it back: polling on
                // would only log the same two failures at every tick. The ask stops
                // as Qorvi_NETPOD_RepetitiveAskStop stops it, until started again.
                if (links_.transportLost())
                    stopRequest_.store(true);
            } else if (slots_.SlotLength[i] > 0)
                answerExpected = true;
            if (i + 1 < static_cast<std::size_t>(slots_.NbPacket)) {
                r = signals.multiplePacket.wait(kAnswerWait);
                if (self.terminateRequested())
                    return;
                if (r != WaitResult::Signalled)
                    Log(r == WaitResult::TimedOut ? messages::kRepetitiveMultiplePacketTimeout
                                                  : messages::kRepetitiveMultiplePacketError);
            }
        }
        if (!dropped) {
            sched_yield();
            if (answerExpected) {
                r = signals.ack.wait(kAnswerWait);
                if (self.terminateRequested())
                    return;
                // A missed answer is logged, but the token is released as after any
                // exchange: keeping it would stop the polling for good.
                if (r != WaitResult::Signalled)
                    Log(r == WaitResult::TimedOut ? messages::kRepetitiveAckTimeout : messages::kRepetitiveAckError);
            }
        }
        if (id != 0)
            exchange.End(id);
        exchange.Token().set();
        if (dropped)
            continue;  // a new request at once, from the list as it is now

        if (!WaitForTick(self)) {
            if (self.terminateRequested())
                return;
            Log(messages::kRepetitiveTimerError);
            continue;
        }
        // Decided under the thread's own lock, so that a Start() racing with it
        // (which clears the request, then resumes) is never lost.
        self.suspendSelfIf([this] { return stopRequest_.load(); });
        if (self.terminateRequested())
            return;
    }
}

}  // namespace netpod
