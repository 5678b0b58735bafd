#include "module_server.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <stdexcept>

#include "faults.h"
#include "pacing.h"

namespace netpod::emu {
namespace {

// What a module records for the tests is bounded, so that a long run of the
// emulator program under load cannot grow without limit.
constexpr std::size_t kMaxRecordedPackets = 100000;
constexpr std::size_t kMaxRecordedSerialBytes = 1u << 20;

FaultCounters& PortFaultCounters(Counters& counters, bool mainPort) {
    return mainPort ? counters.mainFaults : counters.serialFaults;
}

}  // namespace

ModuleServer::ModuleServer(std::vector<ModuleConfig> configs, bool answerBroadcast)
    : answerBroadcast_(answerBroadcast), reactor_([this](std::size_t index, bool opened) {
          EmulatedModule& m = *modules_[index];
          if (opened)
              ++m.openConnections;
          else
              --m.openConnections;
          m.model.registers.setOpenConnections(m.openConnections);
      }) {
    for (auto& c : configs)
        modules_.push_back(std::make_unique<EmulatedModule>(c));
}

EmulatedModule& ModuleServer::module(std::size_t index) const {
    if (index >= modules_.size())
        throw std::out_of_range("emulated module index");
    return *modules_[index];
}

double ModuleServer::seconds() const {
    return std::chrono::duration<double>(Clock::now() - startTime_).count();
}

void ModuleServer::setFaults(std::size_t index, const Faults& faults) {
    module(index).faults = faults;
    if (running_)
        applyListeners(index);
}

// ---- starting and stopping ----

bool ModuleServer::start(std::string* error) {
    std::lock_guard lock(mutex_);
    if (running_)
        return true;
    std::string why;
    if (!open(&why)) {
        closeAll();
        if (error != nullptr)
            *error = why;
        return false;
    }
    running_ = true;
    stopping_ = false;
    startTime_ = Clock::now();
    // The thread's first step takes the lock, so it starts serving only once start()
    // has released it.
    ioThread_ = std::thread([this] {
        reactor_.run(mutex_, stopping_,
                     [this](std::uint64_t id, Endpoint& e, std::uint32_t events) { dispatch(id, e, events); });
    });
    return true;
}

void ModuleServer::stop() {
    {
        std::lock_guard lock(mutex_);
        if (!running_)
            return;
    }
    stopping_ = true;
    {
        std::lock_guard lock(mutex_);
        reactor_.wake();
    }
    if (ioThread_.joinable())
        ioThread_.join();
    std::lock_guard lock(mutex_);
    closeAll();
    running_ = false;
}

bool ModuleServer::open(std::string* why) {
    if (modules_.empty()) {
        *why = "no module to emulate";
        return false;
    }
    if (!reactor_.open(why))
        return false;
    for (std::size_t i = 0; i < modules_.size(); ++i) {
        EmulatedModule& m = *modules_[i];
        if (!ParseIPv4(m.config.address, &m.address)) {
            *why = "not an IPv4 address: " + m.config.address;
            return false;
        }
        if (m.config.name.size() > 16) {
            *why = "module name longer than 16 bytes: " + m.config.name;
            return false;
        }
        for (const bool mainPort : {true, false}) {
            if (RefusesConnections(m.faults, mainPort))
                ++PortFaultCounters(m.model.counters, mainPort).listenerClosed;
            else if (!openListener(i, mainPort, why))
                return false;
        }
        UniqueFd udp = OpenUdpSocket(m.address, m.config.udpPort, answerBroadcast_, false, why);
        if (!udp)
            return false;
        m.udpId = reactor_.add(EndpointKind::UdpModule, i, std::move(udp), EPOLLIN);
        if (m.config.serialPty) {
            UniqueFd master = OpenPseudoTerminal(&m.ptySlave, &m.ptyPath, why);
            if (!master)
                return false;
            m.ptyId = reactor_.add(EndpointKind::Pty, i, std::move(master), EPOLLIN);
        }
    }
    if (answerBroadcast_) {
        // One wildcard socket per distinct UDP port hears the broadcasts; each module
        // still answers from its own socket, so its reply carries its own address.
        std::map<std::uint16_t, bool> ports;
        for (const auto& m : modules_)
            ports[m->config.udpPort] = true;
        for (const auto& [port, unused] : ports) {
            UniqueFd any = OpenUdpSocket(in_addr{htonl(INADDR_ANY)}, port, true, true, why);
            if (!any)
                return false;
            reactor_.add(EndpointKind::UdpWildcard, 0, std::move(any), EPOLLIN);
        }
    }
    return true;
}

void ModuleServer::closeAll() {
    reactor_.closeAll();
    for (auto& m : modules_) {
        m->udpId = m->mainListenerId = m->serialListenerId = m->ptyId = 0;
        m->openConnections = 0;
        m->model.registers.setOpenConnections(0);
        m->ptySlave.reset();
        m->ptyPath.clear();
    }
}

bool ModuleServer::openListener(std::size_t index, bool mainPort, std::string* why) {
    EmulatedModule& m = *modules_[index];
    UniqueFd fd = OpenTcpListener(m.address, mainPort ? m.config.mainPort : m.config.serialPort, why);
    if (!fd)
        return false;
    (mainPort ? m.mainListenerId : m.serialListenerId) = reactor_.add(
        mainPort ? EndpointKind::MainListener : EndpointKind::SerialListener, index, std::move(fd), EPOLLIN);
    return true;
}

// Refusing is done by not listening at all, so that a connect() really gets
// ECONNREFUSED; connections already open stay.
void ModuleServer::applyListeners(std::size_t index) {
    EmulatedModule& m = *modules_[index];
    for (const bool mainPort : {true, false}) {
        std::uint64_t& id = mainPort ? m.mainListenerId : m.serialListenerId;
        const bool refuse = RefusesConnections(m.faults, mainPort);
        if (refuse && id != 0) {
            reactor_.close(id);
            id = 0;
            ++PortFaultCounters(m.model.counters, mainPort).listenerClosed;
        } else if (!refuse && id == 0) {
            // A port that another socket took meanwhile stays closed: setFaults() has
            // no way to report it.
            std::string ignored;
            openListener(index, mainPort, &ignored);
        }
    }
}

// ---- events, on the I/O thread with the lock held ----

void ModuleServer::dispatch(std::uint64_t id, Endpoint& e, std::uint32_t events) {
    switch (e.kind) {
    case EndpointKind::Wake:
        break;  // the reactor drains its own wake-up
    case EndpointKind::UdpModule:
        receiveUdp(e);
        break;
    case EndpointKind::UdpWildcard:
        receiveBroadcast(e);
        break;
    case EndpointKind::MainListener:
    case EndpointKind::SerialListener:
        accept(e);
        break;
    case EndpointKind::MainConnection:
    case EndpointKind::SerialConnection:
        if ((events & EPOLLOUT) != 0) {
            PumpAnswers(reactor_, id);
            if (reactor_.find(id) == nullptr)
                return;
        }
        if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0)
            receiveTcp(id, e);
        break;
    case EndpointKind::Pty:
        receivePty(e);
        break;
    }
}

// ---- UDP ----

void ModuleServer::receiveUdp(const Endpoint& e) {
    std::uint8_t buffer[2048];
    for (;;) {
        sockaddr_in from{};
        const ssize_t n = ReceiveDatagram(e.fd.get(), buffer, &from);
        if (n < 0)
            return;
        handleDatagram(e.module, std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)), from);
    }
}

void ModuleServer::receiveBroadcast(const Endpoint& e) {
    std::uint8_t buffer[2048];
    const std::uint16_t port = LocalPort(e.fd.get());
    for (;;) {
        sockaddr_in from{};
        in_addr destination{};
        const ssize_t n = ReceiveDatagram(e.fd.get(), buffer, &from, &destination);
        if (n < 0)
            return;
        const auto bytes = std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n));
        for (std::size_t i = 0; i < modules_.size(); ++i) {
            const EmulatedModule& m = *modules_[i];
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

// A datagram may carry several packets, each answered in turn. A packet that cannot
// be framed ends the datagram, since nothing behind it can be found.
void ModuleServer::handleDatagram(std::size_t index, std::span<const std::uint8_t> bytes, const sockaddr_in& from) {
    EmulatedModule& m = *modules_[index];
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

void ModuleServer::sendUdpAnswer(std::size_t index, std::vector<std::uint8_t> answer, bool isRead,
                                 const sockaddr_in& to) {
    EmulatedModule& m = *modules_[index];
    UdpDelivery delivery = ShapeUdpAnswer(m.faults, std::move(answer), isRead, m.model.counters.udpFaults);
    if (delivery.datagrams.empty())
        return;
    // The socket is looked up by id when the answer goes, not held, so that a
    // delayed answer can never write to a descriptor that was closed meanwhile.
    const std::uint64_t socketId = m.udpId;
    auto send = [this, index, socketId, to, datagrams = std::move(delivery.datagrams)] {
        Endpoint* e = reactor_.find(socketId);
        if (e == nullptr)
            return;
        for (const auto& d : datagrams)
            if (::sendto(e->fd.get(), d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
                static_cast<ssize_t>(d.size()))
                ++modules_[index]->model.counters.udpAnswersSent;
    };
    if (delivery.delay > std::chrono::milliseconds(0))
        reactor_.at(Clock::now() + delivery.delay, std::move(send));
    else
        send();
}

// ---- TCP ----

void ModuleServer::accept(const Endpoint& listener) {
    const std::size_t index = listener.module;
    const bool mainPort = listener.kind == EndpointKind::MainListener;
    for (;;) {
        UniqueFd fd(::accept4(listener.fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd)
            return;
        EmulatedModule& m = *modules_[index];
        Counters& c = m.model.counters;
        ++(mainPort ? c.mainConnections : c.serialConnections);
        if (ClosesOnAccept(m.faults, mainPort)) {
            ++PortFaultCounters(c, mainPort).acceptedThenClosed;
            continue;  // fd closes here
        }
        reactor_.add(mainPort ? EndpointKind::MainConnection : EndpointKind::SerialConnection, index, std::move(fd),
                     EPOLLIN);
    }
}

void ModuleServer::receiveTcp(std::uint64_t id, Endpoint& e) {
    std::uint8_t buffer[65536];
    const ssize_t n = ::recv(e.fd.get(), buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        reactor_.close(id);
        return;
    }
    if (n < 0)
        return;
    const auto bytes = std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n));
    if (e.kind == EndpointKind::MainConnection)
        receiveMain(id, e, bytes);
    else
        receiveSerial(id, e, bytes);
}

void ModuleServer::receiveMain(std::uint64_t id, Endpoint& e, std::span<const std::uint8_t> bytes) {
    const std::size_t index = e.module;
    EmulatedModule& m = *modules_[index];
    Counters& c = m.model.counters;
    const auto frames = e.assembler.feed(bytes);
    for (const auto& [frame, raw] : frames) {
        ++c.mainPackets;
        if (m.requests.size() < kMaxRecordedPackets)
            m.requests.push_back(raw);
    }
    if (e.assembler.broken()) {
        reactor_.close(id);
        return;
    }
    if (frames.empty())
        return;
    if (!e.pending.empty() || e.held)
        ++c.mainRequestsWhileAnswerPending;
    if (ClosesOnRequest(m.faults, true)) {
        ++c.mainFaults.closedOnRequest;
        reactor_.close(id);
        return;
    }
    MainAnswer answer;
    for (const auto& [frame, raw] : frames)
        AnswerMainPacket(m.model, frame, seconds(), answer);
    respond(id, std::move(answer.frames));
    if (answer.reset)
        reset(index, id);
}

void ModuleServer::receiveSerial(std::uint64_t id, Endpoint& e, std::span<const std::uint8_t> bytes) {
    EmulatedModule& m = *modules_[e.module];
    Counters& c = m.model.counters;
    c.serialBytesReceived += bytes.size();
    if (m.serial.size() + bytes.size() <= kMaxRecordedSerialBytes)
        m.serial.insert(m.serial.end(), bytes.begin(), bytes.end());
    if (ClosesOnRequest(m.faults, false)) {
        ++c.serialFaults.closedOnRequest;
        reactor_.close(id);
        return;
    }
    if (Endpoint* pty = reactor_.find(m.ptyId)) {
        // The program at the other end of the terminal answers, not the emulator.
        [[maybe_unused]] const auto w = ::write(pty->fd.get(), bytes.data(), bytes.size());
        return;
    }
    respond(id, {std::vector<std::uint8_t>(bytes.begin(), bytes.end())});
}

// What the program at the other end of the terminal writes goes to every serial
// connection of the module, as a real serial line reaches every listener.
void ModuleServer::receivePty(const Endpoint& e) {
    std::uint8_t buffer[4096];
    const ssize_t n = ::read(e.fd.get(), buffer, sizeof buffer);
    if (n <= 0)
        return;
    const std::vector<std::uint8_t> bytes(buffer, buffer + n);
    const std::size_t index = e.module;
    const auto targets = reactor_.idsWhere([index](std::uint64_t, const Endpoint& other) {
        return other.kind == EndpointKind::SerialConnection && other.module == index;
    });
    for (const auto id : targets)
        respond(id, {bytes});
}

// Sends one response through the faults that are set for its port.
void ModuleServer::respond(std::uint64_t id, std::vector<std::vector<std::uint8_t>> frames) {
    Endpoint* e = reactor_.find(id);
    if (e == nullptr || frames.empty())
        return;
    EmulatedModule& m = *modules_[e->module];
    const bool mainPort = e->kind == EndpointKind::MainConnection;
    Counters& c = m.model.counters;
    const auto now = Clock::now();
    auto sends = ShapeTcpResponse(m.faults, mainPort, std::move(frames), e->held, PortFaultCounters(c, mainPort));
    if (mainPort && !sends.empty())
        ++c.mainResponsesSent;
    for (auto& s : sends)
        QueueAnswer(reactor_, id, std::move(s.bytes), now + s.after);
}

// A restart: every TCP connection of the module goes; the one that asked for it
// first receives its answer.
void ModuleServer::reset(std::size_t index, std::uint64_t askingId) {
    const auto others = reactor_.idsWhere([index, askingId](std::uint64_t id, const Endpoint& e) {
        return IsConnection(e.kind) && e.module == index && id != askingId;
    });
    for (const auto id : others)
        reactor_.close(id);
    if (Endpoint* e = reactor_.find(askingId)) {
        e->held.reset();
        CloseWhenFlushed(reactor_, askingId);
    }
}

}  // namespace netpod::emu
