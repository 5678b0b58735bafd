// CComManagement: the state of one open connection. Its address is the ComID that
// the open exports hand to the application.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "connection/exchange_driver.h"
#include "connection/request_store.h"
#include "diagnostics/error_log.h"
#include "protocol/response_analysis.h"
#include "protocol/udp_exchange_state.h"
#include "qorvi_netpod.h"
#include "transport/ethernet_com.h"

namespace netpod {

// The error-log entry of a send that the transport refused, and its writing.
std::string_view SendRefusalText(SendRefusal refusal);
void ReportSendRefusal(SendRefusal refusal, std::string_view ipText);

// The module's two TCP ports.
inline constexpr std::int32_t kMainPort = 8010;
inline constexpr std::int32_t kRs232Port = 8000;

class CComManagement {
public:
    // Copies the type and version that the open's own initial TYPE test detected and
    // the connection's IP text, then creates the senders (the repetitive ask
    // suspended, its ticks already counting). Throws when the process's notification
    // thread cannot be started.
    CComManagement(const DetectedModule& detected, std::string ipText);
    // Stops the senders, then destroys the transport if one is still attached.
    ~CComManagement();
    CComManagement(const CComManagement&) = delete;
    CComManagement& operator=(const CComManagement&) = delete;

    // --- Set up by the open export, before the handle is returned ------------------
    void SetMainportCallbacks(TData_Received_MAINPORT onData, TCom_Event onEvent);
    void SetRS232Callbacks(TData_Received_RS232 onData, TCom_Event onEvent);
    // Creates the transport to `port` (kMainPort or kRs232Port), which starts the
    // connection attempt; its outcome is reported from the notification thread.
    // `handle` is what the application knows the connection by; the callbacks get it.
    void Connect(std::int32_t port, ComID handle);
    // Called once the handle is ready to be returned. Until then the transport's
    // notifications wait, so that the application always has the handle before its
    // callbacks see it (the wait lasts only to the end of the open).
    void Publish();

    const std::string& IPText() const { return ipText_; }
    // NBPOWERUP and TIMEINSERVICE exist on the module the open detected.
    bool HasCounters() const;

    // Stops both senders for good (the close, after DestroyTransport). The record
    // stays usable by exports still running: nothing acts for them any more.
    void StopSenders();

    // --- The transport ---------------------------------------------------------------
    // Stops every send for good (none in progress once this returns), then destroys
    // the transport; a connected one reports Com_Event 0 on this thread meanwhile.
    void DestroyTransport();
    // Sends through the transport unless the connection is being closed. False with
    // the transport's own entry when it refuses (or, given `refusal`, with its reason
    // there for the caller to report); false without an entry when closing
    // (`closing` is then set).
    bool SendThroughTransport(std::span<const std::uint8_t> bytes, bool& closing,
                              std::optional<SendRefusal>* refusal = nullptr);
    bool GetTransportData(std::uint8_t* destination, std::int32_t* length);
    std::int32_t TransportState();

    // --- Requests (exports on application threads) ---------------------------------
    template <class Mark>
    void UpdateMarks(Mark&& mark) {
        requests_.Update(std::forward<Mark>(mark));
    }
    // Qorvi_NETPOD_SendData_MAINPORT: false while the previous on-demand exchange is
    // unanswered; otherwise the on-demand sender sends what is marked.
    bool StartOnDemandExchange();
    ExchangeDriver& Senders() { return *senders_; }

    // Set by the first close; a close started from inside Com_Event 0 of that very
    // close only clears the caller's handle. True when a close had begun already.
    bool BeginClose() { return closeStarted_.exchange(true); }

private:
    static void MainportDataReceived(void* context, std::span<const std::uint8_t> batch, CEthernetCom* transport);
    static void RS232DataReceived(void* context, std::span<const std::uint8_t> batch, CEthernetCom* transport);
    static void ComEventReceived(void* context, std::int32_t stateCode, CEthernetCom* transport);
    void HandleMainportData(std::span<const std::uint8_t> batch);
    void WaitUntilPublished() {
        if (!published_.load(std::memory_order_acquire))  // the usual case costs no call
            published_.wait(false);
    }

    // Set by the constructor and the open export before the handle is returned;
    // read-only afterwards.
    DetectedModule detected_;
    const std::string ipText_;
    TData_Received_MAINPORT dataReceivedMainport_ = nullptr;
    TData_Received_RS232 dataReceivedRs232_ = nullptr;
    TCom_Event comEvent_ = nullptr;
    ComID handle_ = nullptr;

    RequestStore requests_;

    std::atomic<bool> closeStarted_{false};

    // Written only on the notification thread (and read by the application inside
    // Data_Received_MAINPORT on that same thread).
    RegisterValues values_{};
    // Receive state: touched only on the notification thread.
    ResponseAssembler assembler_{&WriteErrorLog};

    // transport_, closing_ and sendsInFlight_ are guarded by transportMutex_: the
    // exports and the senders read them, only the open and the close change them.
    std::mutex transportMutex_;
    std::condition_variable sendsDone_;
    std::unique_ptr<CEthernetCom> transport_;
    bool closing_ = false;
    int sendsInFlight_ = 0;

    std::atomic<bool> published_{false};  // set once by the open, read by the handlers

    // Last: it acts from construction and uses everything above.
    std::unique_ptr<ExchangeDriver> senders_;
};

}  // namespace netpod
