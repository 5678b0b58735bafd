// Opening and closing connections, and their state.
#include <memory>
#include <string>

#include "connection/com_management.h"
#include "diagnostics/error_log.h"
#include "discovery/module_probe.h"
#include "exports/connection_handle.h"
#include "exports/export_support.h"
#include "protocol/ip_text.h"
#include "protocol/messages.h"
#include "qorvi_netpod.h"

namespace netpod {
namespace {

void Report(std::string_view description, std::string_view exportName, std::string_view ipText) {
    std::string message(description);
    message.append("\t(").append(exportName).append(")");
    WriteErrorLog(message, ipText);
}

// Ends a connection: the transport first (a connected one reports Com_Event 0 on
// this thread while the record still exists), then its threads; the record itself
// goes once no export uses it any more. False, leaving *com alone, when the handle
// is unknown or closed already (reported only when `reportAs` names an export).
bool CloseHandle(ComID* com, const char* reportAs) {
    const std::shared_ptr<CComManagement> connection =
        reportAs != nullptr ? RequireConnection(*com, reportAs) : ConnectionRegistry::Find(*com);
    if (connection == nullptr)
        return false;
    if (connection->BeginClose()) {
        // A close from inside the Com_Event 0 that this very close raised, or a close
        // racing with another on a second thread: that one ends the connection.
        *com = nullptr;
        return true;
    }
    connection->DestroyTransport();
    ConnectionRegistry::Remove(*com);
    connection->StopSenders();
    *com = nullptr;
    return true;
}

struct PortKind {
    const char* exportName;
    const char* dataCallbackName;
    std::int32_t port;
};

template <class DataCallback>
bool OpenConnection(const PortKind& kind, const std::int32_t* IPAddress, DataCallback dataCallback, TCom_Event comEvent,
                    ComID* Com) {
    if (Com == nullptr) {
        Report(messages::kComIdPointerNull, kind.exportName, kNoIpText);
        return false;
    }
    // A handle that is no longer (or never was) a connection is simply replaced.
    if (*Com != nullptr)
        CloseHandle(Com, nullptr);
    if (IPAddress == nullptr) {
        Report(messages::kAddressNull, kind.exportName, kNoIpText);
        return false;
    }
    const std::string dotted = DottedIPText(IPAddress);
    if (!AllInByteRange(IPAddress, 4)) {
        Report(messages::kAddressNotValid, kind.exportName, dotted);
        return false;
    }
    DetectedModule detected{};
    int systemError = 0;
    if (!MakeInitialTYPETest(IPAddress, detected, &systemError)) {
        // Out of file descriptors, the reason matters more than the test's name.
        const std::string_view shortage = FileDescriptorShortageText(systemError);
        Report(shortage.empty() ? messages::kInitialTestFailed : shortage, kind.exportName, dotted);
        return false;
    }
    std::shared_ptr<CComManagement> connection;
    try {
        connection = std::make_shared<CComManagement>(detected, dotted);
    } catch (const std::exception& e) {
        // No thread (or memory) left for the connection's senders.
        Report(std::string(messages::kResourcesNotAvailable) + e.what(), kind.exportName, dotted);
        return false;
    }
    if (dataCallback == nullptr) {
        Report(std::string(kind.dataCallbackName).append(messages::kCallbackNullSuffix), kind.exportName, dotted);
        return false;
    }
    if (comEvent == nullptr) {
        Report(messages::kComEventNull, kind.exportName, dotted);
        return false;
    }
    if constexpr (std::is_same_v<DataCallback, TData_Received_MAINPORT>)
        connection->SetMainportCallbacks(dataCallback, comEvent);
    else
        connection->SetRS232Callbacks(dataCallback, comEvent);
    // The handlers are in place before the connection attempt starts: its outcome
    // is reported from the notification thread, possibly before this returns.
    const ComID handle = ConnectionRegistry::Add(connection);
    connection->Connect(kind.port, handle);
    *Com = handle;
    connection->Publish();
    return true;
}

}  // namespace
}  // namespace netpod

using namespace netpod;

extern "C" {

QORVI_NETPOD_API bool Qorvi_NETPOD_OpenConnection_MAINPORT(const int32_t* IPAddress,
                                                           TData_Received_MAINPORT Data_Received_MAINPORT,
                                                           TCom_Event Com_Event, ComID* Com) {
    static const PortKind kind{"Qorvi_NETPOD_OpenConnection_MAINPORT", "Data_Received_MAINPORT", kMainPort};
    return GuardedExport(false,
                         [&] { return OpenConnection(kind, IPAddress, Data_Received_MAINPORT, Com_Event, Com); });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_OpenConnection_RS232(const int32_t* IPAddress,
                                                        TData_Received_RS232 Data_Received_RS232, TCom_Event Com_Event,
                                                        ComID* Com) {
    static const PortKind kind{"Qorvi_NETPOD_OpenConnection_RS232", "Data_Received_RS232", kRs232Port};
    return GuardedExport(false, [&] { return OpenConnection(kind, IPAddress, Data_Received_RS232, Com_Event, Com); });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_CloseConnection(ComID* Com) {
    return GuardedExport(true, [&] {
        if (Com == nullptr || *Com == nullptr)
            return true;  // nothing to close
        return CloseHandle(Com, "Qorvi_NETPOD_CloseConnection");
    });
}

QORVI_NETPOD_API int32_t Qorvi_NETPOD_GetStateCommunication(ComID Com) {
    return GuardedExport(std::int32_t{0}, [&] {
        if (Com == nullptr)
            return std::int32_t{0};
        const std::shared_ptr<CComManagement> c = RequireConnection(Com, "Qorvi_NETPOD_GetStateCommunication");
        return c == nullptr ? std::int32_t{0} : c->TransportState();
    });
}

}  // extern "C"

NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_OpenConnection_MAINPORT)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_OpenConnection_RS232)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_CloseConnection)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_GetStateCommunication)
