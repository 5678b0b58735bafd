// The baseline: a small client written directly on sockets, doing the work the
// library does for the same figures, the way a careful hand-written client would.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "stats.h"
#include "wire.h"

namespace scalebench {

// One blocking connection for on-demand reads: send the 9-byte read of TYPE, read
// the 13-byte answer.
class RawBlockingClient {
public:
    RawBlockingClient() = default;
    ~RawBlockingClient();
    RawBlockingClient(const RawBlockingClient&) = delete;
    RawBlockingClient& operator=(const RawBlockingClient&) = delete;

    bool connect(const std::string& address, std::string* error);
    // One round trip; false when the send, the receive or the answer was wrong.
    bool readType();

private:
    int fd_ = -1;
};

// Many connections polled by one epoll thread on one timer. At every tick each
// connection sends a read of INPUTS; one whose previous read is still unanswered
// sends as soon as that answer is in, so ticks are neither lost nor piled up
// (which is what the library's repetitive ask does too).
class RawPoller {
public:
    RawPoller() = default;
    ~RawPoller();
    RawPoller(const RawPoller&) = delete;
    RawPoller& operator=(const RawPoller&) = delete;

    // Connects `count` sockets to port 8010 of `address`.
    bool open(const std::string& address, std::size_t count, std::string* error);
    // Starts the polling thread, one tick every `periodMs`, logging answer times to
    // `log` when given.
    bool startAsk(int periodMs, AnswerLog* log, std::string* error);
    // Stops and joins the polling thread; the connections stay open.
    void stopAsk();
    void close();

    std::uint64_t answers() const { return answers_.load(); }
    // Answers that were not the expected one, sends that failed, connections lost.
    std::uint64_t faults() const { return faults_.load(); }

private:
    struct Connection {
        int fd = -1;
        bool awaiting = false;  // a read is out and unanswered
        bool tickOwed = false;  // a tick came while it was
        wire::FrameReader<64> reader;
    };

    void run(int timerFd, int epollFd, AnswerLog* log);
    void send(Connection& c);

    std::vector<Connection> connections_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> answers_{0};
    std::atomic<std::uint64_t> faults_{0};
};

}  // namespace scalebench
