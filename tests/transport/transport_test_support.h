// Loopback peers and a callback recorder for the transport tests.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "connection/com_management.h"
#include "diagnostics/error_log.h"
#include "transport/ethernet_com.h"

namespace netpod::test {

using namespace std::chrono_literals;

// A socket bound to a random 127.x.y.z address and a port of the kernel's choice, so
// that tests running side by side never meet. Listening or not, as asked: a bound
// socket that does not listen answers every connection attempt with a refusal.
class LoopbackEndpoint {
public:
    explicit LoopbackEndpoint(bool listen) {
        std::random_device random;
        for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
            const unsigned value = random();
            ip_ = "127." + std::to_string(1 + value % 254) + "." + std::to_string((value >> 8) % 256) + "." +
                  std::to_string(1 + (value >> 16) % 254);
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            inet_pton(AF_INET, ip_.c_str(), &address.sin_addr);
            if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                (!listen || ::listen(fd, 4096) == 0)) {
                socklen_t size = sizeof address;
                getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
                port_ = ntohs(address.sin_port);
                fd_ = fd;
            } else {
                close(fd);
            }
        }
    }
    ~LoopbackEndpoint() {
        if (fd_ >= 0)
            close(fd_);
    }
    LoopbackEndpoint(const LoopbackEndpoint&) = delete;
    LoopbackEndpoint& operator=(const LoopbackEndpoint&) = delete;

    // The next connection, or -1 when none comes within `timeout`.
    int Accept(std::chrono::milliseconds timeout = 5000ms) const {
        pollfd waiting{fd_, POLLIN, 0};
        if (poll(&waiting, 1, static_cast<int>(timeout.count())) != 1)
            return -1;
        return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }

    const std::string& ip() const { return ip_; }
    std::int32_t port() const { return port_; }

private:
    int fd_ = -1;
    std::string ip_;
    std::int32_t port_ = 0;
};

// Reads from a peer socket until `count` bytes came or `timeout` passed.
inline std::vector<std::uint8_t> ReadFromPeer(int fd, std::size_t count, std::chrono::milliseconds timeout = 5000ms) {
    std::vector<std::uint8_t> bytes;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::uint8_t buffer[4096];
    while (bytes.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd waiting{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&waiting, 1, static_cast<int>(left.count())) != 1)
            break;
        const ssize_t got = recv(fd, buffer, std::min(sizeof buffer, count - bytes.size()), 0);
        if (got <= 0)
            break;
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
}

inline void SendFromPeer(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0)
            return;
        done += static_cast<std::size_t>(sent);
    }
}

// Records every callback of the transports it is handed to, with the thread each ran
// on. The data callback fetches the batch with GetData from inside the callback, the
// way the owner of a transport does.
class Recorder {
public:
    struct Entry {
        bool isEvent;
        std::int32_t value;   // state code or byte count
        std::thread::id thread;
        CEthernetCom* transport;
        std::vector<std::uint8_t> bytes;   // the batch, for data entries
    };

    static void OnData(void* context, std::span<const std::uint8_t> batch, CEthernetCom* transport) {
        auto* self = static_cast<Recorder*>(context);
        const auto count = static_cast<std::int32_t>(batch.size());
        // What GetData() returns is the batch the callback was handed.
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(kMaxReceivedBatch) + 1);
        std::int32_t length = static_cast<std::int32_t>(bytes.size());
        transport->GetData(bytes.data(), &length);
        bytes.resize(static_cast<std::size_t>(length));
        if (!std::equal(bytes.begin(), bytes.end(), batch.begin(), batch.end()))
            bytes.clear();
        self->Add(Entry{false, count, std::this_thread::get_id(), transport, std::move(bytes)});
        if (self->onData)
            self->onData();
    }
    static void OnEvent(void* context, std::int32_t code, CEthernetCom* transport) {
        auto* self = static_cast<Recorder*>(context);
        self->Add(Entry{true, code, std::this_thread::get_id(), transport, {}});
        if (self->onEvent)
            self->onEvent(code, transport);
    }

    std::unique_ptr<CEthernetCom> Open(const std::string& ip, std::int32_t port) {
        return std::make_unique<CEthernetCom>(ip, port, &OnData, this, &OnEvent, this, &ReportSendRefusal);
    }

    // True once `predicate` holds over the entries, false after `timeout`.
    bool WaitFor(const std::function<bool(const std::vector<Entry>&)>& predicate,
                 std::chrono::milliseconds timeout = 5000ms) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return predicate(entries_); });
    }
    bool WaitForEvents(std::size_t count, std::chrono::milliseconds timeout = 5000ms) {
        return WaitFor([&](const auto&) { return EventCodesLocked().size() >= count; }, timeout);
    }

    std::vector<std::int32_t> EventCodes() {
        std::lock_guard lock(mutex_);
        return EventCodesLocked();
    }
    std::vector<Entry> Entries() {
        std::lock_guard lock(mutex_);
        return entries_;
    }

    // Run inside the callbacks, after the entry has been recorded.
    std::function<void(std::int32_t code, CEthernetCom* transport)> onEvent;
    std::function<void()> onData;

private:
    void Add(Entry entry) {
        // Notified under the lock, so that a waiter that returns and destroys the
        // recorder cannot meet a notification still in progress.
        std::lock_guard lock(mutex_);
        entries_.push_back(std::move(entry));
        changed_.notify_all();
    }
    std::vector<std::int32_t> EventCodesLocked() const {
        std::vector<std::int32_t> codes;
        for (const auto& entry : entries_)
            if (entry.isEvent)
                codes.push_back(entry.value);
        return codes;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Entry> entries_;
};

// The number of entries of a /proc/self folder: open descriptors or threads.
inline int CountEntries(const char* folder) {
    int count = 0;
    if (DIR* dir = opendir(folder)) {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                ++count;
        closedir(dir);
    }
    return count;
}

}  // namespace netpod::test
