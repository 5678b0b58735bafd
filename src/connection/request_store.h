// RequestStore: the request marks of one connection and the lock that guards them.
#pragma once

#include <mutex>

#include "protocol/request_builder.h"
#include "protocol/request_marks.h"

namespace netpod {

// The exports mark requests on application threads; the senders build packets from
// them on their own threads. Every access goes through the lock, so that a mark set
// while a packet is being built is either in that packet or kept for the next one,
// and no value is sent half-written.
class RequestStore {
public:
    template <class Mark>
    void Update(Mark&& mark) {
        std::lock_guard guard(mutex_);
        mark(marks_);
    }
    // Builds the on-demand or the repetitive-ask request into `slots`, and returns in
    // `writes` the Written flags of that exchange.
    void BuildOnDemand(TxSlots& slots, ExchangeWrites& writes) {
        std::lock_guard guard(mutex_);
        FillPacketToSend(marks_, slots, writes);
    }
    void BuildRepetitive(TxSlots& slots, ExchangeWrites& writes) {
        std::lock_guard guard(mutex_);
        FillPacketToSendContinuous(marks_, slots, writes);
    }

private:
    std::mutex mutex_;
    RequestMarks marks_{};
};

}  // namespace netpod
