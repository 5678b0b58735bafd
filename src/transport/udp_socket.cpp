#include "transport/udp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace netpod {

UdpSocket::UdpSocket() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd_ < 0) {
        openError_ = errno;
        return;
    }
    // Set on every socket, also for unicast exchanges: the scan and the change of
    // IP address send to the limited broadcast address.
    const int on = 1;
    if (::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

UdpSocket::~UdpSocket() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool UdpSocket::SendTo(std::string_view dottedAddress, std::uint16_t port, std::span<const std::uint8_t> bytes) {
    if (fd_ < 0)
        return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    const std::string address(dottedAddress);
    if (::inet_pton(AF_INET, address.c_str(), &to.sin_addr) != 1)
        return false;
    ssize_t sent;
    do {
        sent =
            ::sendto(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(bytes.size());
}

UdpSocket::Datagram UdpSocket::Receive(std::span<std::uint8_t> buffer, std::chrono::milliseconds wait) {
    Datagram datagram;
    if (fd_ < 0)
        return datagram;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd readable{fd_, POLLIN, 0};
        const int ready = ::poll(&readable, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return datagram;
        break;
    }
    sockaddr_in from{};
    iovec part{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    ssize_t received;
    do {
        // MSG_DONTWAIT: poll said readable, but a receive must never outlast the wait.
        received = ::recvmsg(fd_, &message, MSG_DONTWAIT);
    } while (received < 0 && errno == EINTR);
    if (received <= 0)
        return datagram;
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text) == nullptr)
        return datagram;
    datagram.size = static_cast<std::size_t>(received);
    datagram.senderAddress = text;
    datagram.senderPort = ntohs(from.sin_port);
    datagram.truncated = (message.msg_flags & MSG_TRUNC) != 0;
    return datagram;
}

}  // namespace netpod
