// CComManagement: the state of one open connection. Its address is the ComID that
// the open exports hand to the application.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "commanagement/request_builder.h"
#include "commanagement/request_marks.h"
#include "commanagement/response_analysis.h"
#include "globalfunctions/initial_type_test.h"
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
    // Builds the on-demand or the repetitive-ask request into `slots` and stages the
    // Written flags of that exchange for the notification thread.
    void BuildOnDemandRequest(TxSlots& slots);
    void BuildRepetitiveRequest(TxSlots& slots);
    // Starts the exchange of `slots` (called by the sender that holds it): clears
    // answer signals left over from an answer that came after its wait ran out, so
    // that they cannot end this exchange early, and resets the exchange counters.
    // Returns the exchange's number (exchanges of both senders are counted).
    std::uint64_t BeginExchange(const TxSlots& slots);

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

    // True while the on-demand sender runs an exchange without the token (it found
    // the token taken by a suspended repetitive-ask thread). Written by the
    // on-demand sender, read by the repetitive-ask sender when it drops an exchange.
    std::atomic<bool> OnDemandWithoutToken{false};

    // Exchanges begun so far, by either sender, and emptyings of the repetitive
    // list (Qorvi_NETPOD_RepetitiveAskReset): the repetitive-ask sender compares them
    // to learn whether an exchange it was suspended in is still worth finishing.
    std::atomic<std::uint64_t> ExchangeCount{0};
    std::atomic<std::uint64_t> RepetitiveListResets{0};

    // Set by the first close; a close started from inside Com_Event 0 of that very
    // close only clears the caller's handle.
    std::atomic<bool> CloseStarted{false};

    // Written only on the notification thread (and read by the application inside
    // Data_Received_MAINPORT on that same thread).
    RegisterValues Values{};

    // All auto-reset; HevSync (the exchange token) starts signalled.
    platform::Event HevMultiplePacket{false};
    platform::Event HevSync{true};
    platform::Event HevAck{false};
    platform::Event HevTimer{false};
    platform::Event HevNewSend{false};

    std::unique_ptr<TThreadSendContinuous> ThreadSendContinuous;
    std::unique_ptr<TThreadSend> ThreadSend;

private:
    void HandleMainportData(CEthernetCom* transport);
    void WaitUntilPublished() { published_.wait(false); }

    std::mutex marksMutex_;            // guards marks_ and the staged exchange writes
    RequestMarks marks_{};             // written by exports, read and cleared by the builders
    ExchangeWrites stagedWrites_{};    // staged by a builder, applied on the notification thread
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
    ResponseAssembler assembler_;
    std::vector<std::uint8_t> rxBatch_;
};

}  // namespace netpod
