#include "connection/com_management.h"

#include <algorithm>

#include "protocol/ip_text.h"
#include "protocol/messages.h"
#include "protocol/register_map.h"
#include "transport/ethernet_com.h"

namespace netpod {

std::string_view SendRefusalText(SendRefusal refusal) {
    return refusal == SendRefusal::NotActive ? messages::kSocketNotActive : messages::kCannotSendAllBytes;
}

void ReportSendRefusal(SendRefusal refusal, std::string_view ipText) {
    WriteErrorLog(SendRefusalText(refusal), ipText);
}

CComManagement::CComManagement(const DetectedModule& detected, std::string ipText)
    : detected_(detected), ipText_(std::move(ipText)) {
    DriverLinks links{
        requests_,
        [this](std::span<const std::uint8_t> slot, bool& closing, std::string_view& refusalText) {
            std::optional<SendRefusal> refusal;
            const bool sent = SendThroughTransport(slot, closing, &refusal);
            if (refusal)
                refusalText = SendRefusalText(*refusal);
            return sent;
        },
        [this](std::string_view message) { WriteErrorLog(message, ipText_); },
        [this] {
            const std::int32_t state = TransportState();
            return state == kComNotConnected || state == kComError;
        },
    };
    senders_ = std::make_unique<ExchangeDriver>(std::move(links));
}

CComManagement::~CComManagement() {
    StopSenders();
    DestroyTransport();
}

void CComManagement::StopSenders() {
    if (senders_)
        senders_->Shutdown();
}

void CComManagement::SetMainportCallbacks(TData_Received_MAINPORT onData, TCom_Event onEvent) {
    dataReceivedMainport_ = onData;
    comEvent_ = onEvent;
}

void CComManagement::SetRS232Callbacks(TData_Received_RS232 onData, TCom_Event onEvent) {
    dataReceivedRs232_ = onData;
    comEvent_ = onEvent;
}

void CComManagement::Connect(std::int32_t port, ComID handle) {
    handle_ = handle;
    const TransportDataCallback handler = port == kRs232Port ? &RS232DataReceived : &MainportDataReceived;
    auto transport =
        std::make_unique<CEthernetCom>(ipText_, port, handler, this, &ComEventReceived, this, &ReportSendRefusal);
    std::lock_guard guard(transportMutex_);
    transport_ = std::move(transport);
}

void CComManagement::Publish() {
    published_.store(true);
    published_.notify_all();
}

bool CComManagement::HasCounters() const {
    return FirmwareHasCounters(detected_.type, detected_.version);
}

void CComManagement::DestroyTransport() {
    std::unique_ptr<CEthernetCom> transport;
    {
        // Once this block ends no send is in progress and none can begin.
        std::unique_lock lock(transportMutex_);
        closing_ = true;
        sendsDone_.wait(lock, [this] { return sendsInFlight_ == 0; });
        transport = std::move(transport_);
    }
    // Outside the lock: a connected transport calls Com_Event 0 from here, and the
    // application may call the state export inside it.
    transport.reset();
}

bool CComManagement::SendThroughTransport(std::span<const std::uint8_t> bytes, bool& closing,
                                          std::optional<SendRefusal>* refusal) {
    CEthernetCom* transport;
    {
        std::lock_guard guard(transportMutex_);
        closing = closing_;
        if (closing_ || transport_ == nullptr)
            return false;
        transport = transport_.get();
        ++sendsInFlight_;
    }
    // The send runs without the lock, so that a notification it raises may call back
    // into this connection; the close waits for it through sendsInFlight_.
    const bool sent = transport->SendData(bytes.data(), static_cast<std::int32_t>(bytes.size()), refusal);
    {
        std::lock_guard guard(transportMutex_);
        --sendsInFlight_;
    }
    sendsDone_.notify_all();
    return sent;
}

bool CComManagement::GetTransportData(std::uint8_t* destination, std::int32_t* length) {
    std::lock_guard guard(transportMutex_);
    if (transport_ == nullptr) {
        *length = 0;
        return true;
    }
    return transport_->GetData(destination, length);
}

std::int32_t CComManagement::TransportState() {
    std::lock_guard guard(transportMutex_);
    return transport_ == nullptr ? 0 : transport_->ComState();
}

bool CComManagement::StartOnDemandExchange() {
    // One exchange at a time: the gate opens again when the exchange's last answer
    // has arrived, or when the exchange ended without one.
    if (!senders_->TryCloseGate())
        return false;
    senders_->RequestOnDemand();
    return true;
}

void CComManagement::MainportDataReceived(void* context, std::span<const std::uint8_t> batch, CEthernetCom*) {
    static_cast<CComManagement*>(context)->HandleMainportData(batch);
}

void CComManagement::HandleMainportData(std::span<const std::uint8_t> batch) {
    WaitUntilPublished();
    // Valid flags describe the current exchange, and its Written flags take effect,
    // on the only thread that writes the record the application reads.
    senders_->StartAnswers(values_);
    // The batch is analysed where the transport received it: no copy.
    assembler_.ReceivedRawData(batch, values_, kNoIpText);

    const bool wholeAnswers = assembler_.RxCount() == 0 && !assembler_.RxInBody();
    if (!senders_->NoteAnswers(wholeAnswers))
        return;
    // The next slot or exchange went out before the application sees the values: the callback
    // is the last thing here that touches the record, which the application may
    // close from inside it. values_ stays stable meanwhile, since only this thread
    // writes it.
    if (dataReceivedMainport_ != nullptr)
        dataReceivedMainport_(&values_, handle_);
}

void CComManagement::RS232DataReceived(void* context, std::span<const std::uint8_t> batch, CEthernetCom*) {
    auto* self = static_cast<CComManagement*>(context);
    self->WaitUntilPublished();
    // The count handed to Data_Received_RS232 is at most 360 bytes; the application
    // fetches the bytes themselves (the whole batch) with Qorvi_NETPOD_GetData_RS232.
    constexpr std::size_t kRs232AnnouncedCapacity = 360;
    const auto announced = static_cast<std::int32_t>(std::min(batch.size(), kRs232AnnouncedCapacity));
    if (self->dataReceivedRs232_ != nullptr)
        self->dataReceivedRs232_(announced, self->handle_);
}

void CComManagement::ComEventReceived(void* context, std::int32_t stateCode, CEthernetCom* transport) {
    auto* self = static_cast<CComManagement*>(context);
    if (transport == nullptr) {
        WriteErrorLog(messages::kComEventWithoutTransport, kNoIpText);
        return;
    }
    self->WaitUntilPublished();
    if (self->comEvent_ != nullptr)
        self->comEvent_(stateCode, self->handle_);
}

}  // namespace netpod
