#include "raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace scalebench {
namespace {

constexpr std::uint16_t kMainPort = 8010;
const auto kTypeRequest = wire::SingleReadRequest(wire::kRegisterType);
const auto kInputsRequest = wire::SingleReadRequest(wire::kRegisterInputs);
constexpr std::uint64_t kTimerKey = ~std::uint64_t{0};

// A blocking TCP connection to port 8010 of `address`, with the socket options the
// library uses (none beyond the defaults), so that both pay the same for Nagle's
// algorithm and delayed acknowledgements.
int ConnectTo(const std::string& address, std::string* error) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kMainPort);
    if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) {
        *error = "bad address " + address;
        return -1;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        *error = "connect to " + address + ":8010: " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    // A stuck peer must not hang the benchmark.
    const timeval limit{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return fd;
}

}  // namespace

RawBlockingClient::~RawBlockingClient() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool RawBlockingClient::connect(const std::string& address, std::string* error) {
    fd_ = ConnectTo(address, error);
    return fd_ >= 0;
}

bool RawBlockingClient::readType() {
    if (::send(fd_, kTypeRequest.data(), kTypeRequest.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(kTypeRequest.size()))
        return false;
    std::uint8_t answer[wire::kTypeAnswerSize];
    std::size_t got = 0;
    while (got < sizeof answer) {
        const ssize_t n = ::recv(fd_, answer + got, sizeof answer - got, 0);
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return wire::IsExpectedAnswer(answer, wire::kRegisterType);
}

RawPoller::~RawPoller() {
    close();
}

bool RawPoller::open(const std::string& address, std::size_t count, std::string* error) {
    connections_.resize(count);
    for (Connection& c : connections_) {
        c.fd = ConnectTo(address, error);
        if (c.fd < 0)
            return false;
    }
    return true;
}

bool RawPoller::startAsk(int periodMs, AnswerLog* log, std::string* error) {
    const int timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    const int epollFd = epoll_create1(EPOLL_CLOEXEC);
    bool ok = timerFd >= 0 && epollFd >= 0;
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = kTimerKey;
    ok = ok && epoll_ctl(epollFd, EPOLL_CTL_ADD, timerFd, &e) == 0;
    for (std::size_t i = 0; ok && i < connections_.size(); ++i) {
        e.events = EPOLLIN | EPOLLRDHUP;
        e.data.u64 = i;
        ok = epoll_ctl(epollFd, EPOLL_CTL_ADD, connections_[i].fd, &e) == 0;
    }
    const long periodNs = long{periodMs} * 1'000'000;
    const itimerspec every{{periodNs / 1'000'000'000, periodNs % 1'000'000'000},
                           {periodNs / 1'000'000'000, periodNs % 1'000'000'000}};
    ok = ok && timerfd_settime(timerFd, 0, &every, nullptr) == 0;
    if (!ok) {
        *error = std::string("polling set-up: ") + std::strerror(errno);
        if (timerFd >= 0)
            ::close(timerFd);
        if (epollFd >= 0)
            ::close(epollFd);
        return false;
    }
    stop_.store(false);
    thread_ = std::thread([this, timerFd, epollFd, log] { run(timerFd, epollFd, log); });
    return true;
}

void RawPoller::stopAsk() {
    stop_.store(true);
    if (thread_.joinable())
        thread_.join();
}

void RawPoller::close() {
    stopAsk();
    for (Connection& c : connections_)
        if (c.fd >= 0)
            ::close(c.fd);
    connections_.clear();
}

void RawPoller::send(Connection& c) {
    const ssize_t n = ::send(c.fd, kInputsRequest.data(), kInputsRequest.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n == static_cast<ssize_t>(kInputsRequest.size()))
        c.awaiting = true;
    else
        faults_.fetch_add(1);
}

void RawPoller::run(int timerFd, int epollFd, AnswerLog* log) {
    epoll_event events[512];
    std::uint8_t in[4096];
    while (!stop_.load(std::memory_order_relaxed)) {
        const int n = epoll_wait(epollFd, events, 512, 100);
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == kTimerKey) {
                std::uint64_t expirations = 0;
                if (::read(timerFd, &expirations, sizeof expirations) < 0)
                    continue;
                for (Connection& c : connections_) {
                    if (c.fd < 0)
                        continue;
                    if (c.awaiting)
                        c.tickOwed = true;
                    else
                        send(c);
                }
                continue;
            }
            Connection& c = connections_[events[i].data.u64];
            if (c.fd < 0)
                continue;
            const ssize_t got = ::recv(c.fd, in, sizeof in, MSG_DONTWAIT);
            if (got < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            bool inStep = got > 0;
            if (inStep) {
                inStep = c.reader.feed(std::span<const std::uint8_t>(in, static_cast<std::size_t>(got)),
                                       [&](std::span<const std::uint8_t> frame) {
                                           if (wire::IsExpectedAnswer(frame, wire::kRegisterInputs)) {
                                               answers_.fetch_add(1, std::memory_order_relaxed);
                                               if (log != nullptr)
                                                   log->record();
                                           } else {
                                               faults_.fetch_add(1);
                                           }
                                           c.awaiting = false;
                                       });
            }
            if (!inStep) {
                // Lost, or out of step: it stays out of the polling.
                faults_.fetch_add(1);
                epoll_ctl(epollFd, EPOLL_CTL_DEL, c.fd, nullptr);
                ::close(c.fd);
                c.fd = -1;
                continue;
            }
            if (!c.awaiting && c.tickOwed) {
                c.tickOwed = false;
                send(c);
            }
        }
    }
    ::close(timerFd);
    ::close(epollFd);
}

}  // namespace scalebench
