// Cooperative suspension, resumption and termination of platform threads.
#include "platform/event.h"
#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace netpod::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Polls `condition` until it holds or `limit` has passed.
bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 2000ms) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A loop that counts its rounds, each passing one suspension point of the given kind.
enum class Point { TimedWait, SuspensionPoint, Section };

std::unique_ptr<Thread> CountingThread(std::atomic<int>& rounds, Event& idle, Point point) {
    return std::make_unique<Thread>(
        [&rounds, &idle, point](Thread& self) {
            while (!self.terminateRequested()) {
                switch (point) {
                case Point::TimedWait:
                    idle.wait(1ms);
                    ++rounds;
                    break;
                case Point::SuspensionPoint:
                    Thread::suspensionPoint();
                    ++rounds;
                    break;
                case Point::Section: {
                    // The "send": counted only inside a section.
                    Thread::NoSuspendSection section;
                    ++rounds;
                    break;
                }
                }
            }
        },
        false);
}

TEST(Thread, SuspendedThreadMakesNoProgressUntilResumed) {
    for (const Point point : {Point::TimedWait, Point::SuspensionPoint, Point::Section}) {
        SCOPED_TRACE(static_cast<int>(point));
        std::atomic<int> rounds{0};
        Event idle;
        auto thread = CountingThread(rounds, idle, point);
        ASSERT_TRUE(Eventually([&] { return rounds.load() > 3; }));

        thread->suspend();
        EXPECT_TRUE(thread->isSuspended());
        const int atSuspend = rounds.load();
        std::this_thread::sleep_for(20ms);
        const int parked = rounds.load();
        // Outside a section the thread may finish the round it was in; a section
        // is never entered once suspend() has returned.
        EXPECT_LE(parked - atSuspend, point == Point::Section ? 0 : 1);
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(rounds.load(), parked);

        thread->resume();
        EXPECT_FALSE(thread->isSuspended());
        EXPECT_TRUE(Eventually([&] { return rounds.load() > parked + 3; }));
        thread->resume();   // resuming a running thread changes nothing
        EXPECT_FALSE(thread->isSuspended());
    }
}

TEST(Thread, SuspendFromAnotherThreadReturnsOnlyAfterTheSectionEnds) {
    Event inSection;
    Event release;
    std::atomic<bool> leaving{false};
    std::atomic<int> sectionsAfterSuspend{0};
    std::atomic<bool> suspendReturned{false};
    Thread thread(
        [&](Thread& self) {
            {
                Thread::NoSuspendSection section;
                inSection.set();
                // A wait inside a section does not park, even once suspend() is pending.
                release.wait(5000ms);
                leaving = true;
            }
            while (!self.terminateRequested()) {
                Thread::NoSuspendSection section;
                if (suspendReturned)
                    ++sectionsAfterSuspend;
            }
        },
        false);
    ASSERT_EQ(inSection.wait(2000ms), WaitResult::Signalled);

    std::thread suspender([&] {
        thread.suspend();
        EXPECT_TRUE(leaving.load());
        suspendReturned = true;
    });
    EXPECT_TRUE(Eventually([&] { return thread.isSuspended(); }));
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(suspendReturned.load());
    release.set();
    suspender.join();
    EXPECT_TRUE(suspendReturned.load());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(sectionsAfterSuspend.load(), 0);
    thread.resume();
    EXPECT_TRUE(Eventually([&] { return sectionsAfterSuspend.load() > 0; }));
}

TEST(Thread, CreatedSuspendedStartsOnlyOnResume) {
    std::atomic<bool> started{false};
    Thread* seenAsCurrent = nullptr;
    Thread thread(
        [&](Thread& self) {
            seenAsCurrent = Thread::current();
            EXPECT_EQ(&self, seenAsCurrent);
            started = true;
        },
        true);
    EXPECT_TRUE(thread.isSuspended());
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(started.load());
    EXPECT_EQ(Thread::current(), nullptr);

    thread.resume();
    thread.join();
    EXPECT_TRUE(started.load());
    EXPECT_EQ(seenAsCurrent, &thread);
    thread.join();   // idempotent
}

TEST(Thread, SelfSuspendParksUntilResumed) {
    std::atomic<int> phase{0};
    Thread thread(
        [&](Thread& self) {
            phase = 1;
            self.suspend();
            phase = 2;
        },
        false);
    ASSERT_TRUE(Eventually([&] { return phase.load() == 1 && thread.isSuspended(); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(phase.load(), 1);
    thread.resume();
    thread.join();
    EXPECT_EQ(phase.load(), 2);
}

TEST(Thread, SuspendedWaiterLeavesTheSignalToOthersAndTakesItWhenResumed) {
    Event event;
    std::atomic<int> result{-1};
    Thread thread([&](Thread&) { result = static_cast<int>(event.wait()); }, false);
    std::this_thread::sleep_for(20ms);   // let it block in the wait
    thread.suspend();

    event.set();
    std::this_thread::sleep_for(50ms);   // time enough to take it, were it allowed to
    // The suspended thread must not take it: another waiter gets it.
    EXPECT_EQ(event.wait(0ms), WaitResult::Signalled);
    event.set();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(result.load(), -1);

    thread.resume();
    thread.join();
    EXPECT_EQ(result.load(), static_cast<int>(WaitResult::Signalled));
    EXPECT_EQ(event.wait(0ms), WaitResult::TimedOut);   // it took the one signal
}

TEST(Thread, WaitThatTimesOutWhileSuspendedReturnsOnlyAfterResume) {
    Event event;
    std::atomic<int> result{-1};
    Thread thread(
        [&](Thread&) { result = static_cast<int>(event.wait(30ms)); }, true);
    thread.resume();
    thread.suspend();
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(result.load(), -1);
    thread.resume();
    thread.join();
    EXPECT_EQ(result.load(), static_cast<int>(WaitResult::TimedOut));
}

TEST(Thread, DestructorEndsSuspendedBlockedAndNeverStartedThreads) {
    // Suspended in the middle of its loop.
    {
        std::atomic<int> rounds{0};
        Event idle;
        auto thread = CountingThread(rounds, idle, Point::SuspensionPoint);
        ASSERT_TRUE(Eventually([&] { return rounds.load() > 0; }));
        thread->suspend();
        thread.reset();
    }
    // Blocked in an infinite wait, its event set by the owner first; also while
    // suspended in that wait, where the terminate request lets it take the signal.
    for (const bool suspended : {false, true}) {
        Event event;
        std::atomic<bool> started{false};
        std::atomic<bool> ended{false};
        auto thread = std::make_unique<Thread>(
            [&](Thread&) {
                started = true;
                event.wait();
                ended = true;
            },
            false);
        ASSERT_TRUE(Eventually([&] { return started.load(); }));
        std::this_thread::sleep_for(20ms);   // into the wait
        if (suspended)
            thread->suspend();
        event.set();
        thread.reset();
        EXPECT_TRUE(ended.load());
    }
    // Parked by a terminate request alone (without resume) it leaves the park.
    {
        std::atomic<bool> ended{false};
        Thread thread(
            [&](Thread& self) {
                self.suspend();
                ended = self.terminateRequested();
            },
            false);
        ASSERT_TRUE(Eventually([&] { return thread.isSuspended(); }));
        thread.requestTerminate();
        thread.join();
        EXPECT_TRUE(ended.load());
    }
    // Ended before it was ever resumed: the routine does not run at all.
    {
        std::atomic<bool> ran{false};
        { Thread thread([&](Thread&) { ran = true; }, true); }
        EXPECT_FALSE(ran.load());
    }
}

TEST(Thread, TwoThousandThreadsWithModestStacksCanExistAtOnce) {
    // Two sender threads for each of 1,000 connections.
    constexpr int kThreads = 2000;
    std::vector<std::unique_ptr<Event>> events;
    std::vector<std::unique_ptr<Thread>> threads;
    std::atomic<int> running{0};
    std::atomic<std::size_t> largestStack{0};
    for (int i = 0; i < kThreads; ++i) {
        events.push_back(std::make_unique<Event>());
        Event* const event = events.back().get();
        threads.push_back(std::make_unique<Thread>(
            [&running, &largestStack, event](Thread&) {
                pthread_attr_t attr;
                std::size_t stack = 0;
                if (pthread_getattr_np(pthread_self(), &attr) == 0) {
                    pthread_attr_getstacksize(&attr, &stack);
                    pthread_attr_destroy(&attr);
                }
                std::size_t seen = largestStack.load();
                while (stack > seen && !largestStack.compare_exchange_weak(seen, stack)) {
                }
                ++running;
                event->wait();
            },
            i % 2 == 0));
    }
    for (std::size_t i = 0; i < threads.size(); i += 2)
        threads[i]->resume();
    EXPECT_TRUE(Eventually([&] { return running.load() == kThreads; }, 20000ms));
    EXPECT_GT(largestStack.load(), 0u);
    // Far below the usual 8 MiB default; the thread sanitizer adds room of its own.
    EXPECT_LE(largestStack.load(), 1024u * 1024u);
    for (auto& event : events)
        event->set();
    threads.clear();
}

}  // namespace
}  // namespace netpod::platform
