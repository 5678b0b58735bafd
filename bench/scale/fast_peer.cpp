#include "fast_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "wire.h"

namespace scalebench {
namespace {

constexpr std::uint16_t kUdpPort = 7010;
constexpr std::uint16_t kMainPort = 8010;
constexpr std::size_t kRequestCapacity = 512;  // a library request slot is at most 188 bytes

bool WouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

sockaddr_in SocketAddress(const std::string& address, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    return a;
}

// Appends the answer to one request frame to `out`. A frame with a bad checksum or an
// unknown function gets no answer, as on a module.
void AnswerFrame(std::span<const std::uint8_t> frame, std::vector<std::uint8_t>& out) {
    if (!wire::FrameIsWhole(frame))
        return;
    const std::uint16_t function = static_cast<std::uint16_t>((frame[0] << 8) | frame[1]);
    const std::uint16_t askId = static_cast<std::uint16_t>((frame[2] << 8) | frame[3]);
    const auto body = frame.subspan(wire::kHeaderSize, frame.size() - wire::kFrameOverhead);
    std::uint8_t answer[wire::kFrameOverhead + kRequestCapacity * 5];
    std::size_t size = 0;
    if (function == wire::kReadRegisters) {
        std::uint8_t items[kRequestCapacity * 5];
        std::size_t length = 0;
        for (const std::uint8_t address : body) {
            const std::size_t width = wire::PeerRegisterValue(address, items + length + 1);
            if (width == 0)
                continue;
            items[length] = address;
            length += 1 + width;
        }
        size = wire::BuildFrame(wire::kReadAnswer, askId, std::span(items, length), answer);
    } else if (function == wire::kWriteRegisters) {
        size = wire::BuildFrame(wire::kWriteRegisters, askId, {}, answer);
    }
    out.insert(out.end(), answer, answer + size);
}

struct PeerConnection {
    int fd = -1;
    wire::FrameReader<kRequestCapacity> reader;
    std::vector<std::uint8_t> unsent;  // answers the socket could not take yet
};

class Peer {
public:
    ~Peer() {
        for (auto& c : connections_)
            if (c)
                close(c->fd);
        for (int fd : {listener_, udp_, signals_, epoll_})
            if (fd >= 0)
                close(fd);
    }

    // Binds both sockets on `address`; false (and nothing open) when either is taken.
    bool bind(const std::string& address, std::string* error) {
        const sockaddr_in tcpAddress = SocketAddress(address, kMainPort);
        const sockaddr_in udpAddress = SocketAddress(address, kUdpPort);
        const int one = 1;
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        udp_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (listener_ < 0 || udp_ < 0 || setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
            ::bind(listener_, reinterpret_cast<const sockaddr*>(&tcpAddress), sizeof tcpAddress) != 0 ||
            listen(listener_, 4096) != 0 ||
            ::bind(udp_, reinterpret_cast<const sockaddr*>(&udpAddress), sizeof udpAddress) != 0) {
            *error = address + ": " + std::strerror(errno);
            close(listener_);
            close(udp_);
            listener_ = udp_ = -1;
            return false;
        }
        return true;
    }

    int run() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGALRM);
        sigprocmask(SIG_BLOCK, &set, nullptr);
        signals_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        if (signals_ < 0 || epoll_ < 0 || !watch(listener_, EPOLLIN) || !watch(udp_, EPOLLIN) ||
            !watch(signals_, EPOLLIN))
            return 1;
        epoll_event events[256];
        for (;;) {
            const int n = epoll_wait(epoll_, events, 256, -1);
            if (n < 0 && errno != EINTR)
                return 1;
            for (int i = 0; i < n; ++i) {
                const int fd = events[i].data.fd;
                if (fd == signals_)
                    return 0;
                if (fd == listener_)
                    acceptAll();
                else if (fd == udp_)
                    answerDatagrams();
                else
                    serve(fd, events[i].events);
            }
        }
    }

private:
    bool watch(int fd, std::uint32_t events) {
        epoll_event e{};
        e.events = events;
        e.data.fd = fd;
        return epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &e) == 0;
    }

    void acceptAll() {
        for (;;) {
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0)
                return;  // drained, or out of descriptors: the client's connect then times out
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            if (!watch(fd, EPOLLIN | EPOLLRDHUP)) {
                close(fd);
                continue;
            }
            const auto index = static_cast<std::size_t>(fd);
            if (connections_.size() <= index)
                connections_.resize(index + 1);
            connections_[index] = std::make_unique<PeerConnection>();
            connections_[index]->fd = fd;
        }
    }

    void answerDatagrams() {
        std::uint8_t in[1500];
        for (;;) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n = recvfrom(udp_, in, sizeof in, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n <= 0)
                return;
            // One datagram holds whole frames.
            wire::FrameReader<kRequestCapacity> reader;
            out_.clear();
            reader.feed(std::span<const std::uint8_t>(in, static_cast<std::size_t>(n)),
                        [this](std::span<const std::uint8_t> frame) { AnswerFrame(frame, out_); });
            if (!out_.empty())
                sendto(udp_, out_.data(), out_.size(), 0, reinterpret_cast<const sockaddr*>(&from), fromLength);
        }
    }

    void drop(int fd) {
        epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
        close(fd);
        connections_[static_cast<std::size_t>(fd)].reset();
    }

    void serve(int fd, std::uint32_t ready) {
        const auto index = static_cast<std::size_t>(fd);
        if (index >= connections_.size() || !connections_[index])
            return;
        PeerConnection& c = *connections_[index];
        if ((ready & EPOLLOUT) != 0 && !flush(c))
            return;
        if ((ready & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) == 0)
            return;
        std::uint8_t in[4096];
        const ssize_t n = recv(fd, in, sizeof in, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && !WouldBlock(errno))) {
            drop(fd);
            return;
        }
        if (n < 0)
            return;
        out_.clear();
        const bool inStep = c.reader.feed(std::span<const std::uint8_t>(in, static_cast<std::size_t>(n)),
                                          [this](std::span<const std::uint8_t> frame) { AnswerFrame(frame, out_); });
        if (!inStep) {
            drop(fd);
            return;
        }
        c.unsent.insert(c.unsent.end(), out_.begin(), out_.end());
        flush(c);
    }

    // Sends what the connection owes; watches for room while some is left. False
    // when the connection was dropped.
    bool flush(PeerConnection& c) {
        const bool wasWaiting = waitingForRoom(c);
        std::size_t sent = 0;
        while (sent < c.unsent.size()) {
            const ssize_t n = send(c.fd, c.unsent.data() + sent, c.unsent.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (WouldBlock(errno))
                    break;
                drop(c.fd);
                return false;
            }
            sent += static_cast<std::size_t>(n);
        }
        c.unsent.erase(c.unsent.begin(), c.unsent.begin() + static_cast<std::ptrdiff_t>(sent));
        if (wasWaiting != waitingForRoom(c)) {
            epoll_event e{};
            e.events = EPOLLIN | EPOLLRDHUP | (c.unsent.empty() ? 0u : std::uint32_t{EPOLLOUT});
            e.data.fd = c.fd;
            epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &e);
        }
        return true;
    }

    static bool waitingForRoom(const PeerConnection& c) { return !c.unsent.empty(); }

    int listener_ = -1;
    int udp_ = -1;
    int signals_ = -1;
    int epoll_ = -1;
    std::vector<std::unique_ptr<PeerConnection>> connections_;  // indexed by descriptor
    std::vector<std::uint8_t> out_;                             // answers of one batch
};

// The child's whole life. Writes "ready ADDRESS" or "error TEXT" to `report`.
int PeerMain(const std::string& wanted, int report) {
    Peer peer;
    std::string address = wanted;
    std::string error;
    bool bound = false;
    if (!wanted.empty()) {
        bound = peer.bind(wanted, &error);
    } else {
        std::mt19937 random(static_cast<unsigned>(getpid()) ^ std::random_device{}());
        std::uniform_int_distribution<int> byte(1, 254);
        for (int attempt = 0; attempt < 64 && !bound; ++attempt) {
            address = "127." + std::to_string(byte(random)) + "." + std::to_string(byte(random)) + "." +
                      std::to_string(byte(random));
            bound = peer.bind(address, &error);
        }
    }
    const std::string line = bound ? "ready " + address + "\n" : "error " + error + "\n";
    if (write(report, line.data(), line.size()) != static_cast<ssize_t>(line.size()) || !bound)
        return 1;
    close(report);
    return peer.run();
}

}  // namespace

PeerProcess StartPeer(const std::string& address, unsigned lifetimeSeconds, std::string* error) {
    PeerProcess peer;
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return peer;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        close(report[0]);
        close(report[1]);
        return peer;
    }
    if (pid == 0) {
        close(report[0]);
        // Never outlives the benchmark, whatever becomes of it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(1);
        alarm(lifetimeSeconds);
        _exit(PeerMain(address, report[1]));
    }
    close(report[1]);
    std::string line;
    pollfd p{report[0], POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (line.find('\n') == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        char chunk[256];
        const ssize_t n = read(report[0], chunk, sizeof chunk);
        if (n <= 0)
            break;
        line.append(chunk, static_cast<std::size_t>(n));
    }
    close(report[0]);
    peer.pid = pid;
    if (line.rfind("ready ", 0) == 0) {
        peer.address = line.substr(6, line.find('\n') - 6);
        return peer;
    }
    *error = line.empty() ? "the peer gave no readiness line" : line.substr(0, line.find('\n'));
    StopPeer(peer);
    return peer;
}

void StopPeer(PeerProcess& peer) {
    if (peer.pid <= 0)
        return;
    kill(peer.pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int status = 0;
    while (waitpid(peer.pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(peer.pid, SIGKILL);
            waitpid(peer.pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    peer.pid = -1;
}

}  // namespace scalebench
