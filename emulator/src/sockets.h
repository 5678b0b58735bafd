// The few socket and terminal operations the emulator needs, each returning an owned
// descriptor or the reason it could not be made.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>
#include <utility>

namespace netpod::emu {

// Owns one file descriptor and closes it once.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset();

private:
    int fd_ = -1;
};

bool ParseIPv4(const std::string& text, in_addr* out);
std::string FormatIPv4(in_addr address);
bool IsLoopback(in_addr address);

// Each returns an invalid descriptor and sets *error on failure.
UniqueFd OpenUdpSocket(in_addr address, std::uint16_t port, bool shareAddress, bool wantDestination,
                       std::string* error);
UniqueFd OpenTcpListener(in_addr address, std::uint16_t port, std::string* error);

// Receives one waiting datagram into `buffer`; its size, or -1 when none is waiting
// (or the socket failed).
// With `destination`, also the address it was sent to, which tells a broadcast from
// a datagram for one module (the socket must have been opened with wantDestination).
ssize_t ReceiveDatagram(int fd, std::span<std::uint8_t> buffer, sockaddr_in* from, in_addr* destination = nullptr);
// The port a socket is bound to, in host order.
std::uint16_t LocalPort(int fd);

// A pseudo-terminal in raw mode. The master is returned non-blocking; the slave is
// kept open in *slave so the master never reads a hang-up while no program holds it.
UniqueFd OpenPseudoTerminal(UniqueFd* slave, std::string* path, std::string* error);

}  // namespace netpod::emu
