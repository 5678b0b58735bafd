// The process-wide periodic timer service.
#include "platform/event.h"
#include "platform/timer_service.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace netpod::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(TimerService, RefusesPeriodsBelowOneMillisecondAndIgnoresUnknownIds) {
    Event event;
    auto& service = TimerService::instance();
    EXPECT_EQ(service.start(0ms, event), 0u);
    EXPECT_EQ(service.start(-5ms, event), 0u);
    EXPECT_EQ(service.activeTimers(), 0u);
    service.stop(0);
    service.stop(123456);
    EXPECT_EQ(event.wait(30ms), WaitResult::TimedOut);
}

TEST(TimerService, TicksDoNotAccumulateWhileNobodyWaits) {
    constexpr auto period = 50ms;
    Event event;
    const auto begin = Clock::now();
    const TimerId id = TimerService::instance().start(period, event);
    ASSERT_NE(id, 0u);

    // Five and a half periods without waiting leave one pending tick, not five.
    std::this_thread::sleep_until(begin + 5 * period + period / 2);
    const auto firstWait = Clock::now();
    EXPECT_EQ(event.wait(1000ms), WaitResult::Signalled);
    EXPECT_LT(Clock::now() - firstWait, 40ms);
    EXPECT_EQ(event.wait(1000ms), WaitResult::Signalled);
    EXPECT_GE(Clock::now() - begin, 6 * period - 2ms);

    TimerService::instance().stop(id);
    EXPECT_EQ(TimerService::instance().activeTimers(), 0u);
}

TEST(TimerService, ReplacedTimerTicksAtTheNewPeriodAndNoneFiresAfterStop) {
    auto& service = TimerService::instance();
    Event event;
    TimerId id = service.start(100ms, event);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(event.wait(1000ms), WaitResult::Signalled);

    // Replaced, as a new repetitive-ask period does it.
    service.stop(id);
    id = service.start(10ms, event);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(service.activeTimers(), 1u);
    EXPECT_EQ(event.wait(1000ms), WaitResult::Signalled);
    const auto begin = Clock::now();
    for (int tick = 0; tick < 10; ++tick)
        ASSERT_EQ(event.wait(1000ms), WaitResult::Signalled);
    const auto elapsed = Clock::now() - begin;
    EXPECT_GE(elapsed, 90ms);
    EXPECT_LT(elapsed, 700ms);   // the old period would take 1000 ms

    service.stop(id);
    EXPECT_EQ(service.activeTimers(), 0u);
    event.reset();   // a tick may have come between the last wait and stop()
    EXPECT_EQ(event.wait(30ms), WaitResult::TimedOut);

    // With no timer left the service thread ends; a new timer brings it back.
    std::this_thread::sleep_for(20ms);
    id = service.start(5ms, event);
    EXPECT_EQ(event.wait(1000ms), WaitResult::Signalled);
    service.stop(id);
}

TEST(TimerService, TwoHundredTimersAllTick) {
    auto& service = TimerService::instance();
    std::vector<std::unique_ptr<Event>> events;
    std::vector<TimerId> ids;
    for (int i = 0; i < 200; ++i) {
        events.push_back(std::make_unique<Event>());
        ids.push_back(service.start(std::chrono::milliseconds(5 + i % 20), *events.back()));
        ASSERT_NE(ids.back(), 0u);
    }
    EXPECT_EQ(service.activeTimers(), 200u);
    for (int round = 0; round < 3; ++round)
        for (auto& event : events)
            ASSERT_EQ(event->wait(1000ms), WaitResult::Signalled);
    for (const TimerId id : ids)
        service.stop(id);
    EXPECT_EQ(service.activeTimers(), 0u);
}

TEST(TimerService, EventMayBeDestroyedAsSoonAsStopReturns) {
    // Stops race with expiries in progress: each stop is aimed at about the moment of
    // the next tick. A tick after stop() would touch a destroyed event (caught by the
    // address and thread sanitizers).
    auto& service = TimerService::instance();
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w) {
        workers.emplace_back([&service, w] {
            for (int i = 0; i < 300; ++i) {
                auto event = std::make_unique<Event>();
                const TimerId id = service.start(1ms, *event);
                ASSERT_EQ(event->wait(1000ms), WaitResult::Signalled);   // in phase with the ticks
                std::this_thread::sleep_for(std::chrono::microseconds(700 + (i * 37 + w * 91) % 600));
                service.stop(id);
                event.reset();
            }
        });
    }
    for (auto& worker : workers)
        worker.join();
    EXPECT_EQ(service.activeTimers(), 0u);
}

}  // namespace
}  // namespace netpod::platform
