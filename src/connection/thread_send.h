// TThreadSend: the on-demand sender of one connection.
#pragma once

#include "protocol/request_builder.h"
#include "platform/thread.h"

namespace netpod {

class CComManagement;

// Waits for Qorvi_NETPOD_SendData_MAINPORT (HevNewSend), builds the request from
// every pending mark, sends it slot by slot paced by the answers, and gives the
// exchange token (HevSync) back. It takes the token only while the repetitive-ask
// thread runs.
class TThreadSend {
public:
    explicit TThreadSend(CComManagement& manager);   // starts running
    ~TThreadSend();                                  // joins; the manager has woken it
    TThreadSend(const TThreadSend&) = delete;
    TThreadSend& operator=(const TThreadSend&) = delete;

    platform::Thread& thread() { return thread_; }

private:
    void Execute(platform::Thread& self);
    void Log(const char* message);

    CComManagement& manager_;
    // This sender's own slots: the repetitive-ask thread may be suspended in the
    // middle of its exchange while this one builds, so they must not share a buffer.
    TxSlots slots_{};
    platform::Thread thread_;   // last: starts once everything above exists
};

}  // namespace netpod
