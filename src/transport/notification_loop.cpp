#include "transport/notification_loop.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <exception>
#include <functional>
#include <span>
#include <system_error>

#include "platform/thread.h"

namespace netpod {
namespace {

// The epoll data of the wake descriptor. Target ids count up from 1, so they never
// meet it.
constexpr std::uint64_t kWakeToken = ~std::uint64_t{0};

// The loop whose Run() executes on the calling thread, or nullptr.
thread_local NotificationLoop* tRunningLoop = nullptr;

}  // namespace

// The shares handed out by Acquire() count owners of this object: when the last one
// goes, the thread is stopped. The thread itself holds the loop (not the owner), so
// that a detached thread keeps its loop alive until Run() has returned.
class NotificationLoop::Owner {
public:
    // Throws std::system_error when the system has no thread left for the loop.
    Owner() : loop_(new NotificationLoop()) {
        auto* forThread = new std::shared_ptr<NotificationLoop>(loop_);
        const int rc = platform::StartSystemThread(&thread_, &RunLoop, forThread);
        if (rc != 0) {
            delete forThread;
            throw std::system_error(rc, std::system_category(), "notification thread");
        }
    }

    ~Owner() {
        loop_->RequestStop();
        if (tRunningLoop == loop_.get())
            pthread_detach(thread_);
        else
            pthread_join(thread_, nullptr);
    }

    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;

    NotificationLoop* loop() const { return loop_.get(); }

private:
    static void* RunLoop(void* share) {
        const std::unique_ptr<std::shared_ptr<NotificationLoop>> loop(
            static_cast<std::shared_ptr<NotificationLoop>*>(share));
        (*loop)->Run();
        return nullptr;
    }

    std::shared_ptr<NotificationLoop> loop_;
    pthread_t thread_{};
};

std::shared_ptr<NotificationLoop> NotificationLoop::Acquire() {
    // The share of the running loop, if any. Both live as long as the process, so
    // that a transport destroyed during static destruction still finds them.
    static auto* registryMutex = new std::mutex;
    static auto* current = new std::weak_ptr<NotificationLoop>;

    std::lock_guard lock(*registryMutex);
    if (auto running = current->lock())
        return running;
    auto owner = std::make_shared<Owner>();
    // The share points at the loop but counts owners of the Owner.
    std::shared_ptr<NotificationLoop> share(owner, owner->loop());
    *current = share;
    return share;
}

// Without its descriptors the loop could deliver nothing, not even the error of a
// connection attempt, so it refuses to exist; the transport's constructor passes the
// exception on to the export, which reports the open as failed.
NotificationLoop::NotificationLoop()
    : epollFd_(epoll_create1(EPOLL_CLOEXEC)), wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeToken;
    if (epollFd_ < 0 || wakeFd_ < 0 || epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &event) != 0) {
        const int error = errno;
        if (wakeFd_ >= 0)
            close(wakeFd_);
        if (epollFd_ >= 0)
            close(epollFd_);
        throw std::system_error(error, std::generic_category(), "notification loop");
    }
}

NotificationLoop::~NotificationLoop() {
    if (wakeFd_ >= 0)
        close(wakeFd_);
    if (epollFd_ >= 0)
        close(epollFd_);
}

bool NotificationLoop::IsLoopThread() const {
    return tRunningLoop == this;
}

std::uint64_t NotificationLoop::Register(NotificationTarget* target) {
    std::lock_guard lock(mutex_);
    const std::uint64_t id = ++nextId_;
    targets_.emplace(id, Registration{target, -1});
    return id;
}

bool NotificationLoop::Watch(std::uint64_t id, int fd, std::uint32_t events) {
    std::lock_guard lock(mutex_);
    auto found = targets_.find(id);
    if (found == targets_.end() || fd < 0)
        return false;
    epoll_event event{};
    event.events = events;
    event.data.u64 = id;
    if (found->second.fd == fd)
        return epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &event) == 0;
    if (found->second.fd >= 0)
        epoll_ctl(epollFd_, EPOLL_CTL_DEL, found->second.fd, nullptr);
    found->second.fd = -1;
    if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0)
        return false;
    found->second.fd = fd;
    return true;
}

void NotificationLoop::StopWatching(std::uint64_t id) {
    std::lock_guard lock(mutex_);
    auto found = targets_.find(id);
    if (found == targets_.end() || found->second.fd < 0)
        return;
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, found->second.fd, nullptr);
    found->second.fd = -1;
}

void NotificationLoop::Post(std::uint64_t id) {
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(id);
    }
    const std::uint64_t one = 1;
    // A full counter (never reached in practice) still leaves the loop woken.
    [[maybe_unused]] const auto written = write(wakeFd_, &one, sizeof one);
}

void NotificationLoop::Schedule(std::uint64_t id, Clock::time_point when, Clock::duration slack) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        auto found = targets_.find(id);
        if (found == targets_.end())
            return;
        if (when == Clock::time_point::max()) {
            ClearTimerLocked(found->second);
            return;
        }
        if (found->second.timerSeq == 0)
            ++liveTimers_;
        const std::uint64_t seq = ++nextTimerSeq_;
        found->second.timerSeq = seq;
        slack = std::max(slack, Clock::duration::zero());
        const Clock::time_point latest = when < Clock::time_point::max() - slack ? when + slack : when;
        CompactLocked();
        // The loop recomputes its time-out after every notification: only a request
        // from another thread that must come before everything the loop waits for
        // needs to wake it.
        wake = !IsLoopThread() && (latest_.empty() || latest < latest_.front().latest);
        const Deadline deadline{when, latest, id, seq};
        deadlines_.push_back(deadline);
        std::push_heap(deadlines_.begin(), deadlines_.end(), ByWhen{});
        latest_.push_back(deadline);
        std::push_heap(latest_.begin(), latest_.end(), ByLatest{});
    }
    if (wake) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = write(wakeFd_, &one, sizeof one);
    }
}

void NotificationLoop::ClearTimerLocked(Registration& registration) {
    if (registration.timerSeq != 0)
        --liveTimers_;
    registration.timerSeq = 0;
}

void NotificationLoop::CompactLocked() {
    // Deadlines replaced, cancelled or left by a target that is gone stay in the heaps
    // until their time comes; a target that keeps moving a far deadline would make
    // them grow without end. Once they are more than half, they are dropped.
    if (deadlines_.size() < 64 || deadlines_.size() <= 2 * liveTimers_)
        return;
    const auto stale = [this](const Deadline& deadline) {
        auto found = targets_.find(deadline.id);
        return found == targets_.end() || found->second.timerSeq != deadline.seq;
    };
    std::erase_if(deadlines_, stale);
    std::make_heap(deadlines_.begin(), deadlines_.end(), ByWhen{});
    std::erase_if(latest_, stale);
    std::make_heap(latest_.begin(), latest_.end(), ByLatest{});
}

void NotificationLoop::Unregister(std::uint64_t id) {
    std::unique_lock lock(mutex_);
    if (auto found = targets_.find(id); found != targets_.end()) {
        if (found->second.fd >= 0)
            epoll_ctl(epollFd_, EPOLL_CTL_DEL, found->second.fd, nullptr);
        ClearTimerLocked(found->second);
        targets_.erase(found);
        CompactLocked();
    }
    if (IsLoopThread()) {
        if (dispatchingId_ == id && dispatchingContext_ != nullptr)
            dispatchingContext_->targetRemoved = true;
        return;
    }
    dispatchDone_.wait(lock, [&] { return dispatchingId_ != id; });
}

void NotificationLoop::RequestStop() {
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = true;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = write(wakeFd_, &one, sizeof one);
}

void NotificationLoop::Dispatch(std::uint64_t id, std::uint32_t readyEvents) {
    DispatchContext context;
    NotificationTarget* target = nullptr;
    {
        std::lock_guard lock(mutex_);
        auto found = targets_.find(id);
        if (found == targets_.end())
            return;
        target = found->second.target;
        dispatchingId_ = id;
        dispatchingContext_ = &context;
    }
    // A notification runs application callbacks: an exception one of them throws is
    // reported and does not end the thread, which serves every connection.
    try {
        target->OnNotification(readyEvents, context);
    } catch (const std::exception& e) {
        platform::ReportException(e.what());
    } catch (...) {
        platform::ReportException("");
    }
    {
        std::lock_guard lock(mutex_);
        dispatchingId_ = 0;
        dispatchingContext_ = nullptr;
    }
    dispatchDone_.notify_all();
}

void NotificationLoop::DispatchPosted() {
    std::uint64_t counter = 0;
    [[maybe_unused]] const auto drained = read(wakeFd_, &counter, sizeof counter);
    std::vector<std::uint64_t> posted;
    {
        std::lock_guard lock(mutex_);
        posted.swap(posted_);
    }
    for (const std::uint64_t id : posted)
        Dispatch(id, 0);
}

bool NotificationLoop::WaitTime(timespec& timeout) {
    std::lock_guard lock(mutex_);
    // Deadlines replaced or notified since are dropped here, so that they do not
    // shorten the wait.
    while (!latest_.empty()) {
        const Deadline& top = latest_.front();
        auto found = targets_.find(top.id);
        if (found != targets_.end() && found->second.timerSeq == top.seq)
            break;
        std::pop_heap(latest_.begin(), latest_.end(), ByLatest{});
        latest_.pop_back();
    }
    if (latest_.empty())
        return false;
    const auto left = std::max(latest_.front().latest - Clock::now(), Clock::duration::zero());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    timeout.tv_sec = static_cast<time_t>(seconds.count());
    timeout.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count());
    return true;
}

void NotificationLoop::DispatchDue() {
    // Every deadline that has come is taken first, also those whose slack would let
    // them wait (so that deadlines close together share a wake-up), and then
    // notified: one that a notification asks for meanwhile, even one already
    // passed, waits for the next turn of the loop, after the sockets.
    const Clock::time_point now = Clock::now();
    std::vector<Deadline>& due = dueScratch_;
    due.clear();
    {
        std::lock_guard lock(mutex_);
        while (!deadlines_.empty() && deadlines_.front().when <= now) {
            std::pop_heap(deadlines_.begin(), deadlines_.end(), ByWhen{});
            due.push_back(deadlines_.back());
            deadlines_.pop_back();
        }
    }
    for (const Deadline& deadline : due) {
        {
            // Still the target's deadline? A Schedule or an Unregister since the
            // deadline was taken replaces it.
            std::lock_guard lock(mutex_);
            auto found = targets_.find(deadline.id);
            if (found == targets_.end() || found->second.timerSeq != deadline.seq)
                continue;
            ClearTimerLocked(found->second);
        }
        Dispatch(deadline.id, 0);
    }
}

void NotificationLoop::Run() {
    tRunningLoop = this;
    platform::MarkThreadThatMustNotBlock();
    pthread_setname_np(pthread_self(), "netpod-notify");
    std::array<epoll_event, 256> ready{};
    bool nanosecondWaits = true;  // epoll_pwait2 exists (Linux 5.11 and later)
    for (;;) {
        timespec timeout{};
        const bool timed = WaitTime(timeout);
        int count = -1;
        if (nanosecondWaits) {
            count = epoll_pwait2(epollFd_, ready.data(), static_cast<int>(ready.size()), timed ? &timeout : nullptr,
                                 nullptr);
            // Missing from the kernel (ENOSYS), or refused by a system-call filter
            // that predates it (EPERM, or another error): the millisecond wait serves
            // from now on, rather than a loop that ends and leaves every connection deaf.
            if (count < 0 && errno != EINTR)
                nanosecondWaits = false;
        }
        if (!nanosecondWaits) {
            // Rounded up, so that a deadline is never met early.
            const long long milliseconds =
                timed ? static_cast<long long>(timeout.tv_sec) * 1000 + (timeout.tv_nsec + 999'999) / 1'000'000 : -1;
            count = epoll_wait(epollFd_, ready.data(), static_cast<int>(ready.size()),
                               static_cast<int>(std::min<long long>(milliseconds, 1'000'000)));
        }
        if (count < 0 && errno != EINTR)
            break;
        for (const epoll_event& event : std::span(ready.data(), count > 0 ? static_cast<std::size_t>(count) : 0)) {
            if (event.data.u64 == kWakeToken)
                DispatchPosted();
            else
                Dispatch(event.data.u64, event.events);
        }
        DispatchDue();
        std::lock_guard lock(mutex_);
        if (stopRequested_)
            break;
    }
    tRunningLoop = nullptr;
}

}  // namespace netpod
