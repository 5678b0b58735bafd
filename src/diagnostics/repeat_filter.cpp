#include "diagnostics/repeat_filter.h"

#include <algorithm>

namespace netpod {

std::string RepeatSummaryText(std::size_t count, std::string_view message) {
    std::string text = "Previous message repeated ";
    text.append(std::to_string(count)).append(count == 1 ? " time: " : " times: ").append(message);
    return text;
}

RepeatFilter::RepeatFilter(Clock::duration interval, std::size_t capacity)
    : interval_(interval), capacity_(std::max<std::size_t>(capacity, 1)) {}

std::string RepeatFilter::IndexKey(std::string_view message, std::string_view ipText) {
    // An IP text never holds a zero character, so the pair cannot be confused.
    std::string key(ipText);
    key.push_back('\0');
    key.append(message);
    return key;
}

std::vector<LogRecord> RepeatFilter::Report(std::string_view message, std::string_view ipText, Clock::time_point now) {
    std::vector<LogRecord> out;
    std::string index = IndexKey(message, ipText);
    const auto found = index_.find(index);
    if (found == index_.end()) {
        // A message not seen recently about this address: what was counted for the
        // same address goes to the log before it, so that the log keeps the order in
        // which things happened there. Other addresses keep their own windows, so
        // that many connections failing at once do not write each other's counts.
        FlushPending(out, now, ipText);
        if (entries_.size() >= capacity_) {
            Key& oldest = entries_.back();
            if (oldest.repeats > 0) {
                out.push_back({RepeatSummaryText(oldest.repeats, oldest.message), oldest.ipText});
                pending_.erase(std::remove(pending_.begin(), pending_.end(), &oldest), pending_.end());
            }
            index_.erase(IndexKey(oldest.message, oldest.ipText));
            entries_.pop_back();
        }
        entries_.push_front(Key{std::string(message), std::string(ipText), now, 0});
        index_.emplace(std::move(index), entries_.begin());
        out.push_back({std::string(message), std::string(ipText)});
        return out;
    }
    entries_.splice(entries_.begin(), entries_, found->second);
    Key& key = *found->second;
    const bool windowOver = now - key.windowStart >= interval_;
    if (!windowOver || key.repeats > 0) {
        // Counted. When the window is over, the summary written just below
        // includes this report.
        if (key.repeats++ == 0)
            MarkPending(key);
        FlushPending(out, now);
        return out;
    }
    // Quiet for a whole window: the message is written again as it is.
    FlushPending(out, now);
    key.windowStart = now;
    out.push_back({std::string(message), std::string(ipText)});
    return out;
}

std::vector<LogRecord> RepeatFilter::Flush(Clock::time_point now) {
    std::vector<LogRecord> out;
    FlushPending(out, now, {}, true);
    return out;
}

void RepeatFilter::Forget(std::string_view message, std::string_view ipText) {
    const auto found = index_.find(IndexKey(message, ipText));
    if (found == index_.end())
        return;
    Key* key = &*found->second;
    // earliestDue_ may now be early; that costs one needless scan, nothing more.
    pending_.erase(std::remove(pending_.begin(), pending_.end(), key), pending_.end());
    entries_.erase(found->second);
    index_.erase(found);
}

void RepeatFilter::MarkPending(Key& key) {
    pending_.push_back(&key);
    earliestDue_ = std::min(earliestDue_, key.windowStart + interval_);
}

void RepeatFilter::FlushPending(std::vector<LogRecord>& out, Clock::time_point now,
                                std::optional<std::string_view> ipText, bool all) {
    if (pending_.empty() || (!all && !ipText && now < earliestDue_))
        return;
    earliestDue_ = Clock::time_point::max();
    std::size_t kept = 0;
    for (Key* key : pending_) {
        if (all || (ipText && key->ipText == *ipText) || now - key->windowStart >= interval_) {
            out.push_back({RepeatSummaryText(key->repeats, key->message), key->ipText});
            key->repeats = 0;
            key->windowStart = now;
        } else {
            pending_[kept++] = key;
            earliestDue_ = std::min(earliestDue_, key->windowStart + interval_);
        }
    }
    pending_.resize(kept);
}

}  // namespace netpod
