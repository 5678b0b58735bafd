#include "library_client.h"

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "wire.h"

namespace scalebench {
namespace {

// What the callbacks see; they run on the library's notification thread (Com_Event 0
// on the closing thread). Written there, read by the benchmark's main thread.
struct Observations {
    std::atomic<std::uint64_t> answers{0};
    std::atomic<std::uint64_t> faults{0};
    std::atomic<std::uint64_t> connected{0};
    std::atomic<std::uint64_t> socketErrors{0};
    std::atomic<AnswerLog*> log{nullptr};

    // An on-demand read waiting for its answer. The lock is taken only while one
    // waits, so that polling answers cost no more than the raw client's counting.
    std::atomic<bool> readWaiting{false};
    std::mutex mutex;
    std::condition_variable answered;
    std::uint64_t sequence = 0;  // answers seen while a read waited; under mutex
    bool typeDecoded = false;    // the latest of them carried TYPE 8.2; under mutex
};

Observations gSeen;

bool CarriesPeerValues(const RegisterValues& v, bool* typeDecoded) {
    *typeDecoded = v.TypeValid && v.TypeHigh == wire::kPeerTypeHigh && v.TypeLow == wire::kPeerTypeLow;
    if (v.TypeValid)
        return *typeDecoded;
    if (!v.InputsValid)
        return false;
    for (int k = 0; k < 16; ++k)
        if (v.Inputs[k] != (((wire::kPeerInputs >> k) & 1u) != 0))
            return false;
    return true;
}

void OnData(RegisterValues* values, ComID) {
    bool typeDecoded = false;
    if (values != nullptr && CarriesPeerValues(*values, &typeDecoded)) {
        gSeen.answers.fetch_add(1, std::memory_order_relaxed);
        if (AnswerLog* log = gSeen.log.load(std::memory_order_relaxed))
            log->record();
    } else {
        gSeen.faults.fetch_add(1);
    }
    if (gSeen.readWaiting.load()) {
        {
            std::lock_guard lock(gSeen.mutex);
            ++gSeen.sequence;
            gSeen.typeDecoded = typeDecoded;
        }
        gSeen.answered.notify_one();
    }
}

void OnEvent(std::int32_t code, ComID) {
    if (code == 1)
        gSeen.connected.fetch_add(1);
    else if (code == 2)
        gSeen.socketErrors.fetch_add(1);
}

}  // namespace

std::string LibraryLastError() {
    char text[512];
    std::int32_t length = sizeof text;
    Qorvi_NETPOD_GetLastError(text, &length);
    std::string s(text, static_cast<std::size_t>(std::max<std::int32_t>(0, length)));
    for (char& c : s)
        if (c == '\t')
            c = ' ';
    return s;
}

LibraryFleet::LibraryFleet()
    : answersBefore_(gSeen.answers.load()), faultsBefore_(gSeen.faults.load() + gSeen.socketErrors.load()) {}

LibraryFleet::~LibraryFleet() {
    close();
}

bool LibraryFleet::open(const std::string& address, std::size_t count, std::string* error) {
    in_addr a{};
    if (inet_pton(AF_INET, address.c_str(), &a) != 1) {
        *error = "bad address " + address;
        return false;
    }
    const auto* b = reinterpret_cast<const unsigned char*>(&a.s_addr);
    const std::int32_t ip[4] = {b[0], b[1], b[2], b[3]};
    const std::uint64_t before = gSeen.connected.load();
    for (std::size_t i = 0; i < count; ++i) {
        ComID com = nullptr;
        if (!Qorvi_NETPOD_OpenConnection_MAINPORT(ip, &OnData, &OnEvent, &com)) {
            *error = "open " + std::to_string(i + 1) + " of " + std::to_string(count) + ": " + LibraryLastError();
            return false;
        }
        connections_.push_back(com);
    }
    // Connecting is quick on loopback; the bound only keeps a broken run finite.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (gSeen.connected.load() - before < count) {
        if (std::chrono::steady_clock::now() >= deadline) {
            *error = std::to_string(gSeen.connected.load() - before) + " of " + std::to_string(count) +
                     " connections connected within 10 s";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool LibraryFleet::startAsk(int periodMs, AnswerLog* log, std::string* error) {
    gSeen.log.store(log);
    for (ComID com : connections_) {
        if (!Qorvi_NETPOD_Read_INPUTS(true, com) || !Qorvi_NETPOD_RepetitiveAskSetTime(periodMs, com) ||
            !Qorvi_NETPOD_RepetitiveAskStart(com)) {
            *error = "repetitive ask: " + LibraryLastError();
            return false;
        }
    }
    return true;
}

void LibraryFleet::stopAsk() {
    for (ComID com : connections_)
        Qorvi_NETPOD_RepetitiveAskStop(com);
    gSeen.log.store(nullptr);
}

void LibraryFleet::close() {
    for (ComID& com : connections_)
        Qorvi_NETPOD_CloseConnection(&com);
    connections_.clear();
    gSeen.log.store(nullptr);
}

bool LibraryFleet::readType() {
    if (connections_.empty())
        return false;
    ComID com = connections_.front();
    std::uint64_t before = 0;
    {
        std::lock_guard lock(gSeen.mutex);
        before = gSeen.sequence;
    }
    gSeen.readWaiting.store(true);
    const bool sent = Qorvi_NETPOD_Read_TYPE(com) && Qorvi_NETPOD_SendData_MAINPORT(com);
    std::unique_lock lock(gSeen.mutex);
    const bool arrived =
        sent && gSeen.answered.wait_for(lock, std::chrono::seconds(1), [&] { return gSeen.sequence != before; });
    gSeen.readWaiting.store(false);
    return arrived && gSeen.typeDecoded;
}

std::uint64_t LibraryFleet::answers() const {
    return gSeen.answers.load() - answersBefore_;
}

std::uint64_t LibraryFleet::faults() const {
    return gSeen.faults.load() + gSeen.socketErrors.load() - faultsBefore_;
}

}  // namespace scalebench
