#include "thread/thread_send.h"

#include <sched.h>

#include <chrono>

#include "commanagement/com_management.h"
#include "globalfunctions/error_log.h"
#include "thread/thread_send_continuous.h"

namespace netpod {
namespace {
constexpr std::chrono::milliseconds kAnswerWait{3000};
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
    // Ends an exchange that will draw no answer: the application may launch the next
    // one at once, and the repetitive ask gets the token back.
    auto endWithoutAnswer = [&m](bool releaseToken) {
        m.OnDemandWithoutToken.store(false);
        m.AnswerComplete.store(true);
        if (releaseToken)
            m.HevSync.set();
    };

    for (;;) {
        WaitResult r = m.HevNewSend.wait();
        if (self.terminateRequested())
            return;
        if (r != WaitResult::Signalled) {
            Log("Event HevNewSend Unknown error\t(TThreadSend::Execute)");
            continue;
        }

        bool tookToken = false;
        if (m.ThreadSendContinuous->thread().isSuspended()) {
            // The repetitive ask is paused: no waiting for the token. It is taken all
            // the same when it is free, so that a Start during this exchange makes
            // the repetitive ask wait for its end instead of sending alongside it.
            // When a suspended exchange of the repetitive ask holds it, this exchange
            // runs without it and gives it back at its end.
            tookToken = m.HevSync.wait(std::chrono::milliseconds(0)) == WaitResult::Signalled;
            if (!tookToken)
                m.OnDemandWithoutToken.store(true);
        } else {
            r = m.HevSync.wait(kAnswerWait);
            if (self.terminateRequested())
                return;
            if (r != WaitResult::Signalled) {
                Log(r == WaitResult::TimedOut ? "Event HevSync Timeout reached\t(TThreadSend::Execute)"
                                              : "Event HevSync Unknown error\t(TThreadSend::Execute)");
                endWithoutAnswer(false);
                continue;
            }
            tookToken = true;
        }

        m.BuildOnDemandRequest(slots_);
        if (self.terminateRequested())
            return;

        m.BeginExchange(slots_);
        bool answerExpected = false;
        bool sendFailed = false;
        for (std::size_t i = 0; i < static_cast<std::size_t>(slots_.NbPacket); ++i) {
            m.PacketIndex.fetch_add(1);
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
            if (m.PacketIndex.load() < m.NbPacket.load()) {
                r = m.HevMultiplePacket.wait(kAnswerWait);
                if (self.terminateRequested())
                    return;
                if (r != WaitResult::Signalled)
                    Log(r == WaitResult::TimedOut ? "Event HevMultiplePacket Timeout reached\t(TThreadSend::Execute)"
                                                  : "Event HevMultiplePacket Unknown error\t(TThreadSend::Execute)");
            }
        }
        if (sendFailed) {
            // The exchange is abandoned, but the thread goes on serving requests: a
            // send made before the connection was up must not end on-demand
            // exchanges for the rest of the connection's life.
            m.NbPacket.store(0);
            m.PacketIndex.store(0);
            endWithoutAnswer(tookToken);
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
                endWithoutAnswer(true);
                continue;
            }
        } else {
            // Nothing was sent, so no answer will come to reopen the gate.
            m.AnswerComplete.store(true);
        }
        m.OnDemandWithoutToken.store(false);
        m.HevSync.set();
        if (self.terminateRequested())
            return;
    }
}

}  // namespace netpod
