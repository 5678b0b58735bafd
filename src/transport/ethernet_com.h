// CEthernetCom: the non-blocking TCP client of one connection, a raw byte pipe with
// connection-state notifications.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "transport/notification_loop.h"

namespace netpod {

class CEthernetCom;

// Both callbacks run on the notification thread, one notification of a transport at
// a time; the one exception is the event 0 that Close() reports on the closing thread.
// The data callback receives the batch itself, valid for the duration of the call;
// the same bytes stay available to GetData() until the next batch.
using TransportDataCallback = void (*)(void* context, std::span<const std::uint8_t> batch, CEthernetCom* transport);
using TransportEventCallback = void (*)(void* context, std::int32_t stateCode, CEthernetCom* transport);

// Why the transport refused a send.
enum class SendRefusal {
    NotActive,   // the connection is not up (not yet, or no longer)
    Incomplete,  // not every byte was accepted (or the block itself was invalid)
};
// Where the transport reports a send it refused, with its IP text. The transport
// never writes the error log itself: its owner turns the refusal into an entry.
using TransportReporter = void (*)(SendRefusal refusal, std::string_view ipText);

// The ComState codes.
inline constexpr std::int32_t kComNotConnected = 0;
inline constexpr std::int32_t kComConnected = 1;
inline constexpr std::int32_t kComError = 2;
inline constexpr std::int32_t kComConnecting = 3;
inline constexpr std::int32_t kComClosedByLibrary = 4;

// The largest batch one data notification reads; the rest waits in the socket for
// the next notification.
inline constexpr std::int32_t kMaxReceivedBatch = 65000;

// One object per connection. The constructor starts the connection attempt; its
// outcome, and everything after it, arrives through the callbacks, which are
// therefore taken by the constructor: a notification may come at any time after the
// attempt has started. The transport never retries and never reconnects.
class CEthernetCom final : private NotificationTarget {
public:
    // `ipText` is a dotted IPv4 address (no host-name lookup). Either callback may be
    // null. Never fails on network grounds: an address that cannot be connected to is
    // reported later as event 2.
    CEthernetCom(std::string ipText, std::int32_t port, TransportDataCallback dataCallback, void* dataContext,
                 TransportEventCallback eventCallback, void* eventContext, TransportReporter report);
    ~CEthernetCom();  // Close()
    CEthernetCom(const CEthernetCom&) = delete;
    CEthernetCom& operator=(const CEthernetCom&) = delete;

    // Stops every notification of this transport and closes the socket. When the
    // connection was up (event 1 reported, no event 0 yet), reports event 0 on the
    // calling thread before returning and leaves ComState 0; otherwise leaves 4 and
    // reports nothing. After Close() has returned no callback of this transport runs
    // and no send is made. A second call does nothing.
    void Close();

    // Sends the block unchanged with one socket call. False when the connection is not
    // up or when not every byte was accepted: the refusal goes to the reporter, or,
    // given `refusal`, is returned there instead (for a caller that must not wait for
    // the reporter where it stands). A hard send
    // failure also reports the connection as broken (event 2, then event 0) from the
    // notification thread.
    bool SendData(const std::uint8_t* bytes, std::int32_t length, std::optional<SendRefusal>* refusal = nullptr);

    // Copies the start of the latest received batch: *length is lowered to the
    // batch's size when larger (and raised to 0 when negative). The batch is not
    // consumed. Always true.
    bool GetData(std::uint8_t* destination, std::int32_t* length);

    std::int32_t ComState() const { return comState_.load(); }
    const std::string& IPText() const { return ipText_; }

private:
    void OnNotification(std::uint32_t readyEvents, DispatchContext& context) override;
    void FinishConnectAttempt();
    void ReadBatch(DispatchContext& context);
    void BreakConnection(DispatchContext& context);
    void LoseConnection();
    void ReleaseSocket();
    void SetStateUnlessClosing(std::int32_t state);
    void ReportEvent(std::int32_t stateCode);

    const std::string ipText_;
    const std::int32_t port_;
    const TransportDataCallback dataCallback_;
    void* const dataContext_;
    const TransportEventCallback eventCallback_;
    void* const eventContext_;
    const TransportReporter report_;

    // The loop that runs this transport's notifications, and this transport's id in it.
    std::shared_ptr<NotificationLoop> loop_;
    std::uint64_t loopId_ = 0;

    // Written by the notification thread and by Close(); read by anyone.
    std::atomic<std::int32_t> comState_{kComNotConnected};
    // Set first thing by Close() (any thread); read by the notification thread, which
    // starts no callback of this transport once it is set.
    std::atomic<bool> closing_{false};

    // Written and read on the notification thread only, until Close() has taken the
    // transport out of the loop; Close() then reads them.
    bool attemptPending_ = true;  // the outcome of the connection attempt is not reported yet
    bool connected_ = false;      // event 1 reported and event 0 not yet

    // Set by the constructor when the attempt failed before the socket could report
    // anything, and by SendData() after a hard send failure; taken by the
    // notification thread, which reports them.
    std::atomic<bool> attemptFailedEarly_{false};
    std::atomic<bool> sendBroke_{false};

    // Guards the socket against a send racing its close. fd_ is written under it (by
    // the constructor, the notification thread and Close()); SendData() uses fd_ only
    // under it and only while sendActive_. The notification thread reads fd_ without
    // it, which is safe because only that thread (or Close(), once the loop has let
    // go of the transport) changes it.
    std::mutex sendMutex_;
    int fd_ = -1;
    bool sendActive_ = false;  // from just before event 1 until the connection ends or Close()

    // Guards the latest batch. Written by the notification thread, read by GetData()
    // on any thread; never held while a callback runs, so GetData() works from inside
    // the data callback.
    std::mutex dataMutex_;
    std::int32_t receivedCount_ = 0;
    // Not filled with zeros: only the bytes a batch really brings are ever written,
    // so a connection whose answers are small keeps most of it out of memory.
    const std::unique_ptr<std::uint8_t[]> receivedData_ =
        std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(kMaxReceivedBatch));

    // Makes concurrent Close() calls wait for the first one; written under it.
    std::mutex closeMutex_;
    std::condition_variable closeFinished_;
    bool closeStarted_ = false;
    bool closeDone_ = false;
    std::thread::id closingThread_;
};

}  // namespace netpod
