#include "reactor.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace netpod::emu {

bool Reactor::open(std::string* why) {
    epoll_ = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
    UniqueFd wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!epoll_ || !wakeFd) {
        *why = std::string("epoll/eventfd: ") + std::strerror(errno);
        return false;
    }
    wakeId_ = add(EndpointKind::Wake, 0, std::move(wakeFd), EPOLLIN);
    return true;
}

void Reactor::closeAll() {
    endpoints_.clear();
    timers_.clear();
    epoll_.reset();
    wakeId_ = 0;
}

std::uint64_t Reactor::add(EndpointKind kind, std::size_t module, UniqueFd fd, std::uint32_t events) {
    const std::uint64_t id = nextId_++;
    auto e = std::make_unique<Endpoint>();
    e->kind = kind;
    e->module = module;
    e->fd = std::move(fd);
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = id;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, e->fd.get(), &ev);
    if (IsConnection(kind))
        observer_(module, true);
    endpoints_.emplace(id, std::move(e));
    return id;
}

void Reactor::close(std::uint64_t id) {
    const auto it = endpoints_.find(id);
    if (it == endpoints_.end())
        return;
    if (IsConnection(it->second->kind))
        observer_(it->second->module, false);
    endpoints_.erase(it);  // closing the descriptor also takes it out of the epoll set
}

Endpoint* Reactor::find(std::uint64_t id) {
    const auto it = endpoints_.find(id);
    return it == endpoints_.end() ? nullptr : it->second.get();
}

std::vector<std::uint64_t> Reactor::idsWhere(const std::function<bool(std::uint64_t, const Endpoint&)>& wanted) const {
    std::vector<std::uint64_t> ids;
    for (const auto& [id, e] : endpoints_)
        if (wanted(id, *e))
            ids.push_back(id);
    return ids;
}

void Reactor::watchWrites(std::uint64_t id, Endpoint& endpoint, bool wanted) {
    if (wanted == endpoint.watchingWrite)
        return;
    epoll_event ev{};
    ev.events = EPOLLIN | (wanted ? EPOLLOUT : 0u);
    ev.data.u64 = id;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, endpoint.fd.get(), &ev);
    endpoint.watchingWrite = wanted;
}

void Reactor::at(Clock::time_point due, std::function<void()> task) {
    timers_.emplace(due, std::move(task));
}

void Reactor::wake() {
    if (Endpoint* e = find(wakeId_)) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(e->fd.get(), &one, sizeof one);
    }
}

void Reactor::run(std::mutex& mutex, const std::atomic<bool>& stopping, const EventHandler& handle) {
    epoll_event events[64];
    int epollFd = -1;
    {
        std::lock_guard lock(mutex);
        epollFd = epoll_.get();
    }
    while (!stopping) {
        int timeoutMs = -1;
        {
            std::lock_guard lock(mutex);
            if (!timers_.empty()) {
                const auto wait = timers_.begin()->first - Clock::now();
                timeoutMs = static_cast<int>(
                    std::max<std::int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
            }
        }
        const int n = ::epoll_wait(epollFd, events, 64, timeoutMs);
        if (n < 0 && errno != EINTR)
            break;
        std::lock_guard lock(mutex);
        for (int i = 0; i < n; ++i) {
            const std::uint64_t id = events[i].data.u64;
            Endpoint* e = find(id);
            if (e == nullptr)
                continue;  // closed while this batch of events was waiting
            if (e->kind == EndpointKind::Wake) {
                std::uint64_t value = 0;
                [[maybe_unused]] const auto r = ::read(e->fd.get(), &value, sizeof value);
                continue;
            }
            handle(id, *e, events[i].events);
        }
        runDueTimers();
    }
}

void Reactor::runDueTimers() {
    while (!timers_.empty() && timers_.begin()->first <= Clock::now()) {
        auto task = std::move(timers_.begin()->second);
        timers_.erase(timers_.begin());
        task();
    }
}

}  // namespace netpod::emu
