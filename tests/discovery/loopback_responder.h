// A minimal UDP responder on a loopback address, for tests of the exchange itself
// (what reaches the socket, and how the library takes it) without the emulator.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace netpod::test {

class LoopbackResponder {
public:
    using Bytes = std::vector<std::uint8_t>;

    // Binds UDP `port` on a random 127.A.B.C (A != 0) so that tests in parallel do not
    // collide; `address()` is empty when no address could be bound.
    explicit LoopbackResponder(std::uint16_t port = 7010) {
        std::random_device seed;
        std::mt19937 random(seed());
        for (int attempt = 0; attempt < 50 && fd_ < 0; ++attempt) {
            const std::string candidate = "127." + std::to_string(1 + random() % 254) + "." +
                                          std::to_string(random() % 256) + "." + std::to_string(2 + random() % 250);
            const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in at{};
            at.sin_family = AF_INET;
            at.sin_port = htons(port);
            ::inet_pton(AF_INET, candidate.c_str(), &at.sin_addr);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0) {
                fd_ = fd;
                address_ = candidate;
            } else {
                ::close(fd);
            }
        }
        if (fd_ >= 0)
            thread_ = std::thread([this] { Serve(); });
    }

    ~LoopbackResponder() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            ::close(fd_);
    }

    const std::string& address() const { return address_; }

    // The datagrams sent back, in order, for every request received from now on.
    void AnswerWith(std::vector<Bytes> datagrams) {
        std::lock_guard guard(mutex_);
        answers_ = std::move(datagrams);
    }

    std::vector<Bytes> Requests() const {
        std::lock_guard guard(mutex_);
        return requests_;
    }

private:
    void Serve() {
        while (!stop_) {
            pollfd readable{fd_, POLLIN, 0};
            if (::poll(&readable, 1, 20) <= 0)
                continue;
            Bytes request(2048);
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n = ::recvfrom(fd_, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&from),
                                         &fromLength);
            if (n < 0)
                continue;
            request.resize(static_cast<std::size_t>(n));
            std::vector<Bytes> answers;
            {
                std::lock_guard guard(mutex_);
                requests_.push_back(request);
                answers = answers_;
            }
            for (const Bytes& answer : answers)
                ::sendto(fd_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
        }
    }

    int fd_ = -1;
    std::string address_;
    std::atomic<bool> stop_{false};
    // Written by the test thread (answers) and the serving thread (requests); both
    // read under the mutex.
    mutable std::mutex mutex_;
    std::vector<Bytes> answers_;
    std::vector<Bytes> requests_;
    std::thread thread_;
};

}  // namespace netpod::test
