#include "transport/icmp_echo.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace netpod {
namespace {

constexpr std::uint8_t kEchoRequest = 8;
constexpr std::uint8_t kEchoReply = 0;
constexpr std::size_t kIcmpHeaderSize = 8;

// Sequence numbers tell the echoes of concurrent callers apart on raw sockets,
// which see every ICMP packet the host receives.
std::atomic<std::uint16_t> gNextSequence{1};

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The RFC 1071 checksum that ICMP carries (unlike the Ostrak checksum, complemented).
std::uint16_t InternetChecksum(const std::uint8_t* bytes, std::size_t size) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2)
        sum += static_cast<std::uint32_t>((bytes[i] << 8) | bytes[i + 1]);
    if (size % 2 != 0)
        sum += static_cast<std::uint32_t>(bytes[size - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFFu) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

}  // namespace

std::optional<EchoReplyIds> ParseEchoReply(IcmpSocketKind kind, std::span<const std::uint8_t> packet) {
    if (kind == IcmpSocketKind::Raw) {
        if (packet.empty())
            return std::nullopt;
        const std::size_t ipHeader = std::size_t{packet[0] & 0x0Fu} * 4;
        if (ipHeader < 20 || packet.size() < ipHeader)
            return std::nullopt;
        packet = packet.subspan(ipHeader);
    }
    if (packet.size() < kIcmpHeaderSize || packet[0] != kEchoReply)
        return std::nullopt;
    return EchoReplyIds{static_cast<std::uint16_t>((packet[4] << 8) | packet[5]),
                        static_cast<std::uint16_t>((packet[6] << 8) | packet[7])};
}

std::optional<bool> EchoOver(IcmpSocketKind kind, std::uint32_t addressNetworkOrder, std::chrono::milliseconds wait) {
    FileDescriptor socket(
        ::socket(AF_INET, (kind == IcmpSocketKind::Raw ? SOCK_RAW : SOCK_DGRAM) | SOCK_CLOEXEC, IPPROTO_ICMP));
    if (socket.get() < 0)
        return std::nullopt;

    // A datagram socket's identifier is its local port, set by the system; a raw
    // socket's is ours to choose, and the sequence number alone tells our echoes apart.
    const std::uint16_t identifier = static_cast<std::uint16_t>(::getpid());
    const std::uint16_t sequence = gNextSequence.fetch_add(1);
    std::array<std::uint8_t, kIcmpHeaderSize + 8> request{};
    request[0] = kEchoRequest;
    request[4] = static_cast<std::uint8_t>(identifier >> 8);
    request[5] = static_cast<std::uint8_t>(identifier);
    request[6] = static_cast<std::uint8_t>(sequence >> 8);
    request[7] = static_cast<std::uint8_t>(sequence);
    const std::uint16_t checksum = InternetChecksum(request.data(), request.size());
    request[2] = static_cast<std::uint8_t>(checksum >> 8);
    request[3] = static_cast<std::uint8_t>(checksum);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = addressNetworkOrder;
    ssize_t sent;
    do {
        sent = ::sendto(socket.get(), request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                        sizeof to);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(request.size()))
        return false;

    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::array<std::uint8_t, 1500> packet{};
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd readable{socket.get(), POLLIN, 0};
        const int ready = ::poll(&readable, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t received = ::recvfrom(socket.get(), packet.data(), packet.size(), MSG_DONTWAIT,
                                            reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (received < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            return false;
        }
        const auto reply = ParseEchoReply(kind, std::span(packet).first(static_cast<std::size_t>(received)));
        // A raw socket also sees our own request on loopback, and every other ICMP
        // packet of the host; only the reply to this very echo counts.
        if (!reply || from.sin_addr.s_addr != addressNetworkOrder)
            continue;
        if (reply->sequence != sequence || (kind == IcmpSocketKind::Raw && reply->identifier != identifier))
            continue;
        return true;
    }
}

bool IsIPAddressInUse(const std::int32_t* address, std::chrono::milliseconds wait) {
    std::uint8_t bytes[4];
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<std::uint8_t>(address[i]);
    std::uint32_t networkOrder;
    std::memcpy(&networkOrder, bytes, sizeof networkOrder);
    for (const IcmpSocketKind kind : {IcmpSocketKind::Datagram, IcmpSocketKind::Raw})
        if (const auto answered = EchoOver(kind, networkOrder, wait))
            return *answered;
    return false;
}

}  // namespace netpod
