// The process-wide notification thread on which every transport's socket
// notifications, and so every application callback, run.
#pragma once

#include <sys/epoll.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace netpod {

// Handed to a target for the duration of one of its notifications. The loop sets
// `targetRemoved` when the target is unregistered from inside that very notification
// (the application closed a connection from its own callback); the target must then
// not touch itself any more, because it may already be destroyed. The flag lives on
// the notification thread's stack, never in the target.
struct DispatchContext {
    bool targetRemoved = false;  // written and read on the notification thread only
};

// What the loop calls. `readyEvents` is the epoll event mask of the target's socket,
// or 0 when the notification comes from Post() or from Schedule().
class NotificationTarget {
public:
    virtual void OnNotification(std::uint32_t readyEvents, DispatchContext& context) = 0;

protected:
    ~NotificationTarget() = default;
};

// One epoll thread serving every registered target, one notification at a time.
//
// Acquire() hands out shares of the one running loop, starting it when none runs.
// When the last share is released the loop thread is stopped and joined, and its
// epoll and wake descriptors are closed, so nothing of it is left once the last
// transport is gone. If the last share is released on the loop thread itself (a
// transport destroyed from inside its own callback), the thread cannot join itself:
// it is detached and ends as soon as that notification returns.
//
// Targets are identified by an id that is never reused, so a readiness report that
// was already fetched from epoll for a target that has since been unregistered (and
// whose descriptor number may have been given to a new socket) is dropped rather than
// delivered to the wrong target.
class NotificationLoop {
public:
    static std::shared_ptr<NotificationLoop> Acquire();

    ~NotificationLoop();
    NotificationLoop(const NotificationLoop&) = delete;
    NotificationLoop& operator=(const NotificationLoop&) = delete;

    // Adds a target without a descriptor; it receives posted notifications only until
    // Watch() gives it one.
    std::uint64_t Register(NotificationTarget* target);

    // Watches `fd` for `events` (level-triggered) on behalf of target `id`, replacing
    // the events of a descriptor already watched. Returns false when epoll refuses.
    bool Watch(std::uint64_t id, int fd, std::uint32_t events);

    // Stops watching the target's descriptor; it stays registered for posts. Must be
    // called before the descriptor is closed.
    void StopWatching(std::uint64_t id);

    // Asks for one notification of target `id` with readyEvents 0, from the loop
    // thread. Safe from any thread, including the loop thread itself.
    void Post(std::uint64_t id);

    // Removes the target. When called from another thread while a notification of
    // this target runs, it waits for that notification to return; after Unregister
    // returns, the target is never notified again. Called on the loop thread it never
    // waits (the notification in progress is then this target's own or another
    // target's, and waiting would deadlock): it marks the running notification's
    // DispatchContext instead when it is the target's own.
    void Unregister(std::uint64_t id);

    // Asks for one notification of target `id` with readyEvents 0 at `when` (as soon
    // as possible when it has passed), replacing the target's earlier request; none
    // (time_point::max()) cancels it. Safe from any thread. The loop waits for the
    // earliest request with a nanosecond time-out, so a deadline costs no descriptor
    // and no timer thread. A deadline is never notified early, and at most `slack`
    // late (more only when the loop is busy): when the loop wakes, every deadline
    // that has come is notified, so deadlines close together share one wake-up.
    using Clock = std::chrono::steady_clock;
    void Schedule(std::uint64_t id, Clock::time_point when, Clock::duration slack = Clock::duration::zero());

    // True on the loop thread.
    bool IsLoopThread() const;

private:
    struct Registration {
        NotificationTarget* target;
        int fd;                      // -1 while nothing is watched
        std::uint64_t timerSeq = 0;  // the number of the target's valid deadline, if any
    };
    // A deadline, in both heaps. One that a later Schedule replaced, or that was
    // notified (its seq no longer the target's), is dropped when it comes to the top.
    struct Deadline {
        Clock::time_point when;    // not notified before
        Clock::time_point latest;  // when + slack: the loop wakes by then
        std::uint64_t id;
        std::uint64_t seq;
    };
    struct ByWhen {
        bool operator()(const Deadline& a, const Deadline& b) const { return a.when > b.when; }
    };
    struct ByLatest {
        bool operator()(const Deadline& a, const Deadline& b) const { return a.latest > b.latest; }
    };

    NotificationLoop();
    void Run();
    void Dispatch(std::uint64_t id, std::uint32_t readyEvents);
    void DispatchPosted();
    void DispatchDue();
    void ClearTimerLocked(Registration& registration);
    void CompactLocked();
    // How long epoll may wait: until the earliest deadline, or for good (nullopt).
    bool WaitTime(timespec& timeout);
    void RequestStop();

    class Owner;
    friend class Owner;

    int epollFd_ = -1;  // set at construction, closed by the destructor
    int wakeFd_ = -1;   // eventfd; written by Post() and RequestStop(), drained by Run()

    // Guards every field below. Never held while a target runs.
    std::mutex mutex_;
    std::condition_variable dispatchDone_;  // notified when a notification returns
    // Written by Register/Watch/StopWatching/Unregister (any thread), read by Dispatch.
    std::unordered_map<std::uint64_t, Registration> targets_;
    std::uint64_t nextId_ = 0;  // written by Register
    // Written by Dispatch on the loop thread, read by Unregister on any thread.
    std::uint64_t dispatchingId_ = 0;
    DispatchContext* dispatchingContext_ = nullptr;
    // Written by Post (any thread), taken by DispatchPosted on the loop thread.
    std::vector<std::uint64_t> posted_;
    // Written by Schedule (any thread), taken on the loop thread: min-heaps on `when`
    // (what has come) and on `latest` (how long the loop may sleep).
    std::vector<Deadline> deadlines_;
    std::vector<Deadline> latest_;
    std::uint64_t nextTimerSeq_ = 0;
    std::size_t liveTimers_ = 0;  // targets with a deadline asked for
    // DispatchDue's list of the deadlines it took (loop thread only), kept between
    // turns so that nothing is allocated once it has grown.
    std::vector<Deadline> dueScratch_;
    // Written by RequestStop (owner's thread), read by Run.
    bool stopRequested_ = false;
};

}  // namespace netpod
