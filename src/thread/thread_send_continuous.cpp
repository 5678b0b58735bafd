#include "thread/thread_send_continuous.h"

#include <sched.h>

#include <chrono>

#include "commanagement/com_management.h"
#include "globalfunctions/error_log.h"

namespace netpod {
namespace {
constexpr std::chrono::milliseconds kAnswerWait{3000};
}

TThreadSendContinuous::TThreadSendContinuous(CComManagement& manager)
    : manager_(manager), thread_([this](platform::Thread& self) { Execute(self); }, true) {
    timerId_ = platform::TimerService::instance().start(std::chrono::milliseconds(timeMiliSec_.load()),
                                                        manager_.HevTimer);
}

TThreadSendContinuous::~TThreadSendContinuous() {
    // Also when the manager's construction failed half-way: a thread created
    // suspended must be told to end, or the join would wait for good.
    thread_.requestTerminate();
    thread_.resume();
    thread_.join();
    // Once stop() has returned no tick can reach HevTimer, which the manager
    // destroys after this object.
    std::lock_guard guard(timerMutex_);
    platform::TimerService::instance().stop(timerId_);
    timerId_ = 0;
}

void TThreadSendContinuous::Log(const char* message) { WriteErrorLog(message, manager_.IPText); }

void TThreadSendContinuous::Start() {
    stopRequest_.store(false);
    thread_.resume();
}

void TThreadSendContinuous::Stop() { stopRequest_.store(true); }

void TThreadSendContinuous::Suspend() { thread_.suspend(); }

void TThreadSendContinuous::SetTime(std::int32_t milliseconds) {
    std::lock_guard guard(timerMutex_);
    const bool wasSuspended = thread_.isSuspended();
    thread_.suspend();
    timeMiliSec_.store(milliseconds);
    auto& timers = platform::TimerService::instance();
    timers.stop(timerId_);
    // A period the timer service refuses leaves no timer: the thread then waits for
    // a tick until the period is set again or the connection is closed.
    timerId_ = timers.start(std::chrono::milliseconds(milliseconds), manager_.HevTimer);
    if (!wasSuspended)
        thread_.resume();
}

void TThreadSendContinuous::Execute(platform::Thread& self) {
    using platform::WaitResult;
    CComManagement& m = manager_;
    for (;;) {
        WaitResult r = m.HevSync.wait(kAnswerWait);
        if (self.terminateRequested())
            return;
        if (r != WaitResult::Signalled) {
            Log(r == WaitResult::TimedOut ? "Event HevSync Timeout reached\t(TThreadSendContinuous::Execute)"
                                          : "Event HevSync Unknown error\t(TThreadSendContinuous::Execute)");
            continue;
        }

        // An exchange during which this thread was suspended is dropped when the
        // suspension changed what it stands for: the list was emptied (its packet is
        // stale), or the on-demand sender ran an exchange meanwhile (the answers and
        // counters are no longer this exchange's). A mere change of period keeps it.
        const std::uint64_t parks = self.parkCount();
        const std::uint64_t resets = m.RepetitiveListResets.load();
        std::uint64_t exchange = 0;
        const auto interrupted = [&] {
            return self.parkCount() != parks &&
                   (m.RepetitiveListResets.load() != resets || m.ExchangeCount.load() != exchange);
        };

        m.BuildRepetitiveRequest(slots_);
        if (self.terminateRequested())
            return;

        exchange = m.BeginExchange(slots_);
        bool answerExpected = false;
        bool dropped = false;
        for (std::size_t i = 0; i < static_cast<std::size_t>(slots_.NbPacket) && !dropped; ++i) {
            m.PacketIndex.fetch_add(1);
            bool sent = false;
            bool closing = false;
            {
                // Once a suspension has been requested, nothing more goes out.
                platform::Thread::NoSuspendSection noSuspend;
                dropped = interrupted();
                if (!dropped)
                    sent = m.SendThroughTransport(slots_.Slot[i].data(), slots_.SlotLength[i], &closing);
            }
            if (closing)
                return;
            if (dropped)
                break;
            if (!sent)
                Log("EthernetCom->SendData Failed\t(TThreadProcess::Execute)");
            else if (slots_.SlotLength[i] > 0)
                answerExpected = true;
            if (self.terminateRequested())
                return;
            if (m.PacketIndex.load() < m.NbPacket.load()) {
                r = m.HevMultiplePacket.wait(kAnswerWait);
                if (self.terminateRequested())
                    return;
                dropped = interrupted();
                if (r != WaitResult::Signalled && !dropped)
                    Log(r == WaitResult::TimedOut
                            ? "Event HevMultiplePacket Timeout reached\t(TThreadSendContinuous::Execute)"
                            : "Event HevMultiplePacket Unknown error\t(TThreadSendContinuous::Execute)");
            }
        }
        if (self.terminateRequested())
            return;

        if (!dropped) {
            sched_yield();
            if (answerExpected) {
                r = m.HevAck.wait(kAnswerWait);
                if (self.terminateRequested())
                    return;
                dropped = interrupted();
                // A missed answer is logged, but the token is released as after any
                // exchange: keeping it would stop the polling for good.
                if (r != WaitResult::Signalled && !dropped)
                    Log(r == WaitResult::TimedOut ? "Event HevAck Timeout reached\t(TThreadSendContinuous::Execute)"
                                                  : "Event HevAck Unknown error\t(TThreadSendContinuous::Execute)");
            }
        }
        if (dropped) {
            // The token goes back unless an on-demand exchange running without it
            // will give it back at its end; the next exchange starts at once.
            if (!m.OnDemandWithoutToken.load())
                m.HevSync.set();
            continue;
        }
        m.HevSync.set();

        r = m.HevTimer.wait();
        if (self.terminateRequested())
            return;
        if (r != WaitResult::Signalled) {
            Log("Event HevTimer Unknown error\t(TThreadSendContinuous::Execute)");
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
