// Raw loopback clients for the emulator tests: a UDP socket and a TCP connection with
// timed receives, plus a checksum check written the byte-by-byte way, apart from the
// emulator's own word-wise checksum.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace netpod::emu::test {

using Bytes = std::vector<std::uint8_t>;

// Verifies a whole packet the way a receiver does: every byte at an even position adds
// (b << 8) ^ 0xFF00, every byte at an odd position b ^ 0x00FF, an odd count adds 0x00FF
// once more; folded twice and compared with the two bytes behind the body.
inline bool ChecksumVerifies(const Bytes& packet) {
    if (packet.size() < 8)
        return false;
    const std::size_t covered = packet.size() - 2;
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < covered; ++i)
        sum += (i % 2 == 0) ? ((std::uint32_t{packet[i]} << 8) ^ 0xFF00u) : (packet[i] ^ 0x00FFu);
    if (covered % 2 == 1)
        sum += 0x00FF;
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum = (sum >> 16) + (sum & 0xFFFF);
    return sum == ((std::uint32_t{packet[covered]} << 8) | packet[covered + 1]);
}

inline sockaddr_in Address(const std::string& ip, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, ip.c_str(), &sa.sin_addr);
    return sa;
}

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd& operator=(Fd&& o) noexcept {
        std::swap(fd_, o.fd_);
        return *this;
    }
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

inline bool WaitReadable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1;
}

class UdpClient {
public:
    UdpClient() : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        const sockaddr_in local = Address("127.0.0.1", 0);
        ::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local);
        const int one = 1;
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    }
    bool send(const std::string& ip, const Bytes& bytes, std::uint16_t port = 7010) {
        const sockaddr_in to = Address(ip, port);
        return ::sendto(fd_.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
               static_cast<ssize_t>(bytes.size());
    }
    // One datagram, or nothing after timeoutMs; *from gets the sender's address.
    bool receive(Bytes* out, int timeoutMs, std::string* from = nullptr) {
        if (!WaitReadable(fd_.get(), timeoutMs))
            return false;
        std::uint8_t buffer[2048];
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t n = ::recvfrom(fd_.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender), &length);
        if (n < 0)
            return false;
        out->assign(buffer, buffer + n);
        if (from != nullptr) {
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &sender.sin_addr, text, sizeof text);
            *from = text;
        }
        return true;
    }

private:
    Fd fd_;
};

class TcpClient {
public:
    // Connects; connectError() tells why it did not.
    TcpClient(const std::string& ip, std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        const sockaddr_in to = Address(ip, port);
        if (::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
            error_ = errno;
        const int one = 1;
        ::setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    bool connected() const { return error_ == 0; }
    int connectError() const { return error_; }
    bool send(const Bytes& bytes) {
        return ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // What one receive returns within timeoutMs; empty on time-out or close.
    Bytes receiveSome(int timeoutMs) {
        if (!WaitReadable(fd_.get(), timeoutMs))
            return {};
        std::uint8_t buffer[4096];
        const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
        return n > 0 ? Bytes(buffer, buffer + n) : Bytes{};
    }
    // Exactly `count` bytes, gathering receives until the deadline.
    Bytes receiveExactly(std::size_t count, int timeoutMs) {
        Bytes out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0 || !WaitReadable(fd_.get(), static_cast<int>(left)))
                break;
            std::uint8_t buffer[4096];
            const ssize_t n = ::recv(fd_.get(), buffer, std::min(sizeof buffer, count - out.size()), 0);
            if (n <= 0)
                break;
            out.insert(out.end(), buffer, buffer + n);
        }
        return out;
    }
    // True when the peer closed (or reset) the connection within timeoutMs.
    bool closedByPeer(int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0 || !WaitReadable(fd_.get(), static_cast<int>(left)))
                return false;
            std::uint8_t buffer[256];
            const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
            if (n <= 0)
                return true;
        }
    }

private:
    Fd fd_;
    int error_ = 0;
};

}  // namespace netpod::emu::test
