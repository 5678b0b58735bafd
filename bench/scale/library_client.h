// The library side: the same work done through the C exports of libqorvi-netpod, and
// nothing else of it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qorvi_netpod.h"
#include "stats.h"

namespace scalebench {

// Connections opened through the library. The callbacks are plain functions shared
// by every connection of the process; they count answers, check that each one was
// decoded with the values the peer sends, and wake an on-demand read in progress.
// One LibraryFleet at a time.
class LibraryFleet {
public:
    LibraryFleet();
    ~LibraryFleet();
    LibraryFleet(const LibraryFleet&) = delete;
    LibraryFleet& operator=(const LibraryFleet&) = delete;

    // Opens `count` connections to `address` and waits until all are connected.
    bool open(const std::string& address, std::size_t count, std::string* error);
    // Marks INPUTS for the repetitive ask of every connection and starts it every
    // `periodMs`, logging answer times to `log` when given.
    bool startAsk(int periodMs, AnswerLog* log, std::string* error);
    void stopAsk();
    void close();

    // One on-demand read of TYPE on the first connection: mark it, send, and wait
    // for Data_Received_MAINPORT. False when the library refused, no answer came
    // within a second, or the answer did not carry TYPE 8.2.
    bool readType();

    // Counted from the construction of this fleet.
    std::uint64_t answers() const;
    // Answers without the values the peer sent, and socket errors.
    std::uint64_t faults() const;

private:
    std::vector<ComID> connections_;
    std::uint64_t answersBefore_;
    std::uint64_t faultsBefore_;
};

// The library's last-error text, for reports.
std::string LibraryLastError();

}  // namespace scalebench
