#include "connection/exchange.h"

#include "protocol/response_analysis.h"

namespace netpod {

bool Exchange::OverLocked() const {
    if (!inFlight_)
        return true;
    // An exchange whose sender is running ends by that sender's own bounded waits.
    // One whose sender is the suspended repetitive-ask thread can be taken over once
    // nothing more is coming for it.
    if (sender_ != Sender::Repetitive || repetitiveThread_ == nullptr || !repetitiveThread_->isSuspended())
        return false;
    return !awaitingAnswer_ || std::chrono::steady_clock::now() >= lastSend_ + kAnswerWait;
}

std::uint64_t Exchange::Begin(Sender sender, std::int32_t nbPacket, const ExchangeWrites& writes,
                              const std::function<bool()>& giveUp) {
    std::unique_lock lock(mutex_);
    while (!OverLocked()) {
        if (giveUp())
            return 0;
        // Woken when the exchange ends; the short step notices a suspension of either
        // sender, or a termination of the caller, which nothing signals here.
        ended_.wait_for(lock, std::chrono::milliseconds(10));
    }
    if (giveUp())
        return 0;
    // Answer signals left over from an answer that came after its wait ran out must
    // not end this exchange early.
    AnswerSignals& signals = SignalsOf(sender);
    signals.multiplePacket.reset();
    signals.ack.reset();
    inFlight_ = true;
    awaitingAnswer_ = false;
    sender_ = sender;
    lastSend_ = std::chrono::steady_clock::now();
    stagedWrites_ = writes;
    stagedWritesPending_ = true;
    nbPacket_.store(nbPacket);
    packetIndex_.store(0);
    return ++id_;
}

bool Exchange::NoteSlotSending(std::uint64_t id) {
    std::lock_guard guard(mutex_);
    if (!inFlight_ || id_ != id)
        return false;
    packetIndex_.fetch_add(1);
    lastSend_ = std::chrono::steady_clock::now();
    awaitingAnswer_ = true;
    return true;
}

void Exchange::End(std::uint64_t id) {
    {
        std::lock_guard guard(mutex_);
        if (!inFlight_ || id_ != id)
            return;
        inFlight_ = false;
    }
    ended_.notify_all();
}

void Exchange::StartAnswers(RegisterValues& values) {
    std::lock_guard guard(mutex_);
    if (stagedWritesPending_) {
        ResponseAssembler::ClearValidFlags(values);
        netpod::ApplyExchangeWrites(stagedWrites_, values);
        stagedWritesPending_ = false;
    }
}

bool Exchange::NoteAnswers(bool wholeAnswers) {
    // The sender of the exchange in flight, if any, learns of the answer through its
    // own signals. An answer that belongs to no exchange (a late one) still counts as
    // the last, as every answer after an exchange's last slot does.
    platform::Event* wake = nullptr;
    bool last = true;
    bool ended = false;
    {
        std::lock_guard guard(mutex_);
        last = packetIndex_.load() >= nbPacket_.load();
        if (inFlight_ && wholeAnswers) {
            awaitingAnswer_ = false;
            AnswerSignals& signals = SignalsOf(sender_);
            if (last) {
                inFlight_ = false;
                ended = true;
                wake = &signals.ack;
            } else {
                wake = &signals.multiplePacket;
            }
        }
    }
    if (ended)
        ended_.notify_all();
    if (last)
        OpenGate();
    if (wake != nullptr)
        wake->set();
    return last;
}

void Exchange::WakeAll() {
    onDemand_.multiplePacket.set();
    onDemand_.ack.set();
    repetitive_.multiplePacket.set();
    repetitive_.ack.set();
    token_.set();
}

}  // namespace netpod
