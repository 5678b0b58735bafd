#include "netpod_emulator/emulator.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>

#include "module_protocol.h"
#include "sockets.h"

namespace netpod::emu {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kSplitPause = std::chrono::milliseconds(50);
constexpr std::size_t kMaxRecordedPackets = 100000;
constexpr std::size_t kMaxRecordedSerialBytes = 1u << 20;

enum class Kind { Wake, UdpModule, UdpWildcard, MainListener, SerialListener, MainConnection, SerialConnection, Pty };

// One answer waiting to go out on a connection; kept in order so that a delayed or
// split answer is never overtaken by a later one.
struct Chunk {
    Clock::time_point due;
    std::vector<std::uint8_t> bytes;
};

struct Endpoint {
    Kind kind = Kind::Wake;
    std::size_t module = 0;
    UniqueFd fd;
    // Connections only.
    FrameAssembler assembler;
    std::optional<std::vector<std::uint8_t>> held;  // a response held back by the join fault
    std::deque<Chunk> pending;
    std::vector<std::uint8_t> outbox;  // bytes the socket did not take yet
    bool watchingWrite = false;
    bool closeWhenFlushed = false;
};

bool IsConnection(Kind kind) {
    return kind == Kind::MainConnection || kind == Kind::SerialConnection;
}

std::vector<std::uint8_t> Concatenate(const std::vector<std::vector<std::uint8_t>>& parts) {
    std::vector<std::uint8_t> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

struct Emulator::Impl {
    struct Module {
        explicit Module(const ModuleConfig& c) : config(c), model(c) {}
        ModuleConfig config;
        ModuleModel model;
        Faults faults;
        in_addr address{};
        std::uint64_t udpId = 0, mainListenerId = 0, serialListenerId = 0, ptyId = 0;
        std::size_t openConnections = 0;
        UniqueFd ptySlave;
        std::string ptyPath;
        std::vector<std::vector<std::uint8_t>> requests;
        std::vector<std::vector<std::uint8_t>> datagrams;
        std::vector<std::uint8_t> serial;
    };

    Impl(std::vector<ModuleConfig> configs, bool broadcast) : answerBroadcast(broadcast) {
        for (auto& c : configs)
            modules.push_back(std::make_unique<Module>(c));
    }

    const bool answerBroadcast;
    std::atomic<bool> stopping{false};
    std::thread ioThread;  // started by start(), joined by stop()

    // Guards everything below. Written and read by the I/O thread while it handles
    // events and timers, and by the public member functions; never held across a wait.
    mutable std::mutex mutex;
    std::vector<std::unique_ptr<Module>> modules;
    std::map<std::uint64_t, std::unique_ptr<Endpoint>> endpoints;
    std::uint64_t nextId = 1;
    std::multimap<Clock::time_point, std::function<void()>> timers;
    UniqueFd epoll;
    std::uint64_t wakeId = 0;
    bool running = false;
    Clock::time_point startTime = Clock::now();

    double seconds() const { return std::chrono::duration<double>(Clock::now() - startTime).count(); }

    Module& module(std::size_t index) const {
        if (index >= modules.size())
            throw std::out_of_range("emulated module index");
        return *modules[index];
    }

    Endpoint* find(std::uint64_t id) {
        const auto it = endpoints.find(id);
        return it == endpoints.end() ? nullptr : it->second.get();
    }

    std::uint64_t add(Kind kind, std::size_t moduleIndex, UniqueFd fd, std::uint32_t events) {
        const std::uint64_t id = nextId++;
        auto e = std::make_unique<Endpoint>();
        e->kind = kind;
        e->module = moduleIndex;
        e->fd = std::move(fd);
        epoll_event ev{};
        ev.events = events;
        ev.data.u64 = id;
        ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, e->fd.get(), &ev);
        if (IsConnection(kind)) {
            Module& m = *modules[moduleIndex];
            m.model.registers.setOpenConnections(++m.openConnections);
        }
        endpoints.emplace(id, std::move(e));
        return id;
    }

    void close(std::uint64_t id) {
        const auto it = endpoints.find(id);
        if (it == endpoints.end())
            return;
        if (IsConnection(it->second->kind)) {
            Module& m = *modules[it->second->module];
            m.model.registers.setOpenConnections(--m.openConnections);
        }
        endpoints.erase(it);  // closing the descriptor also takes it out of the epoll set
    }

    // ---- starting and stopping ----

    bool openListener(std::size_t index, Kind kind, std::string* error, int* errorNumber) {
        Module& m = *modules[index];
        const std::uint16_t port = kind == Kind::MainListener ? m.config.mainPort : m.config.serialPort;
        UniqueFd fd = OpenTcpListener(m.address, port, error, errorNumber);
        if (!fd)
            return false;
        (kind == Kind::MainListener ? m.mainListenerId : m.serialListenerId) = add(kind, index, std::move(fd), EPOLLIN);
        return true;
    }

    bool refusesOn(const Faults& f, Kind listener) const {
        return f.refuseConnections && (listener == Kind::MainListener ? f.tcpOnMainPort : f.tcpOnSerialPort);
    }

    // Closes or reopens the listeners as the refuse fault asks; called with the lock held.
    void applyListeners(std::size_t index) {
        Module& m = *modules[index];
        for (Kind kind : {Kind::MainListener, Kind::SerialListener}) {
            std::uint64_t& id = kind == Kind::MainListener ? m.mainListenerId : m.serialListenerId;
            const bool refuse = refusesOn(m.faults, kind);
            if (refuse && id != 0) {
                close(id);
                id = 0;
                ++(kind == Kind::MainListener ? m.model.counters.mainFaults : m.model.counters.serialFaults)
                      .listenerClosed;
            } else if (!refuse && id == 0) {
                std::string ignored;
                openListener(index, kind, &ignored, nullptr);
            }
        }
    }

    bool start(std::string* error) {
        std::lock_guard lock(mutex);
        if (running)
            return true;
        std::string why;
        if (!open(&why)) {
            closeAll();
            if (error != nullptr)
                *error = why;
            return false;
        }
        running = true;
        stopping = false;
        startTime = Clock::now();
        ioThread = std::thread([this] { run(); });
        return true;
    }

    bool open(std::string* why) {
        if (modules.empty()) {
            *why = "no module to emulate";
            return false;
        }
        epoll = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
        UniqueFd wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        if (!epoll || !wake) {
            *why = std::string("epoll/eventfd: ") + std::strerror(errno);
            return false;
        }
        wakeId = add(Kind::Wake, 0, std::move(wake), EPOLLIN);
        for (std::size_t i = 0; i < modules.size(); ++i) {
            Module& m = *modules[i];
            if (!ParseIPv4(m.config.address, &m.address)) {
                *why = "not an IPv4 address: " + m.config.address;
                return false;
            }
            if (m.config.name.size() > 16) {
                *why = "module name longer than 16 bytes: " + m.config.name;
                return false;
            }
            for (Kind kind : {Kind::MainListener, Kind::SerialListener}) {
                if (refusesOn(m.faults, kind))
                    ++(kind == Kind::MainListener ? m.model.counters.mainFaults : m.model.counters.serialFaults)
                          .listenerClosed;
                else if (!openListener(i, kind, why, nullptr))
                    return false;
            }
            UniqueFd udp = OpenUdpSocket(m.address, m.config.udpPort, answerBroadcast, false, why);
            if (!udp)
                return false;
            m.udpId = add(Kind::UdpModule, i, std::move(udp), EPOLLIN);
            if (m.config.serialPty) {
                UniqueFd master = OpenPseudoTerminal(&m.ptySlave, &m.ptyPath, why);
                if (!master)
                    return false;
                m.ptyId = add(Kind::Pty, i, std::move(master), EPOLLIN);
            }
        }
        if (answerBroadcast) {
            // One wildcard socket per distinct UDP port hears the broadcasts; each module
            // still answers from its own socket, so its reply carries its own address.
            std::map<std::uint16_t, bool> ports;
            for (const auto& m : modules)
                ports[m->config.udpPort] = true;
            for (const auto& [port, unused] : ports) {
                UniqueFd any = OpenUdpSocket(in_addr{htonl(INADDR_ANY)}, port, true, true, why);
                if (!any)
                    return false;
                add(Kind::UdpWildcard, 0, std::move(any), EPOLLIN);
            }
        }
        return true;
    }

    void closeAll() {
        endpoints.clear();
        timers.clear();
        epoll.reset();
        for (auto& m : modules) {
            m->udpId = m->mainListenerId = m->serialListenerId = m->ptyId = 0;
            m->openConnections = 0;
            m->model.registers.setOpenConnections(0);
            m->ptySlave.reset();
            m->ptyPath.clear();
        }
    }

    void wake() {
        std::lock_guard lock(mutex);
        if (Endpoint* e = find(wakeId)) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto n = ::write(e->fd.get(), &one, sizeof one);
        }
    }

    void stop() {
        {
            std::lock_guard lock(mutex);
            if (!running)
                return;
        }
        stopping = true;
        wake();
        if (ioThread.joinable())
            ioThread.join();
        std::lock_guard lock(mutex);
        closeAll();
        running = false;
    }

    // ---- the I/O thread ----

    void run() {
        epoll_event events[64];
        int epollFd = -1;
        {
            std::lock_guard lock(mutex);
            epollFd = epoll.get();
        }
        while (!stopping) {
            int timeoutMs = -1;
            {
                std::lock_guard lock(mutex);
                if (!timers.empty()) {
                    const auto wait = timers.begin()->first - Clock::now();
                    timeoutMs = static_cast<int>(std::max<std::int64_t>(
                        0, std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
                }
            }
            const int n = ::epoll_wait(epollFd, events, 64, timeoutMs);
            if (n < 0 && errno != EINTR)
                break;
            std::lock_guard lock(mutex);
            for (int i = 0; i < n; ++i)
                dispatch(events[i].data.u64, events[i].events);
            runDueTimers();
        }
    }

    void runDueTimers() {
        while (!timers.empty() && timers.begin()->first <= Clock::now()) {
            auto task = std::move(timers.begin()->second);
            timers.erase(timers.begin());
            task();
        }
    }

    void dispatch(std::uint64_t id, std::uint32_t events) {
        Endpoint* e = find(id);
        if (e == nullptr)
            return;  // closed while this batch of events was waiting
        switch (e->kind) {
        case Kind::Wake: {
            std::uint64_t value = 0;
            [[maybe_unused]] const auto r = ::read(e->fd.get(), &value, sizeof value);
            break;
        }
        case Kind::UdpModule:
            receiveUdp(*e);
            break;
        case Kind::UdpWildcard:
            receiveBroadcast(*e);
            break;
        case Kind::MainListener:
        case Kind::SerialListener:
            accept(*e);
            break;
        case Kind::MainConnection:
        case Kind::SerialConnection:
            if ((events & EPOLLOUT) != 0) {
                pump(id);
                if (find(id) == nullptr)
                    return;
            }
            if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0)
                receiveTcp(id);
            break;
        case Kind::Pty:
            receivePty(*e);
            break;
        }
    }

    // ---- UDP ----

    void receiveUdp(Endpoint& e) {
        std::uint8_t buffer[2048];
        for (;;) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n = ::recvfrom(e.fd.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                                         &fromLength);
            if (n < 0)
                return;
            handleDatagram(e.module, std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)), from);
        }
    }

    void receiveBroadcast(Endpoint& e) {
        std::uint8_t buffer[2048];
        for (;;) {
            sockaddr_in from{};
            iovec iov{buffer, sizeof buffer};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
            msghdr msg{};
            msg.msg_name = &from;
            msg.msg_namelen = sizeof from;
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            const ssize_t n = ::recvmsg(e.fd.get(), &msg, 0);
            if (n < 0)
                return;
            in_addr destination{};
            for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
                if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
                    destination = reinterpret_cast<const in_pktinfo*>(CMSG_DATA(c))->ipi_addr;
            const auto bytes = std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n));
            const std::uint16_t port = ntohs(e.fd ? localPort(e.fd.get()) : 0);
            for (std::size_t i = 0; i < modules.size(); ++i) {
                const Module& m = *modules[i];
                if (m.config.udpPort != port)
                    continue;
                // Only broadcasts are the wildcard socket's business, and a module on
                // loopback never answers a request that came from elsewhere.
                const bool broadcast = destination.s_addr == htonl(INADDR_BROADCAST);
                if (!broadcast || (IsLoopback(m.address) && !IsLoopback(from.sin_addr)))
                    continue;
                handleDatagram(i, bytes, from);
            }
        }
    }

    static std::uint16_t localPort(int fd) {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
        return local.sin_port;
    }

    void handleDatagram(std::size_t index, std::span<const std::uint8_t> bytes, const sockaddr_in& from) {
        Module& m = *modules[index];
        Counters& c = m.model.counters;
        ++c.udpDatagrams;
        if (m.datagrams.size() < kMaxRecordedPackets)
            m.datagrams.emplace_back(bytes.begin(), bytes.end());
        std::size_t p = 0;
        while (p < bytes.size()) {
            std::size_t used = 0;
            const auto frame = ParseFrame(bytes.subspan(p), &used);
            if (!frame) {
                ++c.udpBadPackets;
                return;
            }
            p += used;
            const bool isRead = frame->checksumOk && frame->code == kCodeReadRegisters;
            auto answer = AnswerUdpPacket(m.model, *frame, seconds(), m.faults.udpTypeOnly);
            if (!answer)
                continue;
            if (isRead && m.faults.udpTypeOnly && frame->body != std::vector<std::uint8_t>{kRegType})
                ++c.udpFaults.typeOnly;
            sendUdpAnswer(index, std::move(*answer), isRead, from);
        }
    }

    void sendUdpAnswer(std::size_t index, std::vector<std::uint8_t> answer, bool isRead, const sockaddr_in& to) {
        Module& m = *modules[index];
        const Faults& f = m.faults;
        FaultCounters& fc = m.model.counters.udpFaults;
        if (f.udpNoAnswer) {
            ++fc.dropped;
            return;
        }
        if (isRead && f.udpUnknownRegister && InsertUnknownRegister(answer))
            ++fc.unknownRegister;
        if (f.udpBadChecksum) {
            CorruptChecksum(answer);
            ++fc.corrupted;
        }
        if (f.udpDouble) {
            const auto copy = answer;
            answer.insert(answer.end(), copy.begin(), copy.end());
            ++fc.doubled;
        }
        std::vector<std::vector<std::uint8_t>> datagrams;
        if (f.udpSplit && answer.size() >= 2) {
            const auto half = static_cast<std::ptrdiff_t>(answer.size() / 2);
            datagrams.emplace_back(answer.begin(), answer.begin() + half);
            datagrams.emplace_back(answer.begin() + half, answer.end());
            ++fc.split;
        } else {
            datagrams.push_back(std::move(answer));
        }
        const std::uint64_t socketId = m.udpId;
        auto send = [this, index, socketId, to, datagrams = std::move(datagrams)] {
            Endpoint* e = find(socketId);
            if (e == nullptr)
                return;
            for (const auto& d : datagrams)
                if (::sendto(e->fd.get(), d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
                    static_cast<ssize_t>(d.size()))
                    ++modules[index]->model.counters.udpAnswersSent;
        };
        if (f.udpDelayMs > 0) {
            ++fc.delayed;
            timers.emplace(Clock::now() + std::chrono::milliseconds(f.udpDelayMs), std::move(send));
        } else {
            send();
        }
    }

    // ---- TCP ----

    void accept(Endpoint& listener) {
        const std::size_t index = listener.module;
        const bool main = listener.kind == Kind::MainListener;
        for (;;) {
            UniqueFd fd(::accept4(listener.fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (!fd)
                return;
            Module& m = *modules[index];
            Counters& c = m.model.counters;
            ++(main ? c.mainConnections : c.serialConnections);
            const bool faultsHere = main ? m.faults.tcpOnMainPort : m.faults.tcpOnSerialPort;
            if (faultsHere && m.faults.acceptThenClose) {
                ++(main ? c.mainFaults : c.serialFaults).acceptedThenClosed;
                continue;  // fd closes here
            }
            add(main ? Kind::MainConnection : Kind::SerialConnection, index, std::move(fd), EPOLLIN);
        }
    }

    void receiveTcp(std::uint64_t id) {
        Endpoint* e = find(id);
        std::uint8_t buffer[65536];
        const ssize_t n = ::recv(e->fd.get(), buffer, sizeof buffer, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            close(id);
            return;
        }
        if (n < 0)
            return;
        const auto bytes = std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n));
        if (e->kind == Kind::MainConnection)
            receiveMain(id, *e, bytes);
        else
            receiveSerial(id, *e, bytes);
    }

    void receiveMain(std::uint64_t id, Endpoint& e, std::span<const std::uint8_t> bytes) {
        const std::size_t index = e.module;
        Module& m = *modules[index];
        Counters& c = m.model.counters;
        const auto frames = e.assembler.feed(bytes);
        for (const auto& [frame, raw] : frames) {
            ++c.mainPackets;
            if (m.requests.size() < kMaxRecordedPackets)
                m.requests.push_back(raw);
        }
        if (e.assembler.broken()) {
            close(id);
            return;
        }
        if (frames.empty())
            return;
        if (!e.pending.empty() || e.held)
            ++c.mainRequestsWhileAnswerPending;
        if (m.faults.tcpOnMainPort && m.faults.tcpCloseOnRequest) {
            ++c.mainFaults.closedOnRequest;
            close(id);
            return;
        }
        MainAnswer answer;
        for (const auto& [frame, raw] : frames)
            AnswerMainPacket(m.model, frame, seconds(), answer);
        respond(id, std::move(answer.frames));
        if (answer.reset)
            reset(index, id);
    }

    void receiveSerial(std::uint64_t id, Endpoint& e, std::span<const std::uint8_t> bytes) {
        Module& m = *modules[e.module];
        Counters& c = m.model.counters;
        c.serialBytesReceived += bytes.size();
        if (m.serial.size() + bytes.size() <= kMaxRecordedSerialBytes)
            m.serial.insert(m.serial.end(), bytes.begin(), bytes.end());
        if (m.faults.tcpOnSerialPort && m.faults.tcpCloseOnRequest) {
            ++c.serialFaults.closedOnRequest;
            close(id);
            return;
        }
        if (Endpoint* pty = find(m.ptyId)) {
            // The program at the other end of the terminal answers, not the emulator.
            [[maybe_unused]] const auto w = ::write(pty->fd.get(), bytes.data(), bytes.size());
            return;
        }
        respond(id, {std::vector<std::uint8_t>(bytes.begin(), bytes.end())});
    }

    void receivePty(Endpoint& e) {
        std::uint8_t buffer[4096];
        const ssize_t n = ::read(e.fd.get(), buffer, sizeof buffer);
        if (n <= 0)
            return;
        const std::vector<std::uint8_t> bytes(buffer, buffer + n);
        std::vector<std::uint64_t> targets;
        for (const auto& [id, other] : endpoints)
            if (other->kind == Kind::SerialConnection && other->module == e.module)
                targets.push_back(id);
        for (const auto id : targets)
            respond(id, {bytes});
    }

    // Sends one response through the faults that are set for its port.
    void respond(std::uint64_t id, std::vector<std::vector<std::uint8_t>> frames) {
        Endpoint* e = find(id);
        if (e == nullptr || frames.empty())
            return;
        Module& m = *modules[e->module];
        const Faults& f = m.faults;
        const bool main = e->kind == Kind::MainConnection;
        Counters& c = m.model.counters;
        FaultCounters& fc = main ? c.mainFaults : c.serialFaults;
        const auto now = Clock::now();
        if (!(main ? f.tcpOnMainPort : f.tcpOnSerialPort)) {
            if (main)
                ++c.mainResponsesSent;
            std::vector<std::uint8_t> bytes = Concatenate(frames);
            if (e->held) {
                bytes.insert(bytes.begin(), e->held->begin(), e->held->end());
                e->held.reset();
                ++fc.joined;
            }
            queue(id, std::move(bytes), now);
            return;
        }
        if (f.tcpDrop) {
            ++fc.dropped;
            return;
        }
        if (main) {
            for (auto& frame : frames) {
                if (f.tcpReverseItems && ReverseReadItems(frame))
                    ++fc.reordered;
                if (f.tcpUnknownRegister && InsertUnknownRegister(frame))
                    ++fc.unknownRegister;
                if (f.tcpBadChecksum) {
                    CorruptChecksum(frame);
                    ++fc.corrupted;
                }
            }
        }
        std::vector<std::uint8_t> bytes = Concatenate(frames);
        if (f.tcpJoin && !e->held) {
            e->held = std::move(bytes);
            return;
        }
        if (e->held) {
            bytes.insert(bytes.begin(), e->held->begin(), e->held->end());
            e->held.reset();
            ++fc.joined;
        }
        if (main)
            ++c.mainResponsesSent;
        auto due = now;
        if (f.tcpDelayMs > 0) {
            due += std::chrono::milliseconds(f.tcpDelayMs);
            ++fc.delayed;
        }
        const auto splitAt = static_cast<std::size_t>(std::max(0, f.tcpSplitAt));
        if (splitAt > 0 && bytes.size() > splitAt) {
            ++fc.split;
            std::vector<std::uint8_t> rest(bytes.begin() + static_cast<std::ptrdiff_t>(splitAt), bytes.end());
            bytes.resize(splitAt);
            queue(id, std::move(bytes), due);
            queue(id, std::move(rest), due + kSplitPause);
        } else {
            queue(id, std::move(bytes), due);
        }
    }

    void queue(std::uint64_t id, std::vector<std::uint8_t> bytes, Clock::time_point due) {
        Endpoint* e = find(id);
        if (e == nullptr)
            return;
        e->pending.push_back(Chunk{due, std::move(bytes)});
        if (due > Clock::now())
            timers.emplace(due, [this, id] { pump(id); });
        pump(id);
    }

    // Moves every chunk that is due into the socket, in order. A chunk goes out in a
    // send of its own, so a split answer really leaves as two pieces.
    void pump(std::uint64_t id) {
        for (;;) {
            Endpoint* e = find(id);
            if (e == nullptr)
                return;
            if (!e->outbox.empty()) {
                if (!flush(id))
                    return;
                e = find(id);
                if (!e->outbox.empty())
                    return;  // the socket is full; EPOLLOUT calls again
            }
            if (e->pending.empty() || e->pending.front().due > Clock::now()) {
                finishIfFlushed(id);
                return;  // a timer was set for the chunk when it was queued
            }
            e->outbox = std::move(e->pending.front().bytes);
            e->pending.pop_front();
        }
    }

    // Writes what the socket takes; false when the connection was closed.
    bool flush(std::uint64_t id) {
        Endpoint* e = find(id);
        if (e == nullptr)
            return false;
        while (!e->outbox.empty()) {
            const ssize_t n = ::send(e->fd.get(), e->outbox.data(), e->outbox.size(), MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    break;
                close(id);
                return false;
            }
            e->outbox.erase(e->outbox.begin(), e->outbox.begin() + n);
        }
        const bool wantWrite = !e->outbox.empty();
        if (wantWrite != e->watchingWrite) {
            epoll_event ev{};
            ev.events = EPOLLIN | (wantWrite ? EPOLLOUT : 0u);
            ev.data.u64 = id;
            ::epoll_ctl(epoll.get(), EPOLL_CTL_MOD, e->fd.get(), &ev);
            e->watchingWrite = wantWrite;
        }
        return true;
    }

    // Closes a connection marked to close once its answers are out; false if it did.
    bool finishIfFlushed(std::uint64_t id) {
        Endpoint* e = find(id);
        if (e == nullptr)
            return false;
        if (e->closeWhenFlushed && e->outbox.empty() && e->pending.empty()) {
            close(id);
            return false;
        }
        return true;
    }

    // A restart: every TCP connection of the module goes; the one that asked for it
    // first receives its answer.
    void reset(std::size_t index, std::uint64_t askingId) {
        std::vector<std::uint64_t> others;
        for (const auto& [id, e] : endpoints)
            if (IsConnection(e->kind) && e->module == index && id != askingId)
                others.push_back(id);
        for (const auto id : others)
            close(id);
        if (Endpoint* e = find(askingId)) {
            e->held.reset();
            e->closeWhenFlushed = true;
            finishIfFlushed(askingId);
        }
    }
};

Emulator::Emulator(std::vector<ModuleConfig> modules, bool answerBroadcast)
    : impl_(std::make_unique<Impl>(std::move(modules), answerBroadcast)) {}

Emulator::~Emulator() {
    stop();
}

bool Emulator::start(std::string* error) {
    return impl_->start(error);
}

void Emulator::stop() {
    impl_->stop();
}

std::size_t Emulator::moduleCount() const {
    return impl_->modules.size();  // fixed at construction
}

const ModuleConfig& Emulator::config(std::size_t module) const {
    return impl_->module(module).config;  // never changes after construction
}

std::string Emulator::ptyPath(std::size_t module) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->module(module).ptyPath;
}

void Emulator::setFaults(std::size_t module, const Faults& faults) {
    std::lock_guard lock(impl_->mutex);
    impl_->module(module).faults = faults;
    if (impl_->running)
        impl_->applyListeners(module);
}

Faults Emulator::faults(std::size_t module) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->module(module).faults;
}

Counters Emulator::counters(std::size_t module) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->module(module).model.counters;
}

RegisterSnapshot Emulator::registers(std::size_t module) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->module(module).model.registers.snapshot(impl_->seconds());
}

bool Emulator::setRegisterValue(std::size_t module, std::uint8_t address, std::span<const std::uint8_t> value) {
    std::lock_guard lock(impl_->mutex);
    return impl_->module(module).model.registers.pin(address, value);
}

void Emulator::setEepromBytes(std::size_t module, std::uint8_t wordAddress, std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(impl_->mutex);
    impl_->module(module).model.i2c.writeEeprom(wordAddress, bytes);
}

std::array<std::uint8_t, 256> Emulator::eeprom(std::size_t module) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->module(module).model.i2c.eeprom();
}

std::vector<std::vector<std::uint8_t>> Emulator::receivedRequests(std::size_t module) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->module(module).requests;
}

std::vector<std::vector<std::uint8_t>> Emulator::receivedDatagrams(std::size_t module) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->module(module).datagrams;
}

std::vector<std::uint8_t> Emulator::serialReceived(std::size_t module) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->module(module).serial;
}

void Emulator::clearRecorded(std::size_t module) {
    std::lock_guard lock(impl_->mutex);
    auto& m = impl_->module(module);
    m.requests.clear();
    m.datagrams.clear();
    m.serial.clear();
}

ModuleConfig NthModule(const ModuleConfig& base, std::size_t i) {
    ModuleConfig c = base;
    in_addr address{};
    if (ParseIPv4(base.address, &address)) {
        address.s_addr = htonl(ntohl(address.s_addr) + static_cast<std::uint32_t>(i));
        c.address = FormatIPv4(address);
    }
    std::size_t carry = i;
    for (std::size_t k = c.mac.size(); k-- > 0 && carry != 0;) {
        const std::size_t sum = c.mac[k] + carry;
        c.mac[k] = static_cast<std::uint8_t>(sum & 0xFF);
        carry = sum >> 8;
    }
    // The trailing number of the name counts up, keeping its width ("-01", "-02", ...).
    std::size_t digits = c.name.size();
    while (digits > 0 && c.name[digits - 1] >= '0' && c.name[digits - 1] <= '9')
        --digits;
    if (i > 0) {
        if (digits == c.name.size()) {
            c.name += std::to_string(i + 1);
        } else {
            const std::string number = c.name.substr(digits);
            std::string counted = std::to_string(std::stoull(number) + i);
            if (counted.size() < number.size())
                counted.insert(0, number.size() - counted.size(), '0');
            c.name = c.name.substr(0, digits) + counted;
        }
        if (c.name.size() > 16)
            c.name.erase(0, c.name.size() - 16);  // keep the distinguishing number
    }
    return c;
}

std::unique_ptr<Emulator> StartOnFreeLoopback(ModuleConfig base, std::size_t modules, std::string* error,
                                              bool answerBroadcast) {
    std::random_device seed;
    std::mt19937 random(seed() ^ static_cast<unsigned>(::getpid()));
    std::uniform_int_distribution<int> a(1, 254), b(0, 255);
    const int lastStart = std::max(2, 254 - static_cast<int>(modules));
    std::uniform_int_distribution<int> c(2, lastStart);
    std::string why = "no module to emulate";
    for (int attempt = 0; attempt < 64 && modules > 0; ++attempt) {
        base.address = "127." + std::to_string(a(random)) + "." + std::to_string(b(random)) + "." +
                       std::to_string(c(random));
        std::vector<ModuleConfig> configs;
        for (std::size_t i = 0; i < modules; ++i)
            configs.push_back(NthModule(base, i));
        auto emulator = std::make_unique<Emulator>(std::move(configs), answerBroadcast);
        if (emulator->start(&why))
            return emulator;
    }
    if (error != nullptr)
        *error = why;
    return nullptr;
}

}  // namespace netpod::emu
