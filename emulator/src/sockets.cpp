#include "sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace netpod::emu {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void UniqueFd::reset() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool ParseIPv4(const std::string& text, in_addr* out) {
    return inet_pton(AF_INET, text.c_str(), out) == 1;
}

std::string FormatIPv4(in_addr address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

bool IsLoopback(in_addr address) {
    return (ntohl(address.s_addr) >> 24) == 127;
}

namespace {

UniqueFd Fail(const std::string& what, std::string* error) {
    const int saved = errno;  // building the text may allocate and touch errno
    if (error != nullptr)
        *error = what + ": " + std::strerror(saved);
    return UniqueFd{};
}

sockaddr_in Endpoint(in_addr address, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = address;
    sa.sin_port = htons(port);
    return sa;
}

std::string Where(const char* kind, in_addr address, std::uint16_t port) {
    return std::string(kind) + " " + FormatIPv4(address) + ":" + std::to_string(port);
}

}  // namespace

UniqueFd OpenUdpSocket(in_addr address, std::uint16_t port, bool shareAddress, bool wantDestination,
                       std::string* error) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd)
        return Fail("socket", error);
    const int one = 1;
    // Sharing lets the broadcast listener on the wildcard address live beside the
    // modules' own sockets on the same port, in this process and in others.
    if (shareAddress && ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        return Fail("SO_REUSEADDR", error);
    if (wantDestination && ::setsockopt(fd.get(), IPPROTO_IP, IP_PKTINFO, &one, sizeof one) != 0)
        return Fail("IP_PKTINFO", error);
    const sockaddr_in sa = Endpoint(address, port);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
        return Fail("bind " + Where("UDP", address, port), error);
    return fd;
}

UniqueFd OpenTcpListener(in_addr address, std::uint16_t port, std::string* error) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd)
        return Fail("socket", error);
    // Lets a restarted emulator bind while old connections sit in TIME_WAIT; a port
    // that another listener holds is still refused.
    const int one = 1;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        return Fail("SO_REUSEADDR", error);
    const sockaddr_in sa = Endpoint(address, port);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
        return Fail("bind " + Where("TCP", address, port), error);
    if (::listen(fd.get(), 64) != 0)
        return Fail("listen " + Where("TCP", address, port), error);
    return fd;
}

ssize_t ReceiveDatagram(int fd, std::span<std::uint8_t> buffer, sockaddr_in* from, in_addr* destination) {
    if (destination == nullptr) {
        socklen_t fromLength = sizeof *from;
        return ::recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(from), &fromLength);
    }
    iovec iov{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr msg{};
    msg.msg_name = from;
    msg.msg_namelen = sizeof *from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd, &msg, 0);
    if (n < 0)
        return n;
    *destination = in_addr{};
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
            *destination = reinterpret_cast<const in_pktinfo*>(CMSG_DATA(c))->ipi_addr;
    return n;
}

std::uint16_t LocalPort(int fd) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

UniqueFd OpenPseudoTerminal(UniqueFd* slave, std::string* path, std::string* error) {
    UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!master)
        return Fail("posix_openpt", error);
    if (::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0)
        return Fail("grantpt/unlockpt", error);
    char name[128] = {};
    if (::ptsname_r(master.get(), name, sizeof name) != 0)
        return Fail("ptsname", error);
    UniqueFd peer(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!peer)
        return Fail(std::string("open ") + name, error);
    termios tio{};
    if (::tcgetattr(peer.get(), &tio) != 0)
        return Fail("tcgetattr", error);
    ::cfmakeraw(&tio);
    if (::tcsetattr(peer.get(), TCSANOW, &tio) != 0)
        return Fail("tcsetattr", error);
    *slave = std::move(peer);
    *path = name;
    return master;
}

}  // namespace netpod::emu
