// Keeps a failure that repeats many times a second from flooding the error log.
#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace netpod {

// One entry to append to the log: a message and the IP text of its column.
struct LogRecord {
    std::string message;
    std::string ipText;
    bool operator==(const LogRecord&) const = default;
};

// "Previous message repeated N times: <message>", the entry that stands for N
// reports that were counted instead of written.
std::string RepeatSummaryText(std::size_t count, std::string_view message);

// Decides which reports reach the log. A report whose (message, IP text) was
// written less than `interval` ago is counted, not written; the count is written
// as one summary entry once the interval has passed (at the next report of any
// kind), when a message not seen recently arrives about the same IP text, when its
// key makes room for another, or at Flush. The most recent `capacity` distinct keys
// are remembered, so that a connection that alternates between two or three
// failures is caught as well as one that repeats one.
//
// Pure: the caller passes the time and serialises the calls.
class RepeatFilter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kDefaultInterval = std::chrono::seconds(5);
    // Enough for two alternating failures on each of a thousand connections;
    // a key costs about the length of its message.
    static constexpr std::size_t kDefaultCapacity = 4096;

    explicit RepeatFilter(Clock::duration interval = kDefaultInterval, std::size_t capacity = kDefaultCapacity);

    // The records to append, in order, for a report at `now`: the summaries that
    // are due, then the entry itself unless it is counted as a repeat.
    std::vector<LogRecord> Report(std::string_view message, std::string_view ipText, Clock::time_point now);

    // Summaries of every count still pending (at process exit).
    std::vector<LogRecord> Flush(Clock::time_point now);

    // An entry that could not be written: its key is forgotten, so that its next
    // report is written rather than counted against an entry the log never got.
    void Forget(std::string_view message, std::string_view ipText);

    std::size_t size() const { return entries_.size(); }

private:
    struct Key {
        std::string message;
        std::string ipText;
        // Start of the current window: when the entry or its last summary was written.
        Clock::time_point windowStart;
        std::size_t repeats = 0;  // counted since windowStart, not yet written
    };

    static std::string IndexKey(std::string_view message, std::string_view ipText);
    void MarkPending(Key& key);
    // Writes the summaries that are due, those of `ipText` whether due or not, or
    // all of them.
    void FlushPending(std::vector<LogRecord>& out, Clock::time_point now, std::optional<std::string_view> ipText = {},
                      bool all = false);

    Clock::duration interval_;
    std::size_t capacity_;
    std::list<Key> entries_;  // most recently reported first
    std::unordered_map<std::string, std::list<Key>::iterator> index_;
    std::vector<Key*> pending_;  // keys with repeats > 0, in the order they began counting
    Clock::time_point earliestDue_ = Clock::time_point::max();
};

}  // namespace netpod
