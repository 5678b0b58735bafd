#include "connection/thread_send.h"

#include <sched.h>

#include <algorithm>
#include <chrono>

#include "connection/com_management.h"
#include "diagnostics/error_log.h"
#include "connection/thread_send_continuous.h"

namespace netpod {
namespace {
constexpr std::chrono::milliseconds kAnswerWait{3000};
constexpr std::chrono::milliseconds kTokenStep{10};
}

TThreadSend::TThreadSend(CComManagement& manager)
    : manager_(manager), thread_([this](platform::Thread& self) { Execute(self); }, false) {}

TThreadSend::~TThreadSend() {
    // Also when the manager's construction failed half-way: the thread must be
    // told to end, or the join would wait for good.
    thread_.requestTerminate();
    thread_.resume();
    thread_.join();
}

void TThreadSend::Log(const char* message) { WriteErrorLog(message, manager_.IPText); }

void TThreadSend::Execute(platform::Thread& self) {
    using platform::WaitResult;
    CComManagement& m = manager_;
    const auto terminating = [&self] { return self.terminateRequested(); };

    for (;;) {
        WaitResult r = m.HevNewSend.wait();
        if (self.terminateRequested())
            return;
        if (r != WaitResult::Signalled) {
            Log("Event HevNewSend Unknown error\t(TThreadSend::Execute)");
            continue;
        }

        // The token is taken only while the repetitive ask runs; while it is
        // suspended, BeginExchange alone keeps the exchanges apart. The wait goes in
        // short steps, so that a suspension of the repetitive ask while it holds the
        // token (a Reset) does not cost this request.
        bool tookToken = false;
        r = WaitResult::Signalled;
        const platform::Thread& repetitive = m.ThreadSendContinuous->thread();
        const auto tokenDeadline = std::chrono::steady_clock::now() + kAnswerWait;
        while (!repetitive.isSuspended()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(tokenDeadline -
                                                                                    std::chrono::steady_clock::now());
            r = left.count() > 0 ? m.HevSync.wait(std::min(left, kTokenStep)) : WaitResult::TimedOut;
            if (self.terminateRequested())
                return;
            if (r == WaitResult::Signalled) {
                tookToken = true;
                break;
            }
            if (r == WaitResult::Failed || std::chrono::steady_clock::now() >= tokenDeadline)
                break;
        }
        if (!tookToken && !repetitive.isSuspended()) {
            Log(r == WaitResult::Failed ? "Event HevSync Unknown error\t(TThreadSend::Execute)"
                                        : "Event HevSync Timeout reached\t(TThreadSend::Execute)");
            // No exchange: the application may launch the next one.
            m.AnswerComplete.store(true);
            continue;
        }

        ExchangeWrites writes;
        m.BuildOnDemandRequest(slots_, writes);
        if (self.terminateRequested())
            return;
        if (slots_.NbPacket == 0) {
            // Nothing was marked: nothing is sent and no answer will come to reopen
            // the gate of Qorvi_NETPOD_SendData_MAINPORT.
            m.AnswerComplete.store(true);
            m.HevSync.set();
            continue;
        }

        const std::uint64_t exchange = m.BeginExchange(CComManagement::Sender::OnDemand, slots_, writes, terminating);
        if (exchange == 0)
            return;   // told to terminate while waiting for the exchange before
        bool answerExpected = false;
        bool sendFailed = false;
        bool abandoned = false;
        for (std::size_t i = 0; i < static_cast<std::size_t>(slots_.NbPacket); ++i) {
            if (!m.NoteSlotSending(exchange)) {
                abandoned = true;   // ended meanwhile; nothing more of it goes out
                break;
            }
            bool closing = false;
            if (!m.SendThroughTransport(slots_.Slot[i].data(), slots_.SlotLength[i], &closing)) {
                if (closing || self.terminateRequested())
                    return;
                Log("EthernetCom->SendData Failed\t(TThreadSend::Execute)");
                sendFailed = true;
                break;
            }
            if (slots_.SlotLength[i] > 0)
                answerExpected = true;
            if (self.terminateRequested())
                return;
            if (i + 1 < static_cast<std::size_t>(slots_.NbPacket)) {
                r = m.HevMultiplePacket.wait(kAnswerWait);
                if (self.terminateRequested())
                    return;
                if (r != WaitResult::Signalled)
                    Log(r == WaitResult::TimedOut ? "Event HevMultiplePacket Timeout reached\t(TThreadSend::Execute)"
                                                  : "Event HevMultiplePacket Unknown error\t(TThreadSend::Execute)");
            }
        }
        if (sendFailed || abandoned) {
            // The exchange is abandoned, but the thread goes on serving requests: a
            // send made before the connection was up must not end on-demand
            // exchanges for the rest of the connection's life.
            m.EndExchange(exchange);
            m.AnswerComplete.store(true);
            if (tookToken)
                m.HevSync.set();
            continue;
        }

        sched_yield();
        if (answerExpected) {
            r = m.HevAck.wait(kAnswerWait);
            if (self.terminateRequested())
                return;
            if (r != WaitResult::Signalled) {
                Log(r == WaitResult::TimedOut ? "Event HevAck Timeout reached\t(TThreadSend::Execute)"
                                              : "Event HevAck Unknown error\t(TThreadSend::Execute)");
                // A missed answer must not keep the token (which would stop the
                // repetitive ask for good) nor block every later exchange.
                m.AnswerComplete.store(true);
            }
        } else {
            m.AnswerComplete.store(true);
        }
        m.EndExchange(exchange);
        m.HevSync.set();
        if (self.terminateRequested())
            return;
    }
}

}  // namespace netpod
