// One connection of the tool to a module, through the library's C interface only.
//
// The library calls its callbacks on its notification thread. The callbacks only
// copy what they are given into the session's inbox and wake the main thread, which
// does everything else; no callback waits for the main thread. The tool holds one
// connection at a time, so the callbacks find the inbox without looking at ComID.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qorvi_netpod.h"
#include "value_parsing.h"

namespace netpod::tool {

// The library's last-error text, with its tab shown as a separator.
std::string LibraryLastError();

// Set from a SIGINT/SIGTERM handler; the waits of a session end when it is set.
void RequestStop();
bool StopRequested();

class ModuleSession {
public:
    enum class Port { Main, Serial };

    // Opens the connection and waits until the library reports it connected.
    // Null, with the reason in `error`, when the open fails or the connection is not
    // made within `timeoutMs`.
    static std::unique_ptr<ModuleSession> Open(const DottedQuad& address, Port port, int timeoutMs,
                                               std::string& error);
    ~ModuleSession();  // closes the connection
    ModuleSession(const ModuleSession&) = delete;
    ModuleSession& operator=(const ModuleSession&) = delete;

    ComID com() const { return com_; }

    // Starts one on-demand exchange with what has been marked, and waits for an
    // answer that satisfies `complete` (an answer may arrive in several parts, each
    // reported on its own). False, with the reason in `error`, on a refused send, a
    // lost connection, an interruption or no complete answer within the time-out.
    bool Exchange(const std::function<bool(const RegisterValues&)>& complete, RegisterValues& answer,
                  std::string& error);

    // Waits for the next answer of any kind (the repetitive ask). False on time-out,
    // lost connection or interruption, with the reason in `error`.
    bool NextAnswer(RegisterValues& answer, std::chrono::milliseconds timeout, std::string& error);

    // Serial connections: the bytes received since the last call (empty when none
    // came within `timeout`), and whether the connection is still up.
    std::vector<uint8_t> TakeSerialBytes(std::chrono::milliseconds timeout);
    bool Connected() const;

private:
    ModuleSession(ComID com, int timeoutMs) : com_(com), timeoutMs_(timeoutMs) {}

    ComID com_;
    int timeoutMs_;
};

}  // namespace netpod::tool
