#include "connection/com_management.h"

#include <algorithm>
#include <span>

#include "transport/ethernet_com.h"
#include "diagnostics/error_log.h"
#include "protocol/ip_text.h"
#include "connection/thread_send.h"
#include "connection/thread_send_continuous.h"

namespace netpod {
namespace {
// A whole batch of the transport; the main-port handler works through all of it.
constexpr std::int32_t kBatchCapacity = 65000;
// The count handed to Data_Received_RS232; the application fetches the bytes
// themselves (the whole batch) with Qorvi_NETPOD_GetData_RS232.
constexpr std::int32_t kRs232ChunkCapacity = 360;
// An exchange without an answer for this long after its last send is over: its
// sender's wait has run out, or its sender is suspended and will drop it.
constexpr std::chrono::milliseconds kExchangeStaleAfter{3000};
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
    HevMultiplePacketContinuous.set();
    HevSync.set();
    HevTimer.set();
    HevAckContinuous.set();
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

void CComManagement::BuildOnDemandRequest(TxSlots& slots, ExchangeWrites& writes) {
    std::lock_guard guard(marksMutex_);
    FillPacketToSend(marks_, slots, writes);
}

void CComManagement::BuildRepetitiveRequest(TxSlots& slots, ExchangeWrites& writes) {
    std::lock_guard guard(marksMutex_);
    FillPacketToSendContinuous(marks_, slots, writes);
}

std::uint64_t CComManagement::BeginExchange(Sender sender, const TxSlots& slots, const ExchangeWrites& writes,
                                            const std::function<bool()>& giveUp) {
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(exchangeMutex_);
    // An exchange whose sender is running ends by that sender's own bounded waits.
    // One whose sender is the suspended repetitive-ask thread can be taken over once
    // nothing more is coming for it.
    const auto over = [this] {
        if (!exchangeInFlight_)
            return true;
        if (exchangeSender_ != Sender::Repetitive || !ThreadSendContinuous->thread().isSuspended())
            return false;
        return !exchangeAwaitingAnswer_ || Clock::now() >= exchangeLastSend_ + kExchangeStaleAfter;
    };
    while (!over()) {
        if (giveUp())
            return 0;
        // Woken when the exchange ends; the short step notices a suspension of either
        // sender, or a termination of the caller, which nothing signals here.
        exchangeEnded_.wait_for(lock, std::chrono::milliseconds(10));
    }
    if (giveUp())
        return 0;
    // Answer signals left over from an answer that came after its wait ran out must
    // not end this exchange early.
    if (sender == Sender::OnDemand) {
        HevMultiplePacket.reset();
        HevAck.reset();
    } else {
        HevMultiplePacketContinuous.reset();
        HevAckContinuous.reset();
    }
    exchangeInFlight_ = true;
    exchangeAwaitingAnswer_ = false;
    exchangeSender_ = sender;
    exchangeLastSend_ = Clock::now();
    stagedWrites_ = writes;
    stagedWritesPending_ = true;
    NbPacket.store(slots.NbPacket);
    PacketIndex.store(0);
    return ++exchangeId_;
}

bool CComManagement::NoteSlotSending(std::uint64_t id) {
    std::lock_guard guard(exchangeMutex_);
    if (!exchangeInFlight_ || exchangeId_ != id)
        return false;
    PacketIndex.fetch_add(1);
    exchangeLastSend_ = std::chrono::steady_clock::now();
    exchangeAwaitingAnswer_ = true;
    return true;
}

void CComManagement::EndExchange(std::uint64_t id) {
    {
        std::lock_guard guard(exchangeMutex_);
        if (!exchangeInFlight_ || exchangeId_ != id)
            return;
        exchangeInFlight_ = false;
    }
    exchangeEnded_.notify_all();
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
        // The Written flags of the exchange begun last take effect with the first
        // answer after it (a late one too), on the only thread that writes the
        // record the application reads.
        std::lock_guard guard(exchangeMutex_);
        if (stagedWritesPending_) {
            ApplyExchangeWrites(stagedWrites_, Values);
            stagedWritesPending_ = false;
        }
    }
    assembler_.ReceivedRawData(std::span<const std::uint8_t>(rxBatch_.data(), static_cast<std::size_t>(length)),
                               Values, kNoIpText);

    // The sender of the exchange in flight, if any, learns of the answer through
    // its own events. An answer that belongs to no exchange (a late one) still
    // reaches the application, as every answer after an exchange's last slot does.
    // A batch that leaves a packet half assembled (an answer cut in two by the
    // network) does not end the wait for that answer: its rest is still to come, and
    // the next request must not go out before it.
    const bool wholeAnswers = assembler_.RxCount() == 0 && !assembler_.RxInBody();
    platform::Event* wake = nullptr;
    bool last = true;
    bool ended = false;
    {
        std::lock_guard guard(exchangeMutex_);
        last = PacketIndex.load() >= NbPacket.load();
        if (exchangeInFlight_ && wholeAnswers) {
            exchangeAwaitingAnswer_ = false;
            const bool onDemand = exchangeSender_ == Sender::OnDemand;
            if (last) {
                exchangeInFlight_ = false;
                ended = true;
                wake = onDemand ? &HevAck : &HevAckContinuous;
            } else {
                wake = onDemand ? &HevMultiplePacket : &HevMultiplePacketContinuous;
            }
        }
    }
    if (ended)
        exchangeEnded_.notify_all();
    if (!last) {
        if (wake != nullptr)
            wake->set();
        return;
    }
    AnswerComplete.store(true);
    // The sender is released before the application sees the values: the callback
    // is the last thing here that touches the record, which the application may
    // close from inside it. Values stays stable meanwhile, since only this thread
    // writes it.
    if (wake != nullptr)
        wake->set();
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
