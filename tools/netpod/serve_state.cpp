#include "serve_state.h"

#include <cmath>

#include "report.h"

namespace netpod::tool::serve {
namespace {

template <std::size_t N, class T>
std::array<T, N> ArrayOf(const T* values) {
    std::array<T, N> copy{};
    for (std::size_t i = 0; i < N; ++i)
        copy[i] = values[i];
    return copy;
}

// Millivolt resolution is all the page shows, and it keeps the JSON short.
double Rounded(float volts) { return std::round(static_cast<double>(volts) * 1000.0) / 1000.0; }

nlohmann::json VoltsJson(const std::array<float, 16>& volts) {
    nlohmann::json list = nlohmann::json::array();
    for (const float v : volts)
        list.push_back(Rounded(v));
    return list;
}

template <std::size_t N>
nlohmann::json FlagsJson(const std::array<bool, N>& flags) {
    nlohmann::json list = nlohmann::json::array();
    for (const bool on : flags)
        list.push_back(on);
    return list;
}

}  // namespace

LiveState::LiveState(std::string moduleAddress, int32_t periodMs, Clock::time_point start) : start_(start) {
    snapshot_.address = std::move(moduleAddress);
    snapshot_.periodMs = periodMs;
}

void LiveState::ChangedLocked() {
    ++snapshot_.sequence;
    changed_.notify_all();
}

void LiveState::SetLink(LinkState link, std::string message) {
    std::lock_guard lock(mutex_);
    if (snapshot_.link == link && snapshot_.linkMessage == message)
        return;
    snapshot_.link = link;
    snapshot_.linkMessage = std::move(message);
    ChangedLocked();
}

void LiveState::Apply(const RegisterValues& v, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    Snapshot& s = snapshot_;
    bool changed = false;
    auto take = [&changed](auto& field, bool valid, auto value) {
        if (valid) {
            field = value;
            changed = true;
        }
    };
    take(s.type, v.TypeValid, std::array<int32_t, 2>{v.TypeHigh, v.TypeLow});
    take(s.version, v.VersionValid, std::array<int32_t, 4>{v.VersionA, v.VersionB, v.VersionC, v.VersionD});
    take(s.mac, v.EthernetMACValid, ArrayOf<6>(v.EthernetMAC));
    take(s.ip, v.IPAddressValid, ArrayOf<4>(v.IPAddress));
    take(s.name, v.ModuleNameValid, ModuleNameText(v.ModuleName));
    take(s.threshold, v.AnalogInputsThresholdValid, v.AnalogInputsThreshold);
    take(s.outputs, v.OutputsValid, ArrayOf<16>(v.Outputs));
    take(s.inputs, v.InputsValid, ArrayOf<16>(v.Inputs));
    take(s.supply, v.VoltageValid, v.Voltage);
    take(s.warnings, v.WarningsValid, ArrayOf<32>(v.Warnings));

    bool anyVoltage = false;
    std::array<float, 16> volts = s.inputVoltages.value_or(std::array<float, 16>{});
    for (std::size_t k = 0; k < 16; ++k) {
        if (v.InputVoltageValid[k]) {
            volts[k] = v.InputVoltage[k];
            anyVoltage = true;
        }
    }
    if (anyVoltage) {
        s.inputVoltages = volts;
        s.sampleTimeMs = std::chrono::duration_cast<std::chrono::milliseconds>(now - start_).count();
        // The plot needs no more than one point per step; a 1 ms poll would
        // otherwise make the history of one minute sixty thousand points long.
        if (history_.empty() || s.sampleTimeMs - history_.back().timeMs >= kHistoryStep.count())
            history_.push_back({s.sampleTimeMs, volts});
        while (!history_.empty() && s.sampleTimeMs - history_.front().timeMs > kHistorySpan.count())
            history_.pop_front();
        changed = true;
    }
    if (changed)
        ChangedLocked();
}

Snapshot LiveState::Current() const {
    std::lock_guard lock(mutex_);
    return snapshot_;
}

std::deque<Sample> LiveState::History() const {
    std::lock_guard lock(mutex_);
    return history_;
}

LiveState::Wait LiveState::WaitForChange(uint64_t seen, Clock::time_point notBefore,
                                         Clock::time_point giveUpAt) const {
    std::unique_lock lock(mutex_);
    while (true) {
        if (closed_)
            return Wait::Closed;
        const auto now = Clock::now();
        const bool changed = snapshot_.sequence != seen;
        if (changed && now >= notBefore)
            return Wait::Changed;
        if (now >= giveUpAt)
            return Wait::TimedOut;
        changed_.wait_until(lock, changed ? std::min(notBefore, giveUpAt) : giveUpAt);
    }
}

void LiveState::Close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

bool LiveState::Closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

std::string WarningName(int k) {
    // The module documents its warnings only as numbered flags of the WARNINGS
    // register; the page names them by number until a firmware gives them meaning.
    return "warning " + std::to_string(k);
}

const char* LinkStateName(LinkState link) {
    switch (link) {
    case LinkState::Connecting: return "connecting";
    case LinkState::Connected: return "connected";
    case LinkState::Lost: return "lost";
    }
    return "lost";
}

nlohmann::json SnapshotJson(const Snapshot& s) {
    using nlohmann::json;
    json module = {{"address", s.address}};
    module["type"] = s.type ? json(std::to_string((*s.type)[0]) + "." + std::to_string((*s.type)[1])) : json();
    module["product"] = s.type ? json(ProductName((*s.type)[0], (*s.type)[1])) : json();
    module["firmware"] = s.version ? json(FirmwareText((*s.version)[0], (*s.version)[1], (*s.version)[2],
                                                       (*s.version)[3]))
                                   : json();
    module["mac"] = s.mac ? json(MacText(s.mac->data())) : json();
    module["ip"] = s.ip ? json(DottedText(s.ip->data())) : json();
    module["name"] = s.name ? json(*s.name) : json();

    json warnings = json();
    if (s.warnings) {
        warnings = json::array();
        for (int k = 0; k < 32; ++k)
            if ((*s.warnings)[static_cast<std::size_t>(k)])
                warnings.push_back({{"flag", k}, {"name", WarningName(k)}});
    }
    return {
        {"sequence", s.sequence},
        {"connection", {{"state", LinkStateName(s.link)}, {"message", s.linkMessage}}},
        {"periodMs", s.periodMs},
        {"module", module},
        {"outputs", s.outputs ? FlagsJson(*s.outputs) : json()},
        {"inputs", s.inputs ? FlagsJson(*s.inputs) : json()},
        {"inputVoltages", s.inputVoltages ? VoltsJson(*s.inputVoltages) : json()},
        {"sampleTimeMs", s.sampleTimeMs},
        {"supply", s.supply ? json(Rounded(*s.supply)) : json()},
        {"threshold", s.threshold ? json(Rounded(*s.threshold)) : json()},
        {"warnings", warnings},
    };
}

nlohmann::json HistoryJson(const std::deque<Sample>& history) {
    nlohmann::json times = nlohmann::json::array();
    nlohmann::json volts = nlohmann::json::array();
    for (const Sample& sample : history) {
        times.push_back(sample.timeMs);
        volts.push_back(VoltsJson(sample.volts));
    }
    return {{"t", times}, {"v", volts}};
}

}  // namespace netpod::tool::serve
