// `serve`: what the page shows of the module, shared between the thread that talks
// to the module (the only writer) and the HTTP threads that push it to the browsers.
//
// Every change raises a sequence number and wakes the waiting streams, so that any
// number of pages follow one connection to the module without asking it themselves.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "qorvi_netpod.h"

namespace netpod::tool::serve {

using Clock = std::chrono::steady_clock;

enum class LinkState { Connecting, Connected, Lost };

// One point of the voltage plot: the sixteen input voltages at a moment, in
// milliseconds since the server started.
struct Sample {
    int64_t timeMs = 0;
    std::array<float, 16> volts{};
};

// The module as last read. Values stay (shown as stale) while the link is down.
struct Snapshot {
    uint64_t sequence = 0;
    LinkState link = LinkState::Connecting;
    std::string linkMessage;  // why the link is down, or what is being tried
    std::string address;      // the module's address, as the tool reaches it
    int32_t periodMs = 0;

    std::optional<std::array<int32_t, 2>> type;
    std::optional<std::array<int32_t, 4>> version;
    std::optional<std::array<int32_t, 6>> mac;
    std::optional<std::array<int32_t, 4>> ip;
    std::optional<std::string> name;  // as ModuleNameText shows it
    std::optional<float> threshold;
    std::optional<std::array<bool, 16>> outputs;
    std::optional<std::array<bool, 16>> inputs;
    std::optional<std::array<float, 16>> inputVoltages;
    std::optional<float> supply;
    std::optional<std::array<bool, 32>> warnings;
    int64_t sampleTimeMs = -1;  // when the input voltages were read; -1 before that
};

// The plot keeps this much, points at least kHistoryStep apart: every answer of a
// poll of 100 ms, however its answers jitter, and twenty a second of a faster one.
inline constexpr std::chrono::milliseconds kHistorySpan{60'000};
inline constexpr std::chrono::milliseconds kHistoryStep{50};

class LiveState {
public:
    LiveState(std::string moduleAddress, int32_t periodMs, Clock::time_point start = Clock::now());

    // Called by the module's thread.
    void SetLink(LinkState link, std::string message);
    // Takes every value the answer carries (its Valid flags); `now` dates the voltages.
    void Apply(const RegisterValues& values, Clock::time_point now);

    Snapshot Current() const;
    std::deque<Sample> History() const;

    enum class Wait { Changed, TimedOut, Closed };
    // Waits until the sequence number differs from `seen` and `notBefore` has passed,
    // or until `giveUpAt`, or until Close(). `notBefore` spaces out the pushes of a
    // module polled every millisecond.
    Wait WaitForChange(uint64_t seen, Clock::time_point notBefore, Clock::time_point giveUpAt) const;
    // Ends every wait, now and later; the streams then finish their responses.
    void Close();
    bool Closed() const;

private:
    void ChangedLocked();  // under mutex_

    const Clock::time_point start_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    // Written by the module's thread (SetLink, Apply) and Close(), read by the HTTP
    // threads; all under mutex_.
    Snapshot snapshot_;
    std::deque<Sample> history_;
    bool closed_ = false;
};

// The snapshot as the page and the JSON interface see it.
nlohmann::json SnapshotJson(const Snapshot& snapshot);
// The plot's points: {"t": [ms...], "v": [[16 volts]...]}.
nlohmann::json HistoryJson(const std::deque<Sample>& history);
// The name under which the page lists warning flag k (0 to 31).
std::string WarningName(int k);
const char* LinkStateName(LinkState link);

}  // namespace netpod::tool::serve
