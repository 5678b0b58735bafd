#include "transport/ethernet_com.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace netpod {
namespace {

// While the attempt runs the socket is watched for writability, which is how a
// finished non-blocking connect shows itself; afterwards only for data and hang-ups.
constexpr std::uint32_t kConnectingEvents = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
constexpr std::uint32_t kConnectedEvents = EPOLLIN | EPOLLRDHUP;

bool IsWouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

}  // namespace

CEthernetCom::CEthernetCom(std::string ipText, std::int32_t port, TransportDataCallback dataCallback, void* dataContext,
                           TransportEventCallback eventCallback, void* eventContext, TransportReporter report)
    : ipText_(std::move(ipText)),
      port_(port),
      dataCallback_(dataCallback),
      dataContext_(dataContext),
      eventCallback_(eventCallback),
      eventContext_(eventContext),
      report_(report),
      loop_(NotificationLoop::Acquire()) {
    loopId_ = loop_->Register(this);
    try {
        // Only a dotted address is accepted: the transport never looks a name up.
        sockaddr_in address{};
        address.sin_family = AF_INET;
        const bool addressValid =
            inet_pton(AF_INET, ipText_.c_str(), &address.sin_addr) == 1 && port_ > 0 && port_ <= 65535;
        address.sin_port = htons(static_cast<std::uint16_t>(port_));

        int fd = addressValid ? socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0) : -1;
        if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
            errno != EINPROGRESS) {
            close(fd);
            fd = -1;
        }
        if (fd >= 0) {
            // Set before the socket is watched, so that the notification thread's 1 or 2
            // can only come after it. A connect that completed at once is reported the
            // same way, from the notification thread, once the socket shows writable.
            comState_.store(kComConnecting);
            {
                std::lock_guard lock(sendMutex_);
                fd_ = fd;
            }
            if (loop_->Watch(loopId_, fd, kConnectingEvents))
                return;
        }
        // The attempt failed before the socket could say anything (a malformed address,
        // no descriptor left, connect refused on the spot): it is still reported as an
        // error notification, later and from the notification thread.
        attemptFailedEarly_.store(true);
        loop_->Post(loopId_);
    } catch (...) {
        loop_->Unregister(loopId_);
        if (fd_ >= 0)
            close(fd_);
        throw;
    }
}

CEthernetCom::~CEthernetCom() {
    Close();
}

void CEthernetCom::Close() {
    {
        std::unique_lock lock(closeMutex_);
        if (closeStarted_) {
            // A Close() from the event 0 callback of the close in progress on this very
            // thread must not wait for itself.
            if (closingThread_ != std::this_thread::get_id())
                closeFinished_.wait(lock, [&] { return closeDone_; });
            return;
        }
        closeStarted_ = true;
        closingThread_ = std::this_thread::get_id();
    }
    closing_.store(true);
    comState_.store(kComClosedByLibrary);
    {
        // Taking the lock waits for a send in progress; none begins afterwards.
        std::lock_guard lock(sendMutex_);
        sendActive_ = false;
    }
    // Waits for a notification of this transport in progress, unless this is the
    // notification thread (a close from a callback).
    loop_->Unregister(loopId_);

    // The loop has let go of the transport: its notification-thread fields are ours.
    const bool wasConnected = connected_;
    connected_ = false;
    attemptPending_ = false;
    ReleaseSocket();
    if (wasConnected) {
        // Closing an open connection is a disconnection like any other, reported on
        // this thread because the notification thread no longer serves the transport.
        comState_.store(kComNotConnected);
        ReportEvent(kComNotConnected);
    } else {
        // A notification that was running when Close() began may have stored 1 or 2
        // over the 4.
        comState_.store(kComClosedByLibrary);
    }
    {
        std::lock_guard lock(closeMutex_);
        closeDone_ = true;
    }
    closeFinished_.notify_all();
}

bool CEthernetCom::SendData(const std::uint8_t* bytes, std::int32_t length, std::optional<SendRefusal>* refusal) {
    const auto refuse = [&](SendRefusal why) {
        if (refusal != nullptr)
            *refusal = why;
        else if (report_ != nullptr)
            report_(why, ipText_);
        return false;
    };
    bool active = false;
    bool broke = false;
    ssize_t sent = -1;
    {
        std::lock_guard lock(sendMutex_);
        active = sendActive_;
        // A negative length or a missing buffer sends nothing and counts as a block
        // that could not be sent whole.
        if (active && length > 0 && bytes != nullptr) {
            sent = send(fd_, bytes, static_cast<std::size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0 && !IsWouldBlock(errno)) {
                // The connection is broken: no further send may touch it, and the
                // notification thread reports it (2, then 0) in the order it reports
                // everything else.
                sendActive_ = false;
                broke = true;
            }
        }
    }
    if (!active)
        return refuse(SendRefusal::NotActive);
    if (length == 0)
        return true;
    if (broke) {
        sendBroke_.store(true);
        loop_->Post(loopId_);
    }
    if (length < 0 || bytes == nullptr || sent != length)
        return refuse(SendRefusal::Incomplete);
    return true;
}

bool CEthernetCom::GetData(std::uint8_t* destination, std::int32_t* length) {
    if (length == nullptr)
        return true;
    std::int32_t wanted = destination == nullptr ? 0 : std::max<std::int32_t>(*length, 0);
    std::lock_guard lock(dataMutex_);
    wanted = std::min(wanted, receivedCount_);
    if (wanted > 0)
        std::memcpy(destination, receivedData_.get(), static_cast<std::size_t>(wanted));
    *length = wanted;
    return true;
}

// Every handler below returns at once when context.targetRemoved is set after a
// callback: the application has then closed (perhaps destroyed) this transport from
// inside the callback, and no member may be touched any more.
void CEthernetCom::OnNotification(std::uint32_t readyEvents, DispatchContext& context) {
    if (closing_.load())
        return;
    if (attemptPending_) {
        if (readyEvents != 0 || attemptFailedEarly_.load())
            FinishConnectAttempt();
        return;
    }
    if (!connected_)
        return;
    if (sendBroke_.exchange(false)) {
        BreakConnection(context);
        return;
    }
    if (readyEvents != 0)
        ReadBatch(context);
}

void CEthernetCom::FinishConnectAttempt() {
    int error = 0;
    if (attemptFailedEarly_.load()) {
        error = ECONNREFUSED;
    } else {
        socklen_t size = sizeof error;
        if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            error = errno;
    }
    attemptPending_ = false;
    if (error == 0 && loop_->Watch(loopId_, fd_, kConnectedEvents)) {
        {
            std::lock_guard lock(sendMutex_);
            sendActive_ = true;
        }
        connected_ = true;
        SetStateUnlessClosing(kComConnected);
        ReportEvent(kComConnected);
        return;
    }
    // A failed attempt is reported once and never retried.
    ReleaseSocket();
    SetStateUnlessClosing(kComError);
    ReportEvent(kComError);
}

void CEthernetCom::ReadBatch(DispatchContext& context) {
    ssize_t received = 0;
    int error = 0;
    {
        std::lock_guard lock(dataMutex_);
        // The batch replaces the previous one in the fixed buffer; at most 65000 bytes
        // are taken, the rest stays in the socket, which therefore stays readable and
        // brings the next notification.
        received = recv(fd_, receivedData_.get(), static_cast<std::size_t>(kMaxReceivedBatch), MSG_DONTWAIT);
        error = errno;
        if (received > 0)
            receivedCount_ = static_cast<std::int32_t>(received);
        else if (received < 0 && error != EINTR && IsWouldBlock(error))
            receivedCount_ = 0;
    }
    if (received > 0) {
        if (dataCallback_ != nullptr)
            dataCallback_(dataContext_,
                          std::span<const std::uint8_t>(receivedData_.get(), static_cast<std::size_t>(received)), this);
        return;
    }
    if (received == 0) {
        // Readable with nothing to read: the other side closed the connection. The
        // latest batch stays available to GetData().
        LoseConnection();
        return;
    }
    if (IsWouldBlock(error))
        return;
    BreakConnection(context);
}

void CEthernetCom::BreakConnection(DispatchContext& context) {
    {
        std::lock_guard lock(sendMutex_);
        sendActive_ = false;
    }
    SetStateUnlessClosing(kComError);
    ReportEvent(kComError);
    if (context.targetRemoved)
        return;
    LoseConnection();
}

void CEthernetCom::LoseConnection() {
    ReleaseSocket();
    connected_ = false;
    SetStateUnlessClosing(kComNotConnected);
    ReportEvent(kComNotConnected);
}

void CEthernetCom::ReleaseSocket() {
    loop_->StopWatching(loopId_);
    std::lock_guard lock(sendMutex_);
    sendActive_ = false;
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

void CEthernetCom::SetStateUnlessClosing(std::int32_t state) {
    // Once Close() has stored its 4, a notification finishing meanwhile must not
    // overwrite it: the compare-exchange fails against the 4 and the retry sees
    // closing_.
    std::int32_t current = comState_.load();
    do {
        if (closing_.load())
            return;
    } while (!comState_.compare_exchange_weak(current, state));
}

void CEthernetCom::ReportEvent(std::int32_t stateCode) {
    if (eventCallback_ != nullptr)
        eventCallback_(eventContext_, stateCode, this);
}

}  // namespace netpod
