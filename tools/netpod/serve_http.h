// `serve`: the HTTP side. Serves the page, the state as JSON (GET /api/state), the
// state as a stream of Server-Sent Events (GET /api/events) and the writes (POST
// /api/outputs, /api/threshold, /api/name, /api/warnings/clear).
//
// Requests run on a fixed pool of worker threads. A stream holds one worker while it
// is open, so the number of streams is capped below the pool's size; each stream
// writes at least every few seconds, and a write to a page that has gone away fails,
// which ends the stream and frees its worker.
#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>

#include "module_link.h"
#include "serve_requests.h"
#include "serve_state.h"

namespace netpod::tool::serve {

inline constexpr int kWorkerThreads = 24;
inline constexpr int kMostStreams = 16;

class WebServer {
public:
    using SubmitWrite = std::function<std::future<WriteOutcome>(const WriteRequest&)>;

    // `longestWrite`: how long a write request waits for its outcome at most.
    WebServer(LiveState& state, SubmitWrite submit, std::chrono::milliseconds longestWrite);
    ~WebServer();  // Stop()
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds the listening socket. False, with the reason in `error`, when the address
    // cannot be bound.
    bool Bind(const ListenAddress& listen, const std::string& token, std::string& error);
    int port() const;
    // Serves on a thread of its own until Stop().
    void Start();
    // Ends the streams (it closes the LiveState), stops accepting and waits for the
    // workers.
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace netpod::tool::serve
