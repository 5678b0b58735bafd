#include "connection/thread_send.h"
#include "protocol/messages.h"

#include <sched.h>

#include <algorithm>
#include <chrono>

namespace netpod {
namespace {
constexpr std::chrono::milliseconds kTokenStep{10};
}

TThreadSend::TThreadSend(SenderLinks links, const platform::Thread& repetitive)
    : links_(std::move(links)),
      repetitive_(repetitive),
      thread_([this](platform::Thread& self) { Execute(self); }, false) {}

TThreadSend::~TThreadSend() {
    Join();
}

void TThreadSend::Join() {
    // Also when the connection's construction failed half-way: the thread must be
    // told to end and woken, or the join would wait for good.
    RequestStop();
    newSend_.set();
    links_.exchange.WakeAll();
    thread_.join();
}

void TThreadSend::Execute(platform::Thread& self) {
    using platform::WaitResult;
    Exchange& exchange = links_.exchange;
    Exchange::AnswerSignals& signals = exchange.SignalsOf(Sender::OnDemand);
    const auto Log = [this](std::string_view message) { links_.log(message); };
    const auto terminating = [&self] { return self.terminateRequested(); };

    for (;;) {
        WaitResult r = newSend_.wait();
        if (self.terminateRequested())
            return;
        if (r != WaitResult::Signalled) {
            Log(messages::kOnDemandNewSendError);
            continue;
        }

        // The token is taken only while the repetitive ask runs; while it is
        // suspended, BeginExchange alone keeps the exchanges apart. The wait goes in
        // short steps, so that a suspension of the repetitive ask while it holds the
        // token (a Reset) does not cost this request.
        bool tookToken = false;
        r = WaitResult::Signalled;
        const platform::Thread& repetitive = repetitive_;
        const auto tokenDeadline = std::chrono::steady_clock::now() + kAnswerWait;
        while (!repetitive.isSuspended()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(tokenDeadline - std::chrono::steady_clock::now());
            r = left.count() > 0 ? exchange.Token().wait(std::min(left, kTokenStep)) : WaitResult::TimedOut;
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
            Log(r == WaitResult::Failed ? messages::kOnDemandSyncError : messages::kOnDemandSyncTimeout);
            // No exchange: the application may launch the next one.
            exchange.OpenGate();
            continue;
        }

        ExchangeWrites writes;
        links_.requests.BuildOnDemand(slots_, writes);
        if (self.terminateRequested())
            return;
        if (slots_.NbPacket == 0) {
            // Nothing was marked: nothing is sent and no answer will come to reopen
            // the gate of Qorvi_NETPOD_SendData_MAINPORT.
            exchange.OpenGate();
            exchange.Token().set();
            continue;
        }

        const std::uint64_t id = exchange.Begin(Sender::OnDemand, slots_.NbPacket, writes, terminating);
        if (id == 0)
            return;  // told to terminate while waiting for the exchange before
        bool answerExpected = false;
        bool sendFailed = false;
        bool abandoned = false;
        for (std::size_t i = 0; i < static_cast<std::size_t>(slots_.NbPacket); ++i) {
            if (!exchange.NoteSlotSending(id)) {
                abandoned = true;  // ended meanwhile; nothing more of it goes out
                break;
            }
            bool closing = false;
            if (!links_.send(std::span<const std::uint8_t>(slots_.Slot[i].data(),
                                                           static_cast<std::size_t>(slots_.SlotLength[i])),
                             closing)) {
                if (closing || self.terminateRequested())
                    return;
                Log(messages::kOnDemandSendFailed);
                sendFailed = true;
                break;
            }
            if (slots_.SlotLength[i] > 0)
                answerExpected = true;
            if (self.terminateRequested())
                return;
            if (i + 1 < static_cast<std::size_t>(slots_.NbPacket)) {
                r = signals.multiplePacket.wait(kAnswerWait);
                if (self.terminateRequested())
                    return;
                if (r != WaitResult::Signalled)
                    Log(r == WaitResult::TimedOut ? messages::kOnDemandMultiplePacketTimeout
                                                  : messages::kOnDemandMultiplePacketError);
            }
        }
        if (sendFailed || abandoned) {
            // The exchange is abandoned, but the thread goes on serving requests: a
            // send made before the connection was up must not end on-demand
            // exchanges for the rest of the connection's life.
            exchange.End(id);
            exchange.OpenGate();
            if (tookToken)
                exchange.Token().set();
            continue;
        }

        sched_yield();
        if (answerExpected) {
            r = signals.ack.wait(kAnswerWait);
            if (self.terminateRequested())
                return;
            if (r != WaitResult::Signalled) {
                Log(r == WaitResult::TimedOut ? messages::kOnDemandAckTimeout : messages::kOnDemandAckError);
                // A missed answer must not keep the token (which would stop the
                // repetitive ask for good) nor block every later exchange.
                exchange.OpenGate();
            }
        } else {
            exchange.OpenGate();
        }
        exchange.End(id);
        exchange.Token().set();
        if (self.terminateRequested())
            return;
    }
}

}  // namespace netpod
