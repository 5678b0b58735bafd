// A peer that hears the scan's broadcast on UDP 7010 and answers as the test wishes:
// with given datagrams at once, and with a datagram repeated every 150 ms (a chatty
// peer). Only for tests that run inside their own network namespace.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace netpod::test {

class BroadcastPeer {
public:
    using Bytes = std::vector<std::uint8_t>;
    using Clock = std::chrono::steady_clock;

    // How the chatter goes: every 150 ms for 12 s, or until the peer is destroyed.
    static constexpr std::chrono::milliseconds kChatterPeriod{150};
    static constexpr std::chrono::milliseconds kChatterFor{12000};

    // For each request it hears, the peer sends `atOnce` right away, in order, then
    // `chatter` (when not empty) again and again. It listens on the wildcard address,
    // port 7010, beside the emulator's own broadcast listener (both share the port),
    // and answers from a random 127.x address of its own. `address()` is empty when
    // either socket could not be set up.
    explicit BroadcastPeer(std::vector<Bytes> atOnce, Bytes chatter = {})
        : atOnce_(std::move(atOnce)), chatter_(std::move(chatter)) {
        listener_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(7010);
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0)
            return;
        std::random_device seed;
        std::mt19937 random(seed());
        for (int attempt = 0; attempt < 50 && address_.empty(); ++attempt) {
            const std::string candidate = "127." + std::to_string(1 + random() % 254) + "." +
                                          std::to_string(random() % 256) + "." + std::to_string(2 + random() % 250);
            const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in at{};
            at.sin_family = AF_INET;
            ::inet_pton(AF_INET, candidate.c_str(), &at.sin_addr);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0) {
                sender_ = fd;
                address_ = candidate;
            } else {
                ::close(fd);
            }
        }
        if (!address_.empty())
            thread_ = std::thread([this] { Serve(); });
    }

    ~BroadcastPeer() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        for (const int fd : {listener_, sender_})
            if (fd >= 0)
                ::close(fd);
    }

    const std::string& address() const { return address_; }
    // Requests heard so far, and datagrams sent by the chatter.
    int requests() const { return requests_; }
    int chatterSent() const { return chatterSent_; }

private:
    void Serve() {
        std::optional<sockaddr_in> chatTo;
        Clock::time_point chatUntil{}, nextChat{};
        while (!stop_) {
            pollfd readable{listener_, POLLIN, 0};
            if (::poll(&readable, 1, 10) > 0) {
                std::uint8_t request[2048];
                sockaddr_in from{};
                socklen_t fromLength = sizeof from;
                if (::recvfrom(listener_, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from),
                               &fromLength) >= 0) {
                    ++requests_;
                    for (const Bytes& answer : atOnce_)
                        SendTo(from, answer);
                    if (!chatter_.empty()) {
                        chatTo = from;
                        nextChat = Clock::now();
                        chatUntil = nextChat + kChatterFor;
                    }
                }
            }
            if (chatTo && Clock::now() >= nextChat) {
                if (Clock::now() >= chatUntil) {
                    chatTo.reset();
                    continue;
                }
                SendTo(*chatTo, chatter_);
                ++chatterSent_;
                nextChat += kChatterPeriod;
            }
        }
    }

    void SendTo(const sockaddr_in& to, const Bytes& bytes) {
        ::sendto(sender_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }

    const std::vector<Bytes> atOnce_;
    const Bytes chatter_;
    int listener_ = -1;
    int sender_ = -1;
    std::string address_;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::atomic<int> chatterSent_{0};
    std::thread thread_;
};

}  // namespace netpod::test
