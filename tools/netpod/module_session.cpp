#include "module_session.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "report.h"

namespace netpod::tool {
namespace {

constexpr std::size_t kMaxQueuedAnswers = 1024;
constexpr int32_t kSerialFetchCapacity = 65536;  // the library keeps at most 65000 bytes of one batch
constexpr auto kStopPollInterval = std::chrono::milliseconds(100);

// What the callbacks hand to the main thread.
struct Inbox {
    std::mutex mutex;
    std::condition_variable changed;
    // Written by the callbacks on the library's notification thread (Com_Event 0 of a
    // close also on the closing main thread), read by the main thread; all under
    // `mutex`.
    int lastEvent = -1;                  // the latest Com_Event code, -1 before any
    std::deque<RegisterValues> answers;  // copies of the answers not yet taken
    std::vector<uint8_t> serialBytes;    // serial bytes not yet taken
};

Inbox& TheInbox() {
    // Never destroyed: a callback of a connection that the process is tearing down
    // must still find it.
    static Inbox* inbox = new Inbox;
    return *inbox;
}

// Written by the signal handler, read by the main thread.
std::atomic<bool> gStopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "used from a signal handler");

void OnMainportData(RegisterValues* values, ComID /*com*/) {
    Inbox& inbox = TheInbox();
    {
        std::lock_guard lock(inbox.mutex);
        if (inbox.answers.size() >= kMaxQueuedAnswers)
            inbox.answers.pop_front();
        inbox.answers.push_back(*values);
    }
    inbox.changed.notify_all();
}

void OnComEvent(int32_t code, ComID /*com*/) {
    Inbox& inbox = TheInbox();
    {
        std::lock_guard lock(inbox.mutex);
        inbox.lastEvent = code;
    }
    inbox.changed.notify_all();
}

void OnSerialData(int32_t /*length*/, ComID com) {
    // The library keeps only the latest batch, so it is fetched here, before the next
    // one can replace it. The count passed in is capped at 360; the fetch is not.
    std::vector<uint8_t> buffer(static_cast<std::size_t>(kSerialFetchCapacity));
    int32_t length = kSerialFetchCapacity;
    if (!Qorvi_NETPOD_GetData_RS232(buffer.data(), &length, com) || length <= 0)
        return;
    Inbox& inbox = TheInbox();
    {
        std::lock_guard lock(inbox.mutex);
        inbox.serialBytes.insert(inbox.serialBytes.end(), buffer.begin(), buffer.begin() + length);
    }
    inbox.changed.notify_all();
}

std::string DescribeAddress(const DottedQuad& a, ModuleSession::Port port) {
    return DottedText(a.data()) + (port == ModuleSession::Port::Main ? ":8010" : ":8000");
}

}  // namespace

std::string LibraryLastError() {
    char buffer[1024];
    int32_t length = sizeof buffer;
    Qorvi_NETPOD_GetLastError(buffer, &length);
    return ShowLibraryText(std::string_view(buffer, static_cast<std::size_t>(length > 0 ? length : 0)));
}

void RequestStop() { gStopRequested.store(true); }
bool StopRequested() { return gStopRequested.load(); }

std::unique_ptr<ModuleSession> ModuleSession::Open(const DottedQuad& address, Port port, int timeoutMs,
                                                   std::string& error) {
    Inbox& inbox = TheInbox();
    {
        std::lock_guard lock(inbox.mutex);
        inbox.lastEvent = -1;
        inbox.answers.clear();
        inbox.serialBytes.clear();
    }
    ComID com = nullptr;
    const bool opened = port == Port::Main
                            ? Qorvi_NETPOD_OpenConnection_MAINPORT(address.data(), OnMainportData, OnComEvent, &com)
                            : Qorvi_NETPOD_OpenConnection_RS232(address.data(), OnSerialData, OnComEvent, &com);
    if (!opened) {
        error = LibraryLastError();
        return nullptr;
    }
    // From here the session owns the connection and closes it on every path.
    std::unique_ptr<ModuleSession> session(new ModuleSession(com, timeoutMs));

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int event = -1;
    {
        std::unique_lock lock(inbox.mutex);
        while (inbox.lastEvent == -1 && !StopRequested() && std::chrono::steady_clock::now() < deadline)
            inbox.changed.wait_for(lock, kStopPollInterval);
        event = inbox.lastEvent;
    }
    if (event == 1 || Qorvi_NETPOD_GetStateCommunication(com) == 1)
        return session;
    if (event == 2)
        error = "socket error while connecting to " + DescribeAddress(address, port);
    else if (event == 0)
        error = DescribeAddress(address, port) + " closed the connection";
    else if (StopRequested())
        error = "interrupted";
    else
        error = "no connection to " + DescribeAddress(address, port) + " within " + std::to_string(timeoutMs) +
                " ms";
    return nullptr;
}

ModuleSession::~ModuleSession() {
    // Com_Event 0 runs on this thread inside the close; no lock is held here.
    Qorvi_NETPOD_CloseConnection(&com_);
}

bool ModuleSession::Connected() const {
    Inbox& inbox = TheInbox();
    std::lock_guard lock(inbox.mutex);
    return inbox.lastEvent == 1;
}

bool ModuleSession::Exchange(const std::function<bool(const RegisterValues&)>& complete, RegisterValues& answer,
                             std::string& error) {
    Inbox& inbox = TheInbox();
    {
        std::lock_guard lock(inbox.mutex);
        inbox.answers.clear();
    }
    if (!Qorvi_NETPOD_SendData_MAINPORT(com_)) {
        error = LibraryLastError();
        return false;
    }
    const auto timeout = std::chrono::milliseconds(timeoutMs_);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool gotPart = false;
    while (true) {
        RegisterValues next;
        if (!NextAnswer(next, std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now()),
                        error)) {
            if (error.starts_with("no answer"))
                error = gotPart ? "the module's answer was incomplete after " + std::to_string(timeoutMs_) + " ms"
                                : "no answer from the module within " + std::to_string(timeoutMs_) + " ms";
            return false;
        }
        gotPart = true;
        if (complete(next)) {
            answer = next;
            return true;
        }
    }
}

bool ModuleSession::NextAnswer(RegisterValues& answer, std::chrono::milliseconds timeout, std::string& error) {
    Inbox& inbox = TheInbox();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(inbox.mutex);
    while (true) {
        if (!inbox.answers.empty()) {
            answer = inbox.answers.front();
            inbox.answers.pop_front();
            return true;
        }
        if (inbox.lastEvent == 0 || inbox.lastEvent == 2) {
            error = inbox.lastEvent == 0 ? "the module closed the connection" : "socket error on the connection";
            return false;
        }
        if (StopRequested()) {
            error = "interrupted";
            return false;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            error = "no answer from the module within " +
                    std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count()) + " ms";
            return false;
        }
        inbox.changed.wait_for(lock, std::min<std::chrono::steady_clock::duration>(deadline - now, kStopPollInterval));
    }
}

std::vector<uint8_t> ModuleSession::TakeSerialBytes(std::chrono::milliseconds timeout) {
    Inbox& inbox = TheInbox();
    std::unique_lock lock(inbox.mutex);
    inbox.changed.wait_for(lock, timeout, [&] { return !inbox.serialBytes.empty() || inbox.lastEvent != 1; });
    std::vector<uint8_t> bytes;
    bytes.swap(inbox.serialBytes);
    return bytes;
}

}  // namespace netpod::tool
