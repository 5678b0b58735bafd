#include "commanagement/com_management.h"

#include <algorithm>
#include <span>

#include "ethernetcom/ethernet_com.h"
#include "globalfunctions/error_log.h"
#include "thread/thread_send.h"
#include "thread/thread_send_continuous.h"

namespace netpod {
namespace {
// A whole batch of the transport; the main-port handler works through all of it.
constexpr std::int32_t kBatchCapacity = 65000;
// The count handed to Data_Received_RS232; the application fetches the bytes
// themselves (the whole batch) with Qorvi_NETPOD_GetData_RS232.
constexpr std::int32_t kRs232ChunkCapacity = 360;
}  // namespace

CComManagement::CComManagement(const DetectedModule& detected) {
    std::copy(std::begin(detected.type), std::end(detected.type), ModuleType);
    std::copy(std::begin(detected.version), std::end(detected.version), ModuleVersion);
    // The repetitive-ask thread first: the on-demand sender asks it whether it runs.
    ThreadSendContinuous = std::make_unique<TThreadSendContinuous>(*this);
    ThreadSend = std::make_unique<TThreadSend>(*this);
}

CComManagement::~CComManagement() {
    for (platform::Thread* t : {&ThreadSend->thread(), &ThreadSendContinuous->thread()}) {
        t->requestTerminate();
        t->resume();
    }
    // Every wait of a sender returns at once once its events are set.
    HevMultiplePacket.set();
    HevSync.set();
    HevAck.set();
    HevNewSend.set();
    ThreadSend.reset();
    HevMultiplePacket.set();
    HevSync.set();
    HevTimer.set();
    HevAck.set();
    ThreadSendContinuous.reset();
    DestroyTransport();
}

void CComManagement::AttachTransport(std::unique_ptr<CEthernetCom> transport) {
    std::lock_guard guard(transportMutex_);
    transport_ = std::move(transport);
}

void CComManagement::Publish() {
    published_.store(true);
    published_.notify_all();
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

bool CComManagement::SendThroughTransport(const std::uint8_t* bytes, std::int32_t length, bool* closing) {
    CEthernetCom* transport;
    {
        std::lock_guard guard(transportMutex_);
        if (closing != nullptr)
            *closing = closing_;
        if (closing_)
            return false;
        transport = transport_.get();
        ++sendsInFlight_;
    }
    // The send runs without the lock, so that a notification it raises may call back
    // into this connection; the close waits for it through sendsInFlight_.
    const bool sent = transport->SendData(bytes, length);
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

void CComManagement::BuildOnDemandRequest(TxSlots& slots) {
    std::lock_guard guard(marksMutex_);
    FillPacketToSend(marks_, slots, stagedWrites_);
    stagedWritesPending_ = true;
}

void CComManagement::BuildRepetitiveRequest(TxSlots& slots) {
    std::lock_guard guard(marksMutex_);
    FillPacketToSendContinuous(marks_, slots, stagedWrites_);
    stagedWritesPending_ = true;
}

std::uint64_t CComManagement::BeginExchange(const TxSlots& slots) {
    HevMultiplePacket.reset();
    HevAck.reset();
    NbPacket.store(slots.NbPacket);
    PacketIndex.store(0);
    return ExchangeCount.fetch_add(1) + 1;
}

void CComManagement::MainportDataReceived(void* context, std::int32_t, CEthernetCom* transport) {
    static_cast<CComManagement*>(context)->HandleMainportData(transport);
}

void CComManagement::HandleMainportData(CEthernetCom* transport) {
    WaitUntilPublished();
    if (rxBatch_.empty())
        rxBatch_.resize(kBatchCapacity);
    std::int32_t length = kBatchCapacity;
    transport->GetData(rxBatch_.data(), &length);

    // Valid flags describe the current exchange: cleared at the answers to its first slot.
    if (NbPacket.load() == 1 || PacketIndex.load() == 1)
        ResponseAssembler::ClearValidFlags(Values);
    {
        // The Written flags of the exchange that was built last take effect here, on
        // the only thread that writes the record the application reads.
        std::lock_guard guard(marksMutex_);
        if (stagedWritesPending_) {
            ApplyExchangeWrites(stagedWrites_, Values);
            stagedWritesPending_ = false;
        }
    }
    assembler_.ReceivedRawData(std::span<const std::uint8_t>(rxBatch_.data(), static_cast<std::size_t>(length)),
                               Values, kNoIpText);

    if (PacketIndex.load() < NbPacket.load()) {
        HevMultiplePacket.set();
        return;
    }
    AnswerComplete.store(true);
    // The sender is released before the application sees the values: the callback
    // is the last thing here that touches the record, which the application may
    // close from inside it. Values stays stable meanwhile, since only this thread
    // writes it.
    HevAck.set();
    if (Data_Received_MAINPORT != nullptr)
        Data_Received_MAINPORT(&Values, this);
}

void CComManagement::RS232DataReceived(void* context, std::int32_t, CEthernetCom* transport) {
    auto* self = static_cast<CComManagement*>(context);
    self->WaitUntilPublished();
    std::uint8_t chunk[kRs232ChunkCapacity];
    std::int32_t length = kRs232ChunkCapacity;
    transport->GetData(chunk, &length);
    if (self->Data_Received_RS232 != nullptr)
        self->Data_Received_RS232(length, self);
}

void CComManagement::ComEventReceived(void* context, std::int32_t stateCode, CEthernetCom* transport) {
    auto* self = static_cast<CComManagement*>(context);
    if (transport == nullptr) {
        WriteErrorLog("Pointer on ethernet communication not valid. ComID = NULL\t(Com_Event)", kNoIpText);
        return;
    }
    self->WaitUntilPublished();
    if (self->Com_Event != nullptr)
        self->Com_Event(stateCode, self);
}

}  // namespace netpod
