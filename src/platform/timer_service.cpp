#include "platform/timer_service.h"

#include "platform/event.h"
#include "platform/thread.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>
#include <utility>

namespace netpod::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kMinimumPeriod{1};
// Keeps every deadline far from the end of the clock's range.
constexpr std::chrono::milliseconds kMaximumPeriod = std::chrono::hours(24 * 365 * 100);

struct Timer {
    Clock::duration period;
    Clock::time_point deadline;
    Event* event;
};

}  // namespace

struct TimerService::State {
    // Everything below is guarded by mutex_. start()/stop() on any thread write the
    // timers and the queue; the service thread reads them, reschedules, and sets the
    // events while holding mutex_, which is what lets stop() promise that no event is
    // set after it returns.
    mutable std::mutex mutex;
    std::condition_variable changed;  // a timer was added or removed
    std::unordered_map<TimerId, Timer> timers;
    std::set<std::pair<Clock::time_point, TimerId>> queue;  // ordered by deadline
    TimerId lastId = 0;
    // The service thread, present while at least one timer exists. Its generation
    // tells it whether it is still the current one: stopping the last timer retires
    // it (a new generation begins) and joins it, so that no thread outlives its timers.
    std::unique_ptr<Thread> thread;
    std::uint64_t generation = 0;
};

TimerService::TimerService() : state_(new State) {}

TimerService& TimerService::instance() {
    // Deliberately never destroyed: the service thread may still be serving timers
    // that the application left running while the process exits, and it must never
    // find its state already destroyed by the static destructors.
    static TimerService* const service = new TimerService;
    return *service;
}

TimerId TimerService::start(std::chrono::milliseconds period, Event& event) {
    if (period < kMinimumPeriod)
        return 0;
    if (period > kMaximumPeriod)
        period = kMaximumPeriod;

    TimerId id = 0;
    std::lock_guard lock(state_->mutex);
    id = ++state_->lastId;
    const Clock::time_point deadline = Clock::now() + period;
    state_->timers.emplace(id, Timer{period, deadline, &event});
    state_->queue.emplace(deadline, id);
    if (state_->thread) {
        state_->changed.notify_one();
    } else {
        const std::uint64_t generation = state_->generation;
        try {
            // The new thread blocks on the mutex held here until start() returns.
            state_->thread = std::make_unique<Thread>([this, generation](Thread&) { serve(generation); }, false);
        } catch (...) {
            state_->queue.erase({deadline, id});
            state_->timers.erase(id);
            throw;
        }
    }
    return id;
}

void TimerService::stop(TimerId id) {
    std::unique_ptr<Thread> retired;
    {
        std::lock_guard lock(state_->mutex);
        const auto found = state_->timers.find(id);
        if (found == state_->timers.end())
            return;
        state_->queue.erase({found->second.deadline, id});
        state_->timers.erase(found);
        if (state_->timers.empty()) {
            ++state_->generation;
            retired = std::move(state_->thread);
        }
        state_->changed.notify_all();
    }
    // Joined outside the lock, which the retiring thread needs to see its retirement.
    // A start() meanwhile has already made a thread of the new generation.
    retired.reset();
}

std::size_t TimerService::activeTimers() const {
    std::lock_guard lock(state_->mutex);
    return state_->timers.size();
}

void TimerService::serve(std::uint64_t generation) {
    std::unique_lock lock(state_->mutex);
    while (generation == state_->generation) {
        if (state_->queue.empty()) {
            state_->changed.wait(lock);
            continue;
        }
        const auto [deadline, id] = *state_->queue.begin();
        const Clock::time_point now = Clock::now();
        if (deadline > now) {
            state_->changed.wait_until(lock, deadline);
            continue;  // the queue may have changed meanwhile
        }
        state_->queue.erase(state_->queue.begin());
        Timer& timer = state_->timers.at(id);
        // Setting an event only takes the event's own short lock; it never calls out.
        timer.event->set();
        timer.deadline = deadline + timer.period;
        if (timer.deadline <= now)
            timer.deadline = now + timer.period;  // behind: no burst of make-up ticks
        state_->queue.emplace(timer.deadline, id);
    }
}

}  // namespace netpod::platform
