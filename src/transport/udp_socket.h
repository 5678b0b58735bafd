// The one UDP socket of one exchange: broadcast allowed, not bound (the system
// picks an ephemeral port at the first send), closed by its owner's destructor.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace netpod {

class UdpSocket {
public:
    UdpSocket();
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // False when the socket could not be created.
    bool valid() const { return fd_ >= 0; }
    // The system's reason (errno) when the socket could not be opened, else 0.
    int openError() const { return openError_; }

    // Sends one datagram to a dotted decimal IPv4 address. False when the address
    // is not a valid dotted quad or the system refuses the send.
    bool SendTo(std::string_view dottedAddress, std::uint16_t port, std::span<const std::uint8_t> bytes);

    struct Datagram {
        std::size_t size = 0;       // 0 when nothing arrived in time
        std::string senderAddress;  // empty when nothing arrived
        std::uint16_t senderPort = 0;
        bool truncated = false;  // the datagram was longer than the buffer
    };

    // Waits at most `wait` for one datagram and receives it into `buffer`. A longer
    // datagram is cut to the buffer (the system drops the rest): its first bytes
    // count as received and `truncated` says so. A socket error counts like a
    // time-out: nothing arrived.
    Datagram Receive(std::span<std::uint8_t> buffer, std::chrono::milliseconds wait);

private:
    int fd_ = -1;
    int openError_ = 0;
};

}  // namespace netpod
