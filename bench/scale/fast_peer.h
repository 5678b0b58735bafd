// The benchmark's module peer: the least a module has to do for the library and the
// raw client to be measured, done as fast as one epoll thread can, so that the
// figures show the clients rather than the peer.
//
// It listens on one loopback address, on UDP 7010 (the TYPE test every open of the
// library makes first) and on TCP 8010 (the register protocol), and answers every
// read with fixed values (wire::PeerRegisterValue) and every write with an empty
// acknowledgement. Any number of connections share the one listening socket.
//
// It runs in a child process of its own, so that its CPU time is not counted as the
// client's.
#pragma once

#include <sys/types.h>

#include <string>

namespace scalebench {

struct PeerProcess {
    pid_t pid = -1;
    std::string address;  // dotted IPv4 address the peer listens on
};

// Forks the peer and waits for its readiness line. The caller must have no thread
// other than the calling one (fork copies only the caller). With an empty
// `address`, the peer picks a free 127.a.b.c address of its own. The child ends by
// itself after `lifetimeSeconds`, and at once when this process dies. Returns a
// process with pid -1 and sets `error` on failure.
PeerProcess StartPeer(const std::string& address, unsigned lifetimeSeconds, std::string* error);

// Ends the peer by its process id and reaps it: SIGTERM, then SIGKILL after two
// seconds. Does nothing for a peer that was not started.
void StopPeer(PeerProcess& peer);

}  // namespace scalebench
