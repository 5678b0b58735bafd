// ExchangeDriver: the two senders of one connection, the on-demand sender
// (TThreadSend) and the repetitive ask (TThreadSendContinuous), and the exchange that
// they take turns with.
//
// An exchange is one request (one or two slots) and its answers. At most one is in
// flight on a connection: one begins only once the one before has ended. It ends when
// its last answer arrives, when no answer came 3000 ms after its last slot, or when
// its send failed. The second slot of an exchange goes out when the first slot's
// answer is in, or 3000 ms after the first slot when none came.
//
// Nothing here blocks and no thread is kept per connection. Every step runs on the
// thread that makes it possible:
//   - an on-demand request is built and sent on the application's thread, in
//     Qorvi_NETPOD_SendData_MAINPORT itself, when no exchange is in flight;
//   - answers are taken, the next slot sent and the next exchange begun on the
//     notification thread, in the data notification that brought the answer;
//   - the ticks of the repetitive ask, the answer time-outs and a request that waits
//     for its turn are deadlines of the notification loop, which notifies the driver
//     when one is due.
// Every step takes the driver's lock; sends are made under it (they never block: the
// socket is non-blocking), so that once a control export has returned, no send
// decided before it is still to come.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>

#include "connection/request_store.h"
#include "protocol/request_builder.h"
#include "qorvi_netpod.h"
#include "transport/notification_loop.h"

namespace netpod {

// How long an exchange waits for an answer: the module answers within this or not
// at all.
inline constexpr std::chrono::milliseconds kAnswerWait{3000};

// What the driver is given of its connection.
struct DriverLinks {
    RequestStore& requests;
    // Sends one slot through the connection's transport. False when it was refused;
    // `closing` then tells whether the connection is being closed (nothing is logged
    // for that), and `refusal` holds the transport's reason as the text of its
    // entry. The entry is not written here: the driver writes it once its lock is
    // released, so that no thread waits for the log while holding it.
    std::function<bool(std::span<const std::uint8_t> slot, bool& closing, std::string_view& refusal)> send;
    // Reports a failure with the connection's IP text.
    std::function<void(std::string_view message)> log;
    // True once the transport has lost its connection (or never got it): it does not
    // reconnect, so no later send can succeed.
    std::function<bool()> transportLost;
};

class ExchangeDriver final : private NotificationTarget {
public:
    using Clock = std::chrono::steady_clock;

    // Joins the process's notification loop (starting it if none runs). Throws
    // std::system_error when the loop cannot be started. The repetitive ask starts
    // suspended; its ticks fall on a grid 100 ms apart that starts now.
    explicit ExchangeDriver(DriverLinks links);
    ~ExchangeDriver();  // Shutdown()
    ExchangeDriver(const ExchangeDriver&) = delete;
    ExchangeDriver& operator=(const ExchangeDriver&) = delete;

    // Ends the driver for good: nothing more is sent and no deadline is notified once
    // this returns (from the notification thread itself, once the notification in
    // progress returns). Idempotent.
    void Shutdown();

    // --- The on-demand sender --------------------------------------------------------
    // The gate of Qorvi_NETPOD_SendData_MAINPORT: closed while an on-demand exchange
    // is unanswered. TryCloseGate closes it when open; false when it was closed.
    bool TryCloseGate() {
        bool open = true;
        return answerComplete_.compare_exchange_strong(open, false);
    }
    // With the gate closed by the caller: builds the on-demand request from every
    // pending mark and sends it now when no exchange is in flight, or as soon as the
    // one in flight ends. Nothing marked: nothing is sent and the gate opens again.
    void RequestOnDemand();

    // --- The repetitive ask ----------------------------------------------------------
    // Qorvi_NETPOD_RepetitiveAskStart: runs again, with an exchange at once.
    void StartAsk();
    // Qorvi_NETPOD_RepetitiveAskStop: the exchange in progress completes, and the ask
    // suspends itself at the next tick, unless started again before it.
    void StopAsk();
    // Qorvi_NETPOD_RepetitiveAskSetTime: a new grid of the new period (at least 1 ms)
    // from now; running or suspended stays as it was.
    void SetAskPeriod(std::int32_t milliseconds);
    // Qorvi_NETPOD_RepetitiveAskReset's first step: suspended at once. No slot of the
    // ask is sent any more; an exchange of it that is on the wire ends with the
    // answer now awaited.
    void SuspendAsk();
    // Qorvi_NETPOD_RepetitiveAskReset's last step: the list was emptied, so a request
    // built before is stale and nothing more of it is sent.
    void NoteAskListEmptied();
    bool AskSuspended() const { return !askRunning_.load(); }
    std::int32_t AskPeriodMs() const { return askPeriodMs_.load(); }

    // --- The receive side (notification thread only) -------------------------------
    // With the first answer after an exchange began (a late one too), once: clears
    // every Valid flag, so that each callback of the exchange shows exactly the
    // registers answered in it so far, and applies the exchange's Written flags.
    void StartAnswers(RegisterValues& values);
    // Called after a batch has been analysed. `wholeAnswers` is false when the batch
    // left a packet half assembled: its rest is still to come, and the exchange waits
    // for it. Returns true when the batch answered the exchange's last slot (or no
    // exchange was waiting for it): the application is then told, and the gate is
    // open. Otherwise the next slot has been sent.
    bool NoteAnswers(bool wholeAnswers);

private:
    enum class Sender { OnDemand, Repetitive };

    // The failures of one step, logged once the lock is released. The texts are
    // constants: nothing is allocated on the way.
    struct Entries {
        static constexpr int kCapacity = 8;  // more than one step can report
        std::string_view text[kCapacity];
        int count = 0;
        void Add(std::string_view message) {
            if (count < kCapacity)
                text[count++] = message;
        }
    };

    void OnNotification(std::uint32_t readyEvents, DispatchContext& context) override;

    // Each *Locked member runs with mutex_ held.
    // Everything that is due: answer time-outs, ticks, the next exchange; then the
    // next deadline is handed to the loop.
    void AdvanceLocked(Clock::time_point now, Entries& entries);
    void BeginLocked(Sender sender, Entries& entries);
    // Sends the exchange's next slot; ends the exchange when it was the last and no
    // answer is expected, or when its send failed in a way that ends it.
    void SendNextSlotLocked(Entries& entries);
    void EndLocked();
    Clock::time_point NextTickLocked() const { return lastTick_ + askPeriod_; }
    void ScheduleLocked(Clock::time_point now);
    void Log(const Entries& entries);

    DriverLinks links_;
    std::shared_ptr<NotificationLoop> loop_;
    std::uint64_t loopId_ = 0;

    // Cleared by TryCloseGate, set when an exchange's last answer arrived, and when an
    // on-demand exchange ended without one.
    std::atomic<bool> answerComplete_{true};
    // Mirrors of guarded fields, for readers that take no lock.
    std::atomic<bool> askRunning_{false};
    std::atomic<std::int32_t> askPeriodMs_{100};

    // Guards everything below.
    std::mutex mutex_;
    bool shutDown_ = false;

    // The exchange in flight, or the latest one.
    bool inFlight_ = false;
    Sender owner_ = Sender::OnDemand;
    std::int32_t nbPacket_ = 0;        // slots of the exchange
    std::int32_t sent_ = 0;            // slots sent (or given up) so far
    bool awaitingAnswer_ = false;      // a slot was sent, its answer not yet whole
    Clock::time_point lastSend_{};     // of the exchange's latest slot
    std::uint64_t resetsAtBuild_ = 0;  // list resets when the repetitive request was built
    ExchangeWrites stagedWrites_{};    // applied with the exchange's first answer
    bool stagedWritesPending_ = false;

    // The on-demand sender.
    bool onDemandPending_ = false;       // requested, not yet begun
    Clock::time_point onDemandSince_{};  // when it was requested
    TxSlots onDemandSlots_{};

    // The repetitive ask. Its ticks fall on a grid from gridStart; lastTick_ is the
    // latest point taken. A tick taken while the ask's own exchange lasts is not
    // taken again: ticks missed meanwhile do not add up.
    bool askStopRequest_ = false;
    bool askTickPending_ = false;  // an exchange is due as soon as none is in flight
    std::chrono::milliseconds askPeriod_{100};
    Clock::time_point lastTick_ = Clock::now();
    std::uint64_t listResets_ = 0;
    TxSlots askSlots_{};

    // The deadline handed to the loop (max: none), and the latest it may come.
    Clock::time_point scheduled_ = Clock::time_point::max();
    Clock::time_point scheduledLatest_ = Clock::time_point::max();
};

}  // namespace netpod
