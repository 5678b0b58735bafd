// The auto-reset event, used from plain threads (no suspension involved).
#include "platform/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace netpod::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(Event, OneSetWakesExactlyOneOfTwoWaitersAndIsConsumed) {
    Event event;
    std::atomic<int> signalled{0};
    std::atomic<int> timedOut{0};
    auto waiter = [&] {
        const WaitResult result = event.wait(600ms);
        (result == WaitResult::Signalled ? signalled : timedOut)++;
    };
    std::thread first(waiter);
    std::thread second(waiter);
    std::this_thread::sleep_for(50ms);   // let both block (either way, one signal is one wake-up)
    event.set();
    first.join();
    second.join();
    EXPECT_EQ(signalled.load(), 1);
    EXPECT_EQ(timedOut.load(), 1);
    EXPECT_EQ(event.wait(0ms), WaitResult::TimedOut);
}

TEST(Event, SignalStaysUntilTakenAndSettingTwiceLeavesOneSignal) {
    Event event;
    event.set();
    event.set();
    EXPECT_EQ(event.wait(0ms), WaitResult::Signalled);
    EXPECT_EQ(event.wait(0ms), WaitResult::TimedOut);

    Event initially(true);
    EXPECT_EQ(initially.wait(), WaitResult::Signalled);
    EXPECT_EQ(initially.wait(0ms), WaitResult::TimedOut);

    Event cleared(true);
    cleared.reset();
    EXPECT_EQ(cleared.wait(0ms), WaitResult::TimedOut);
}

TEST(Event, TimedWaitEndsAtItsLimitAndNotBefore) {
    Event event;
    for (const auto limit : {30ms, 200ms}) {
        const auto begin = Clock::now();
        EXPECT_EQ(event.wait(limit), WaitResult::TimedOut);
        const auto elapsed = Clock::now() - begin;
        EXPECT_GE(elapsed, limit);
        EXPECT_LT(elapsed, limit + 50ms);
    }
}

TEST(Event, SetFromAnotherThreadEndsAnInfiniteWait) {
    Event event;
    const auto begin = Clock::now();
    std::thread setter([&] {
        std::this_thread::sleep_for(30ms);
        event.set();
    });
    EXPECT_EQ(event.wait(), WaitResult::Signalled);
    EXPECT_GE(Clock::now() - begin, 30ms);
    setter.join();
}

}  // namespace
}  // namespace netpod::platform
