// `serve`: the tool's one connection to the module, owned by a thread of its own.
//
// The thread opens the connection, reads the module's identity, outputs, threshold
// and name, and keeps the repetitive ask running on the supply voltage, the warnings,
// the inputs and the sixteen input voltages; every answer goes into the LiveState.
// Between two answers it runs, one at a time, the writes that the pages ask for, each
// followed by a read-back, and once a second it reads the outputs, the threshold and
// the name again, which another program may have changed. When the connection drops,
// or the module stays silent, it closes it and opens a new one, again and again, until
// the tool stops.
//
// Everything that talks to the library happens on this thread; the HTTP threads only
// hand in writes and wait for their outcome.
#pragma once

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "serve_requests.h"
#include "serve_state.h"
#include "value_parsing.h"

namespace netpod::tool {
class ModuleSession;
}

namespace netpod::tool::serve {

// How one write ended: 200, or an HTTP status with the reason (for a refusal of the
// library, its last-error text).
struct WriteOutcome {
    int status = 200;
    std::string error;
};

class ModuleLink {
public:
    ModuleLink(const DottedQuad& address, int32_t periodMs, int timeoutMs, LiveState& state);
    ~ModuleLink();  // stops the thread and waits for it; the connection is closed then
    ModuleLink(const ModuleLink&) = delete;
    ModuleLink& operator=(const ModuleLink&) = delete;

    void Start();
    // Asks the thread to end. A connection attempt in progress ends at once only when
    // the process has been asked to stop (RequestStop), otherwise at its time-out.
    void Stop();

    // Queues a write. The outcome is set by the module's thread once the write and its
    // read-back are done, or at once when there is no connection to the module.
    std::future<WriteOutcome> Submit(const WriteRequest& request);
    // How long a caller may have to wait for an outcome, at most.
    std::chrono::milliseconds LongestWrite() const;

    // Why the link gave up for good (the library refused the period); empty otherwise.
    std::string FatalError() const;

private:
    struct Job {
        WriteRequest request;
        std::promise<WriteOutcome> outcome;
    };
    struct Exchange;

    void Run();
    std::string Serve(ModuleSession& session);
    bool Stopping() const;
    std::optional<Job> TakeJob();
    void SetConnected(bool connected, const std::string& reason);
    void FailQueued(int status, const std::string& reason);
    void WaitBeforeRetry(std::chrono::milliseconds delay);

    void BeginWrite(Job job, ComID com, Exchange& exchange);
    void BeginRefresh(ComID com, Exchange& exchange);
    void Advance(const RegisterValues& answer, ComID com, Exchange& exchange);

    const DottedQuad address_;
    const int32_t periodMs_;
    const int timeoutMs_;
    LiveState& state_;
    std::thread thread_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    // Written by the HTTP threads (jobs_) and by the module's thread (the rest); read
    // by both; all under mutex_.
    std::deque<Job> jobs_;
    bool stop_ = false;
    bool connected_ = false;
    std::string disconnectReason_;
    std::string fatal_;

    // Only the module's thread: the outputs as last read, the base of a switch of one.
    std::optional<std::array<bool, 16>> outputs_;
};

}  // namespace netpod::tool::serve
