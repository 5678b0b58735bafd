// The serial tunnel, the repetitive-ask controls, I2C transfers and the bus scan.
#include <cstring>
#include <string>

#include "exports/connection_handle.h"
#include "exports/export_support.h"
#include "protocol/messages.h"
#include "protocol/request_marks.h"

using namespace netpod;

extern "C" {

QORVI_NETPOD_API bool Qorvi_NETPOD_SendData_RS232(const uint8_t* DataBuf, int32_t DataLength, ComID Com) {
    return GuardedExport(false, [&] {
        const std::shared_ptr<CComManagement> c = RequireConnection(Com, "Qorvi_NETPOD_SendData_RS232");
        if (c == nullptr)
            return false;
        if (DataBuf == nullptr) {
            ReportFor(*c, messages::kSendBufferNull, "Qorvi_NETPOD_SendData_RS232");
            return false;
        }
        // A negative length would make the transport read before the caller's buffer.
        if (DataLength < 0) {
            ReportFor(*c, messages::kLengthNegative, "Qorvi_NETPOD_SendData_RS232");
            return false;
        }
        bool closing = false;
        if (!c->SendThroughTransport(std::span<const std::uint8_t>(DataBuf, static_cast<std::size_t>(DataLength)),
                                     closing)) {
            ReportFor(*c, messages::kSendFailed, "Qorvi_NETPOD_SendData_RS232");
            return false;
        }
        return true;
    });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_GetData_RS232(uint8_t* DataBuf, int32_t* DataLength, ComID Com) {
    return GuardedExport(false, [&] {
        const std::shared_ptr<CComManagement> c = RequireConnection(Com, "Qorvi_NETPOD_GetData_RS232");
        if (c == nullptr)
            return false;
        if (DataBuf == nullptr) {
            ReportFor(*c, messages::kReceiveBufferNull, "Qorvi_NETPOD_GetData_RS232");
            return false;
        }
        if (DataLength == nullptr) {
            ReportFor(*c, messages::kLengthPointerNull, "Qorvi_NETPOD_GetData_RS232");
            return false;
        }
        if (*DataLength < 0)
            *DataLength = 0;
        return c->GetTransportData(DataBuf, DataLength);
    });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_RepetitiveAskStart(ComID Com) {
    return GuardedExport(false, [&] {
        const std::shared_ptr<CComManagement> c = RequireConnection(Com, "Qorvi_NETPOD_StartRepetitiveAsk");
        if (c == nullptr)
            return false;
        c->Senders().StartAsk();
        return true;
    });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_RepetitiveAskStop(ComID Com) {
    return GuardedExport(false, [&] {
        const std::shared_ptr<CComManagement> c = RequireConnection(Com, "Qorvi_NETPOD_StopRepetitiveAsk");
        if (c == nullptr)
            return false;
        c->Senders().StopAsk();
        return true;
    });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_RepetitiveAskSetTime(int32_t TimeMiliSec, ComID Com) {
    return GuardedExport(false, [&] {
        const std::shared_ptr<CComManagement> c = RequireConnection(Com, "Qorvi_NETPOD_SetRepetitiveAskTime");
        if (c == nullptr)
            return false;
        if (TimeMiliSec <= 0) {
            ReportFor(*c, messages::kPeriodNotValid, "Qorvi_NETPOD_SetRepetitiveAskTime");
            return false;
        }
        c->Senders().SetAskPeriod(TimeMiliSec);
        return true;
    });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_RepetitiveAskReset(ComID Com) {
    return GuardedExport(false, [&] {
        const std::shared_ptr<CComManagement> c = RequireConnection(Com, "Qorvi_NETPOD_SetRepetitiveAskPacket");
        if (c == nullptr)
            return false;
        // Suspended first, so that polling stops at once; then the list is emptied.
        c->Senders().SuspendAsk();
        c->UpdateMarks([](RequestMarks& m) {
            m.RepetitiveVOLTAGE = false;
            m.RepetitiveWARNINGS = false;
            m.RepetitiveINPUTS = false;
            std::fill(std::begin(m.RepetitiveInputVoltage), std::end(m.RepetitiveInputVoltage), false);
            m.RepetitiveI2CRequest = false;
            m.RepetitiveAskRequest = false;
        });
        c->Senders().NoteAskListEmptied();
        return true;
    });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_ReadWriteI2C(const uint8_t* DataBuf, int32_t DataLength, bool RepetitiveAsk,
                                                int32_t AskID, ComID Com) {
    return GuardedExport(false, [&] {
        const std::shared_ptr<CComManagement> c = RequireConnection(Com, "Qorvi_NETPOD_ReadWriteI2C");
        if (c == nullptr)
            return false;
        if (DataBuf == nullptr) {
            ReportFor(*c, messages::kI2CBufferNull, "Qorvi_NETPOD_ReadWriteI2C");
            return false;
        }
        if (DataLength > kMaxI2CDataLength) {
            ReportFor(*c, std::string(messages::kI2CLengthTooBig).append(std::to_string(kMaxI2CDataLength)),
                      "Qorvi_NETPOD_ReadWriteI2C");
            return false;
        }
        // A negative length would reach the packet builder as a huge copy.
        if (DataLength < 0) {
            ReportFor(*c, messages::kI2CLengthNegative, "Qorvi_NETPOD_ReadWriteI2C");
            return false;
        }
        if (AskID < 0 || AskID > 65535) {
            ReportFor(*c, messages::kAskIdNotValid, "Qorvi_NETPOD_ReadWriteI2C");
            return false;
        }
        const auto n = static_cast<std::size_t>(DataLength);
        c->UpdateMarks([&](RequestMarks& m) {
            if (RepetitiveAsk) {
                m.RepetitiveI2CDataLength = DataLength;
                m.RepetitiveI2CAskID = AskID;
                std::memcpy(m.RepetitiveI2CData, DataBuf, n);
                m.RepetitiveI2CRequest = true;
            } else {
                m.I2CDataLength = DataLength;
                m.I2CAskID = AskID;
                std::memcpy(m.I2CData, DataBuf, n);
                m.I2CRequest = true;
            }
        });
        return true;
    });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_ScanI2C(ComID Com) {
    return GuardedExport(false, [&] {
        const std::shared_ptr<CComManagement> c = RequireConnection(Com, "Qorvi_NETPOD_ScanI2C");
        if (c == nullptr)
            return false;
        c->UpdateMarks([](RequestMarks& m) { m.ScanI2CRequest = true; });
        return true;
    });
}

}  // extern "C"

NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_SendData_RS232)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_GetData_RS232)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_RepetitiveAskStart)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_RepetitiveAskStop)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_RepetitiveAskSetTime)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_RepetitiveAskReset)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_ReadWriteI2C)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_ScanI2C)
