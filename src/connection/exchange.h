// Exchange: what keeps the exchanges of one connection apart.
//
// An exchange is one request (one or two slots) and its answers. At most one is in
// flight on a connection, whichever sender made it and whatever suspensions happened
// meanwhile: an exchange begins only once the one before has ended. It ends when its
// last answer arrives (on the notification thread, also while its sender is
// suspended), or when its sender ends it (time-out, failed send, dropped). An
// exchange of the repetitive-ask sender while that sender is suspended is over for
// the others once no answer is awaited, or 3000 ms after its last send: the sender
// drops it when resumed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/event.h"
#include "platform/thread.h"
#include "protocol/request_builder.h"
#include "qorvi_netpod.h"

namespace netpod {

// How long a sender waits for an answer, and after how long without one an exchange
// is over: the module answers within this or not at all.
inline constexpr std::chrono::milliseconds kAnswerWait{3000};

enum class Sender { OnDemand, Repetitive };

class Exchange {
public:
    // The signals that hand answers to one sender. Each sender has its own pair, so
    // that neither can take an answer meant for the other. All auto-reset.
    struct AnswerSignals {
        platform::Event multiplePacket{false};  // an answer to a slot before the last
        platform::Event ack{false};             // the exchange's last answer
    };

    Exchange() = default;
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    // The repetitive-ask thread, whose suspension lets its exchange be taken over. Set
    // once by the connection before either sender runs.
    void SetRepetitiveThread(const platform::Thread* thread) { repetitiveThread_ = thread; }

    // The exchange token (HevSync, initially signalled): the two senders take turns
    // with it while the repetitive ask runs.
    platform::Event& Token() { return token_; }
    AnswerSignals& SignalsOf(Sender sender) { return sender == Sender::OnDemand ? onDemand_ : repetitive_; }

    // Waits until no exchange is in flight, then begins one of `nbPacket` slots:
    // resets the sender's answer signals and the counters, and stages `writes` for
    // the first answer. Returns the exchange's number, or 0 when `giveUp` became true
    // while waiting (checked every few milliseconds).
    std::uint64_t Begin(Sender sender, std::int32_t nbPacket, const ExchangeWrites& writes,
                        const std::function<bool()>& giveUp);
    // Counts one more slot of exchange `id` as sent (before the send). False when the
    // exchange is no longer in flight: it ended or another took over.
    bool NoteSlotSending(std::uint64_t id);
    // Ends exchange `id` if it is still in flight; nothing otherwise.
    void End(std::uint64_t id);

    // --- The gate of Qorvi_NETPOD_SendData_MAINPORT --------------------------------
    // Closes the gate when it is open; false when an on-demand exchange is still
    // unanswered.
    bool TryCloseGate() {
        bool open = true;
        return answerComplete_.compare_exchange_strong(open, false);
    }
    // Opens it: the exchange's last answer arrived, or it ended without one.
    void OpenGate() { answerComplete_.store(true); }

    // --- The receive side (notification thread only) -------------------------------
    // With the first answer after an exchange began (a late one too), once: clears
    // every Valid flag, so that each callback of the exchange shows exactly the
    // registers answered in it so far, and applies the exchange's Written flags.
    void StartAnswers(RegisterValues& values);
    // Called after a batch has been analysed. `wholeAnswers` is false when the batch
    // left a packet half assembled: its rest is still to come, and the wait for it
    // goes on. Returns true when the batch answered the exchange's last slot (or no
    // exchange was waiting for it); then the gate is open and the sender released.
    // Otherwise the sender of the next slot is released.
    bool NoteAnswers(bool wholeAnswers);

    // Sets every signal, so that both senders leave their waits (the connection is
    // ending).
    void WakeAll();

private:
    bool OverLocked() const;

    const platform::Thread* repetitiveThread_ = nullptr;
    platform::Event token_{true};
    AnswerSignals onDemand_;
    AnswerSignals repetitive_;

    // Counters of the exchange in flight: written by the sender that holds the
    // exchange, read by the notification thread.
    std::atomic<std::int32_t> nbPacket_{0};
    std::atomic<std::int32_t> packetIndex_{0};
    // Cleared by the send export, set when an exchange's last answer arrived, and by
    // the on-demand sender when an exchange ends without one.
    std::atomic<bool> answerComplete_{true};

    // The exchange in flight, guarded by mutex_: begun and ended by the senders,
    // completed by the notification thread.
    std::mutex mutex_;
    std::condition_variable ended_;
    std::uint64_t id_ = 0;  // number of the latest exchange
    bool inFlight_ = false;
    Sender sender_ = Sender::OnDemand;
    std::chrono::steady_clock::time_point lastSend_{};
    bool awaitingAnswer_ = false;    // a slot was sent, its answer not yet whole
    ExchangeWrites stagedWrites_{};  // applied with the exchange's first answer
    bool stagedWritesPending_ = false;
};

}  // namespace netpod
