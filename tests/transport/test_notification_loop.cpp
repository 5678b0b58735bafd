// The deadlines of the notification loop: what the senders of every connection are
// driven by.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <malloc.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "transport/notification_loop.h"

namespace netpod {
namespace {

using namespace std::chrono_literals;
using Clock = NotificationLoop::Clock;

// Records its notifications; optionally asks again from inside each one.
class Recorder final : public NotificationTarget {
public:
    Recorder(int name, std::vector<int>& order, std::mutex& mutex, std::condition_variable& changed)
        : name_(name), order_(order), mutex_(mutex), changed_(changed) {}

    void OnNotification(std::uint32_t, DispatchContext&) override {
        notified.fetch_add(1);
        lastAt.store(Clock::now());
        {
            std::lock_guard lock(mutex_);
            order_.push_back(name_);
        }
        changed_.notify_all();
        if (rescheduleInThePast.load())
            loop->Schedule(id, Clock::now() - 1ms);
    }

    std::shared_ptr<NotificationLoop> loop;
    std::uint64_t id = 0;
    std::atomic<int> notified{0};
    std::atomic<Clock::time_point> lastAt{};
    std::atomic<bool> rescheduleInThePast{false};

private:
    const int name_;
    std::vector<int>& order_;
    std::mutex& mutex_;
    std::condition_variable& changed_;
};

class NotificationLoopDeadlines : public ::testing::Test {
protected:
    Recorder& Add(int name) {
        auto& r = *targets_.emplace_back(std::make_unique<Recorder>(name, order_, mutex_, changed_));
        r.loop = loop_;
        r.id = loop_->Register(&r);
        return r;
    }
    bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, done);
    }
    void TearDown() override {
        for (auto& r : targets_)
            loop_->Unregister(r->id);
    }

    std::shared_ptr<NotificationLoop> loop_ = NotificationLoop::Acquire();
    std::vector<int> order_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::unique_ptr<Recorder>> targets_;
};

// Deadlines come in the order of their times, never early; a later request of a
// target replaces its earlier one, time_point::max() cancels it, and an unregistered
// target is not notified of the deadline it had asked for.
TEST_F(NotificationLoopDeadlines, ComeInOrderAndOnlyTheLatestRequestCounts) {
    Recorder& a = Add(1);
    Recorder& b = Add(2);
    Recorder& c = Add(3);
    Recorder& d = Add(4);
    const Clock::time_point start = Clock::now();
    loop_->Schedule(a.id, start + 20ms);
    loop_->Schedule(b.id, start + 40ms);
    loop_->Schedule(c.id, start + 30ms);
    loop_->Schedule(d.id, start + 30ms);
    loop_->Schedule(a.id, start + 60ms);              // replaces 20 ms
    loop_->Schedule(c.id, Clock::time_point::max());  // cancelled
    loop_->Unregister(d.id);
    ASSERT_TRUE(WaitFor([&] { return order_.size() >= 2; }));
    std::this_thread::sleep_for(100ms);
    std::lock_guard lock(mutex_);
    EXPECT_EQ(order_, (std::vector<int>{2, 1}));
    EXPECT_GE(b.lastAt.load(), start + 40ms);
    EXPECT_GE(a.lastAt.load(), start + 60ms);
    EXPECT_EQ(c.notified.load(), 0);
    EXPECT_EQ(d.notified.load(), 0);
}

// A deadline asked for from another thread, earlier than the one the loop sleeps
// until, wakes the loop: it is not held up behind the later one.
TEST_F(NotificationLoopDeadlines, AnEarlierDeadlineFromAnotherThreadWakesTheLoop) {
    Recorder& later = Add(1);
    Recorder& sooner = Add(2);
    loop_->Schedule(later.id, Clock::now() + 60s);
    std::this_thread::sleep_for(20ms);  // the loop is asleep until the later one
    loop_->Schedule(sooner.id, Clock::now() + 10ms);
    EXPECT_TRUE(WaitFor([&] { return sooner.notified.load() == 1; }));
    EXPECT_EQ(later.notified.load(), 0);
}

// A target that keeps asking for deadlines already passed is notified again at
// every turn of the loop, but the others still get theirs: posts and deadlines of
// other targets are not starved.
TEST_F(NotificationLoopDeadlines, ATargetAskingForPassedDeadlinesStarvesNoOther) {
    Recorder& busy = Add(1);
    Recorder& posted = Add(2);
    Recorder& timed = Add(3);
    busy.rescheduleInThePast.store(true);
    loop_->Schedule(busy.id, Clock::now());
    ASSERT_TRUE(WaitFor([&] { return busy.notified.load() > 10; }));
    loop_->Post(posted.id);
    loop_->Schedule(timed.id, Clock::now() + 5ms);
    EXPECT_TRUE(WaitFor([&] { return posted.notified.load() == 1 && timed.notified.load() == 1; }));
    busy.rescheduleInThePast.store(false);
}

// A target that moves its deadline later, and targets that go with a deadline still
// asked for, leave nothing behind: the loop's memory does not grow with the number
// of requests that were replaced or whose target is gone. (Where a sanitizer
// replaces the allocator the figure reads 0; the plain build checks it.)
TEST_F(NotificationLoopDeadlines, ReplacedAndOrphanedDeadlinesAreNotKept) {
    const auto heapInUse = [] {
        const struct mallinfo2 m = mallinfo2();
        return static_cast<long long>(m.uordblks + m.hblkhd);
    };
    Recorder& mover = Add(1);
    const Clock::time_point far = Clock::now() + 1h;
    loop_->Schedule(mover.id, far);
    const long long before = heapInUse();
    for (int i = 1; i <= 200'000; ++i)
        loop_->Schedule(mover.id, far + std::chrono::nanoseconds(i));  // each replaces the one before
    for (int i = 0; i < 100'000; ++i) {
        Recorder gone(2, order_, mutex_, changed_);
        const std::uint64_t id = loop_->Register(&gone);
        loop_->Schedule(id, far);
        loop_->Unregister(id);
    }
    const long long grown = heapInUse() - before;
    EXPECT_LT(grown, 1LL << 20) << grown << " bytes kept for one live deadline";
    EXPECT_EQ(mover.notified.load(), 0);
}

// Refuses epoll_pwait2 with EPERM, as a system-call filter that predates it does,
// for this thread and those it creates afterwards.
bool RefuseNanosecondWaits() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_epoll_pwait2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Where the nanosecond wait is refused rather than missing, the loop still serves
// its targets, with the millisecond wait.
TEST(NotificationLoopWaits, ARefusedNanosecondWaitFallsBackToMilliseconds) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (!RefuseNanosecondWaits())
                _exit(2);
            std::vector<int> order;
            std::mutex mutex;
            std::condition_variable changed;
            auto loop = NotificationLoop::Acquire();
            Recorder target(1, order, mutex, changed);
            target.loop = loop;
            target.id = loop->Register(&target);
            loop->Schedule(target.id, Clock::now() + 10ms);
            std::unique_lock lock(mutex);
            const bool notified = changed.wait_for(lock, 5s, [&] { return !order.empty(); });
            _exit(notified ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace netpod
