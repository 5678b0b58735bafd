// ICMP echo (RFC 792): is some host already using an IPv4 address?
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

namespace netpod {

inline constexpr std::chrono::milliseconds kEchoReplyWait{5000};

// True when a host answers an echo request sent to the four values `address`
// within `wait`. A reply of another kind, no reply, a send that fails or a process
// that may open no ICMP socket at all give false. Tries an unprivileged ICMP
// datagram socket first, then a raw socket.
bool IsIPAddressInUse(const std::int32_t* address, std::chrono::milliseconds wait = kEchoReplyWait);

enum class IcmpSocketKind { Datagram, Raw };

// One echo over one kind of socket: nullopt when that kind of socket cannot be
// opened, otherwise whether the matching echo reply came within `wait`.
std::optional<bool> EchoOver(IcmpSocketKind kind, std::uint32_t addressNetworkOrder, std::chrono::milliseconds wait);

// The identifier and sequence number of an echo reply.
struct EchoReplyIds {
    std::uint16_t identifier;
    std::uint16_t sequence;
};

// Reads a packet that an ICMP socket of `kind` received, from any host: raw sockets
// deliver the IP header in front of the ICMP message, datagram sockets do not.
// nullopt when it is not an echo reply or too short to be one.
std::optional<EchoReplyIds> ParseEchoReply(IcmpSocketKind kind, std::span<const std::uint8_t> packet);

}  // namespace netpod
