#include "connection/exchange_driver.h"

#include <algorithm>

#include "protocol/messages.h"
#include "protocol/response_analysis.h"

namespace netpod {
namespace {
constexpr std::chrono::milliseconds kTimeoutSlack{10};
constexpr std::chrono::milliseconds kMaxTickSlack{1};
}  // namespace

ExchangeDriver::ExchangeDriver(DriverLinks links) : links_(std::move(links)), loop_(NotificationLoop::Acquire()) {
    loopId_ = loop_->Register(this);
}

ExchangeDriver::~ExchangeDriver() {
    Shutdown();
}

void ExchangeDriver::Shutdown() {
    {
        std::lock_guard guard(mutex_);
        shutDown_ = true;
        inFlight_ = false;
        onDemandPending_ = false;
        askTickPending_ = false;
    }
    askRunning_.store(false);
    // Outside the lock: a notification of the driver in progress on the loop thread
    // needs it to finish, and Unregister waits for that notification.
    loop_->Unregister(loopId_);
}

void ExchangeDriver::OnNotification(std::uint32_t, DispatchContext&) {
    // Every notification of the driver is a deadline it asked for.
    Entries entries;
    {
        std::lock_guard guard(mutex_);
        scheduled_ = scheduledLatest_ = Clock::time_point::max();
        if (shutDown_)
            return;
        AdvanceLocked(Clock::now(), entries);
    }
    Log(entries);
}

void ExchangeDriver::RequestOnDemand() {
    Entries entries;
    {
        std::lock_guard guard(mutex_);
        if (shutDown_)
            return;
        const Clock::time_point now = Clock::now();
        onDemandPending_ = true;
        onDemandSince_ = now;
        AdvanceLocked(now, entries);
    }
    Log(entries);
}

void ExchangeDriver::StartAsk() {
    Entries entries;
    {
        std::lock_guard guard(mutex_);
        if (shutDown_)
            return;
        askStopRequest_ = false;
        if (!askRunning_.load()) {
            // A resumed ask begins with an exchange, not with a tick.
            askRunning_.store(true);
            askTickPending_ = true;
        }
        AdvanceLocked(Clock::now(), entries);
    }
    Log(entries);
}

void ExchangeDriver::StopAsk() {
    std::lock_guard guard(mutex_);
    askStopRequest_ = true;
}

void ExchangeDriver::SetAskPeriod(std::int32_t milliseconds) {
    Entries entries;
    {
        std::lock_guard guard(mutex_);
        askPeriodMs_.store(milliseconds);
        askPeriod_ = std::chrono::milliseconds(std::max(milliseconds, 1));
        const Clock::time_point now = Clock::now();
        lastTick_ = now;  // a new grid from now
        if (shutDown_)
            return;
        AdvanceLocked(now, entries);
    }
    Log(entries);
}

void ExchangeDriver::SuspendAsk() {
    std::lock_guard guard(mutex_);
    askRunning_.store(false);
    askTickPending_ = false;
}

void ExchangeDriver::NoteAskListEmptied() {
    std::lock_guard guard(mutex_);
    ++listResets_;
}

void ExchangeDriver::StartAnswers(RegisterValues& values) {
    std::lock_guard guard(mutex_);
    if (stagedWritesPending_) {
        ResponseAssembler::ClearValidFlags(values);
        ApplyExchangeWrites(stagedWrites_, values);
        stagedWritesPending_ = false;
    }
}

bool ExchangeDriver::NoteAnswers(bool wholeAnswers) {
    Entries entries;
    bool last = true;
    {
        std::lock_guard guard(mutex_);
        // An answer that belongs to no exchange (a late one) counts as the last, as
        // every answer after an exchange's last slot does.
        last = sent_ >= nbPacket_;
        if (last)
            answerComplete_.store(true);
        if (shutDown_)
            return last;
        if (inFlight_ && wholeAnswers) {
            awaitingAnswer_ = false;
            if (last)
                EndLocked();
            else
                SendNextSlotLocked(entries);
        }
        // The next exchange at once, when one waits: its answers come on this thread
        // after the application has seen these.
        AdvanceLocked(Clock::now(), entries);
    }
    Log(entries);
    return last;
}

void ExchangeDriver::AdvanceLocked(Clock::time_point now, Entries& entries) {
    // The answer of the slot last sent did not come in time: the next slot goes out
    // all the same, or the exchange ends.
    if (inFlight_ && awaitingAnswer_ && now >= lastSend_ + kAnswerWait) {
        awaitingAnswer_ = false;
        const bool slotsLeft = sent_ < nbPacket_;
        if (owner_ == Sender::OnDemand)
            entries.Add(slotsLeft ? messages::kOnDemandMultiplePacketTimeout : messages::kOnDemandAckTimeout);
        else
            entries.Add(slotsLeft ? messages::kRepetitiveMultiplePacketTimeout : messages::kRepetitiveAckTimeout);
        if (slotsLeft) {
            SendNextSlotLocked(entries);
        } else {
            // A missed answer must not block every later exchange.
            if (owner_ == Sender::OnDemand)
                answerComplete_.store(true);
            EndLocked();
        }
    }

    // A request that waited its whole turn while the running ask held the exchange
    // is dropped, and the application may launch the next one.
    if (onDemandPending_ && inFlight_ && askRunning_.load() && now >= onDemandSince_ + kAnswerWait) {
        entries.Add(messages::kOnDemandSyncTimeout);
        onDemandPending_ = false;
        answerComplete_.store(true);
    }

    // The tick of the repetitive ask: taken at the latest point of the grid passed,
    // but not while the ask's own exchange lasts (its end comes first). A stop
    // requested meanwhile suspends the ask here, outside any exchange of its own.
    const bool ownExchange = inFlight_ && owner_ == Sender::Repetitive;
    if (askRunning_.load() && !askTickPending_ && !ownExchange && now >= NextTickLocked()) {
        const Clock::time_point next = NextTickLocked();
        lastTick_ = next + ((now - next) / askPeriod_) * askPeriod_;
        if (askStopRequest_)
            askRunning_.store(false);
        else
            askTickPending_ = true;
    }

    // The next exchange, when none is in flight. A waiting on-demand request goes
    // first: it is gated, so the ask still gets every other turn. An exchange that
    // ends at once (nothing to send) makes room for the other.
    for (int turn = 0; turn < 2 && !inFlight_; ++turn) {
        if (onDemandPending_)
            BeginLocked(Sender::OnDemand, entries);
        else if (askTickPending_ && askRunning_.load())
            BeginLocked(Sender::Repetitive, entries);
        else
            break;
    }
    ScheduleLocked(now);
}

void ExchangeDriver::BeginLocked(Sender sender, Entries& entries) {
    TxSlots& slots = sender == Sender::OnDemand ? onDemandSlots_ : askSlots_;
    ExchangeWrites writes;
    if (sender == Sender::OnDemand) {
        onDemandPending_ = false;
        links_.requests.BuildOnDemand(slots, writes);
    } else {
        askTickPending_ = false;
        resetsAtBuild_ = listResets_;
        links_.requests.BuildRepetitive(slots, writes);
    }
    if (slots.NbPacket == 0) {
        // Nothing to send: no answer will reopen the gate.
        if (sender == Sender::OnDemand)
            answerComplete_.store(true);
        return;
    }
    inFlight_ = true;
    owner_ = sender;
    nbPacket_ = slots.NbPacket;
    sent_ = 0;
    awaitingAnswer_ = false;
    stagedWrites_ = writes;
    stagedWritesPending_ = true;
    SendNextSlotLocked(entries);
}

void ExchangeDriver::SendNextSlotLocked(Entries& entries) {
    const TxSlots& slots = owner_ == Sender::OnDemand ? onDemandSlots_ : askSlots_;
    while (sent_ < nbPacket_) {
        // Nothing more of the ask's exchange goes out once the ask is suspended, nor
        // of a request built from a list emptied since.
        if (owner_ == Sender::Repetitive && (!askRunning_.load() || listResets_ != resetsAtBuild_)) {
            EndLocked();
            return;
        }
        const auto i = static_cast<std::size_t>(sent_++);
        lastSend_ = Clock::now();
        bool closing = false;
        std::string_view refusal;
        const auto length = static_cast<std::size_t>(std::max(slots.SlotLength[i], 0));
        if (!links_.send(std::span<const std::uint8_t>(slots.Slot[i].data(), length), closing, refusal)) {
            if (!refusal.empty())
                entries.Add(refusal);  // the transport's reason comes first
            if (closing || owner_ == Sender::OnDemand) {
                // The exchange is abandoned; later requests are served as usual (a
                // send made before the connection was up must not end them all).
                if (!closing)
                    entries.Add(messages::kOnDemandSendFailed);
                if (owner_ == Sender::OnDemand)
                    answerComplete_.store(true);
                EndLocked();
                return;
            }
            entries.Add(messages::kRepetitiveSendFailed);
            // A transport that lost its connection never gets it back: polling on
            // would only log the same failures at every tick. The ask stops as
            // Qorvi_NETPOD_RepetitiveAskStop stops it, until started again.
            if (links_.transportLost())
                askStopRequest_ = true;
            continue;  // no answer comes for this slot; the next goes out all the same
        }
        if (length > 0) {
            awaitingAnswer_ = true;
            return;
        }
    }
    // Every slot is out and no answer is awaited.
    if (owner_ == Sender::OnDemand)
        answerComplete_.store(true);
    EndLocked();
}

void ExchangeDriver::EndLocked() {
    inFlight_ = false;
    awaitingAnswer_ = false;
}

void ExchangeDriver::ScheduleLocked(Clock::time_point now) {
    // The earliest moment at which something may be due, and the latest moment by
    // which the loop must look: a tick may come a tenth of a period late (at most
    // 1 ms), so that the ticks of many connections share the loop's wake-ups; a
    // time-out may come 10 ms late. A notification that comes early only looks
    // again, so a request already made that is not later than this one is left as it
    // is: a polled exchange costs one request to the loop.
    Clock::time_point wake = Clock::time_point::max();
    Clock::time_point latest = Clock::time_point::max();
    const auto need = [&](Clock::time_point when, Clock::duration slack) {
        wake = std::min(wake, when);
        latest = std::min(latest, when + slack);
    };
    if (inFlight_ && awaitingAnswer_)
        need(lastSend_ + kAnswerWait, kTimeoutSlack);
    if (onDemandPending_ && askRunning_.load())
        need(onDemandSince_ + kAnswerWait, kTimeoutSlack);
    // While the ask's own exchange lasts, its end looks at the tick; a tick still to
    // come is asked for now all the same, which spares a request at the end. One that
    // has passed is not: it would be notified again and again until the end.
    const bool ownExchange = inFlight_ && owner_ == Sender::Repetitive;
    if (askRunning_.load() && !askTickPending_ && (!ownExchange || NextTickLocked() > now))
        need(NextTickLocked(), std::min<Clock::duration>(askPeriod_ / 10, kMaxTickSlack));
    if (wake == Clock::time_point::max() || (scheduled_ <= wake && scheduledLatest_ <= latest))
        return;
    scheduled_ = wake;
    scheduledLatest_ = latest;
    loop_->Schedule(loopId_, wake, latest - wake);
}

void ExchangeDriver::Log(const Entries& entries) {
    for (int i = 0; i < entries.count; ++i)
        links_.log(entries.text[i]);
}

}  // namespace netpod
