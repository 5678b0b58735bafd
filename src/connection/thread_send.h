// TThreadSend: the on-demand sender of one connection.
#pragma once

#include "connection/sender_links.h"
#include "platform/event.h"
#include "platform/thread.h"
#include "protocol/request_builder.h"

namespace netpod {

// Waits for Qorvi_NETPOD_SendData_MAINPORT (HevNewSend), builds the request from
// every pending mark, sends it slot by slot paced by the answers, and gives the
// exchange token (HevSync) back. It takes the token only while the repetitive-ask
// thread runs.
class TThreadSend {
public:
    // Starts running. `repetitive` is the repetitive-ask thread of the same
    // connection, whose running decides whether the token is taken.
    TThreadSend(SenderLinks links, const platform::Thread& repetitive);
    ~TThreadSend();  // Join()
    TThreadSend(const TThreadSend&) = delete;
    TThreadSend& operator=(const TThreadSend&) = delete;

    // Qorvi_NETPOD_SendData_MAINPORT: send what is marked (HevNewSend).
    void RequestSend() { newSend_.set(); }
    // Wakes the thread from any wait and waits for it to end (idempotent).
    void Join();
    // Lets the thread end at its next step; Join() then waits for it.
    void RequestStop() {
        thread_.requestTerminate();
        thread_.resume();
    }

private:
    void Execute(platform::Thread& self);
    SenderLinks links_;
    const platform::Thread& repetitive_;
    platform::Event newSend_{false};
    // This sender's own slots: the repetitive-ask thread may be suspended in the
    // middle of its exchange while this one builds, so they must not share a buffer.
    TxSlots slots_{};
    platform::Thread thread_;  // last: starts once everything above exists
};

}  // namespace netpod
