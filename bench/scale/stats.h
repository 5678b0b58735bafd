// Order statistics of samples, and a log of answer times that one thread writes while
// another reads it afterwards.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "host.h"

namespace scalebench {

// The nearest-rank percentile (0 < p <= 100) of `samples`; 0 for none.
inline double Percentile(std::vector<double> samples, double p) {
    if (samples.empty())
        return 0.0;
    auto rank = static_cast<std::size_t>(p / 100.0 * static_cast<double>(samples.size()) + 0.999999);
    rank = std::clamp<std::size_t>(rank, 1, samples.size());
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(rank - 1), samples.end());
    return samples[rank - 1];
}

// Times of answers, recorded while enabled, up to a fixed capacity (later ones are
// counted but not kept). Written by the thread that delivers answers; read once
// recording has been switched off and that thread has let go of the log.
class AnswerLog {
public:
    explicit AnswerLog(std::size_t capacity)
        : times_(std::make_unique<std::atomic<std::int64_t>[]>(capacity)), capacity_(capacity) {}

    void enable(bool on) { on_.store(on); }

    void record() {
        if (!on_.load(std::memory_order_relaxed))
            return;
        const std::size_t i = count_.fetch_add(1, std::memory_order_relaxed);
        if (i < capacity_)
            times_[i].store(NowNanoseconds(), std::memory_order_relaxed);
    }

    // The gaps between consecutive recorded answers, in microseconds.
    std::vector<double> intervalsMicroseconds() const {
        const std::size_t n = std::min(count_.load(), capacity_);
        std::vector<std::int64_t> t(n);
        for (std::size_t i = 0; i < n; ++i)
            t[i] = times_[i].load(std::memory_order_relaxed);
        std::sort(t.begin(), t.end());
        std::vector<double> gaps;
        for (std::size_t i = 1; i < n; ++i)
            gaps.push_back(static_cast<double>(t[i] - t[i - 1]) / 1000.0);
        return gaps;
    }

private:
    std::unique_ptr<std::atomic<std::int64_t>[]> times_;
    std::size_t capacity_;
    std::atomic<std::size_t> count_{0};
    std::atomic<bool> on_{false};
};

}  // namespace scalebench
