// CComManagement: the state of one open connection. Its address is the ComID that
// the open exports hand to the application.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "diagnostics/error_log.h"
#include "protocol/request_builder.h"
#include "protocol/request_marks.h"
#include "protocol/response_analysis.h"
#include "protocol/udp_exchange_state.h"
#include "platform/event.h"
#include "qorvi_netpod.h"

namespace netpod {

class CEthernetCom;
class TThreadSend;
class TThreadSendContinuous;

class CComManagement {
public:
    // Copies the type and version that the open's own initial TYPE test detected,
    // creates the five events, then the repetitive-ask thread (suspended, its timer
    // already running) and the on-demand sender (running).
    explicit CComManagement(const DetectedModule& detected);
    // Stops and joins both sender threads, then destroys the transport if one is
    // still attached.
    ~CComManagement();
    CComManagement(const CComManagement&) = delete;
    CComManagement& operator=(const CComManagement&) = delete;

    // --- The transport -------------------------------------------------------------
    // Attaches the transport made by the open export.
    void AttachTransport(std::unique_ptr<CEthernetCom> transport);
    // Stops every send for good (none in progress once this returns), then destroys
    // the transport; a connected one reports Com_Event 0 on this thread meanwhile.
    void DestroyTransport();
    // Sends through the transport unless the connection is being closed. False with
    // the transport's own entry when it refuses; false without an entry when closing.
    bool SendThroughTransport(const std::uint8_t* bytes, std::int32_t length, bool* closing = nullptr);
    bool GetTransportData(std::uint8_t* destination, std::int32_t* length);
    std::int32_t TransportState();

    // Called by the open export once the handle is ready to be returned. Until then
    // the transport's notifications wait, so that the application always has the
    // handle before its callbacks see it (the wait lasts only to the end of the open).
    void Publish();

    // --- Request marks (exports on application threads, builders on sender threads)
    // Runs `mark` on the request marks under the marks lock, so that a mark set while
    // a packet is being built is either in that packet or kept for the next one.
    template <class Mark>
    void UpdateMarks(Mark&& mark) {
        std::lock_guard guard(marksMutex_);
        mark(marks_);
    }
    // Build the on-demand or the repetitive-ask request into `slots`, and return in
    // `writes` the Written flags of that exchange.
    void BuildOnDemandRequest(TxSlots& slots, ExchangeWrites& writes);
    void BuildRepetitiveRequest(TxSlots& slots, ExchangeWrites& writes);

    // --- Exchanges ------------------------------------------------------------------
    // At most one exchange is in flight on a connection, whichever sender made it and
    // whatever suspensions happened meanwhile: an exchange begins only once the one
    // before has ended. It ends when its last answer arrives (on the notification
    // thread, also while its sender is suspended), when its sender ends it (time-out,
    // failed send, dropped). An exchange of the repetitive-ask sender while that
    // sender is suspended is over for the others once no answer is awaited, or 3000 ms
    // after its last send: the sender drops it when resumed.
    enum class Sender { OnDemand, Repetitive };

    // Waits until no exchange is in flight, then
    // begins one for `slots`: resets the answer signals and counters, and stages
    // `writes` for the first answer. Returns the exchange's number, or 0 when
    // `giveUp` became true while waiting (checked every few milliseconds).
    std::uint64_t BeginExchange(Sender sender, const TxSlots& slots, const ExchangeWrites& writes,
                                const std::function<bool()>& giveUp);
    // Counts one more slot of exchange `id` as sent (before the send). False when
    // the exchange is no longer in flight: it ended or another took over.
    bool NoteSlotSending(std::uint64_t id);
    // Ends exchange `id` if it is still in flight; nothing otherwise.
    void EndExchange(std::uint64_t id);

    // --- Receive side (transport notifications; installed by the open export) ------
    static void MainportDataReceived(void* context, std::int32_t byteCount, CEthernetCom* transport);
    static void RS232DataReceived(void* context, std::int32_t byteCount, CEthernetCom* transport);
    static void ComEventReceived(void* context, std::int32_t stateCode, CEthernetCom* transport);

    // --- Fields ----------------------------------------------------------------------
    // Set by the open export before the handle is returned; read-only afterwards.
    std::int32_t ModuleType[2];
    std::int32_t ModuleVersion[4];
    std::string IPText;
    TData_Received_MAINPORT Data_Received_MAINPORT = nullptr;
    TData_Received_RS232 Data_Received_RS232 = nullptr;
    TCom_Event Com_Event = nullptr;

    // Exchange counters of the exchange in flight: written by the sender that holds
    // the exchange, read by MainportDataReceived on the notification thread.
    std::atomic<std::int32_t> NbPacket{0};
    std::atomic<std::int32_t> PacketIndex{0};
    // Gate of Qorvi_NETPOD_SendData_MAINPORT: cleared by that export, set by the
    // notification thread when an exchange's last answer arrived, and by the
    // on-demand sender when an exchange ends without one.
    std::atomic<bool> AnswerComplete{true};

    // Emptyings of the repetitive list (Qorvi_NETPOD_RepetitiveAskReset): a
    // repetitive-ask request built before one is stale and is not sent.
    std::atomic<std::uint64_t> RepetitiveListResets{0};

    // Set by the first close; a close started from inside Com_Event 0 of that very
    // close only clears the caller's handle.
    std::atomic<bool> CloseStarted{false};

    // Written only on the notification thread (and read by the application inside
    // Data_Received_MAINPORT on that same thread).
    RegisterValues Values{};

    // All auto-reset; HevSync (the exchange token) starts signalled. HevMultiplePacket
    // and HevAck hand answers to the on-demand sender; the repetitive-ask sender has
    // its own pair, so that neither can take an answer meant for the other.
    platform::Event HevMultiplePacket{false};
    platform::Event HevSync{true};
    platform::Event HevAck{false};
    platform::Event HevTimer{false};
    platform::Event HevNewSend{false};
    platform::Event HevMultiplePacketContinuous{false};
    platform::Event HevAckContinuous{false};

    std::unique_ptr<TThreadSendContinuous> ThreadSendContinuous;
    std::unique_ptr<TThreadSend> ThreadSend;

private:
    void HandleMainportData(CEthernetCom* transport);
    void WaitUntilPublished() { published_.wait(false); }

    std::mutex marksMutex_;            // guards marks_
    RequestMarks marks_{};             // written by exports, read and cleared by the builders

    // The exchange in flight, guarded by exchangeMutex_: begun and ended by the
    // senders, completed by the notification thread.
    std::mutex exchangeMutex_;
    std::condition_variable exchangeEnded_;
    std::uint64_t exchangeId_ = 0;                 // number of the latest exchange
    bool exchangeInFlight_ = false;
    Sender exchangeSender_ = Sender::OnDemand;
    std::chrono::steady_clock::time_point exchangeLastSend_{};
    bool exchangeAwaitingAnswer_ = false;          // a slot was sent, its answer not yet whole
    ExchangeWrites stagedWrites_{};                // applied with the exchange's first answer
    bool stagedWritesPending_ = false;

    // transport_, closing_ and sendsInFlight_ are guarded by transportMutex_: the
    // exports and the senders read them, only the open and the close change them.
    std::mutex transportMutex_;
    std::condition_variable sendsDone_;
    std::unique_ptr<CEthernetCom> transport_;
    bool closing_ = false;
    int sendsInFlight_ = 0;

    std::atomic<bool> published_{false};   // set once by the open, read by the handlers

    // Receive state: touched only on the notification thread.
    ResponseAssembler assembler_{&WriteErrorLog};
    std::vector<std::uint8_t> rxBatch_;
};

}  // namespace netpod
