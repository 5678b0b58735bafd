// Opening and closing connections, and their state.
#include <memory>
#include <string>

#include "connection/com_management.h"
#include "exports/export_support.h"
#include "diagnostics/error_log.h"
#include "protocol/ip_text.h"
#include "discovery/module_probe.h"
#include "qorvi_netpod.h"

namespace netpod {
namespace {

void Report(std::string_view description, std::string_view exportName, std::string_view ipText) {
    std::string message(description);
    message.append("\t(").append(exportName).append(")");
    WriteErrorLog(message, ipText);
}

// Ends a connection: the transport first (a connected one reports Com_Event 0 on
// this thread while the record still exists), then the record with its threads.
void CloseHandle(ComID* com) {
    auto* connection = static_cast<CComManagement*>(*com);
    if (connection->BeginClose()) {
        // A close from inside the Com_Event 0 that this very close raised: the
        // outer close destroys the record.
        *com = nullptr;
        return;
    }
    connection->DestroyTransport();
    delete connection;
    *com = nullptr;
}

struct PortKind {
    const char* exportName;
    const char* dataCallbackName;
    std::int32_t port;
};

template <class DataCallback>
bool OpenConnection(const PortKind& kind, const std::int32_t* IPAddress, DataCallback dataCallback,
                    TCom_Event comEvent, ComID* Com) {
    if (Com == nullptr) {
        Report("Pointer on ComID not valid (NULL)", kind.exportName, kNoIpText);
        return false;
    }
    if (*Com != nullptr)
        CloseHandle(Com);
    if (IPAddress == nullptr) {
        Report("Address IP not valid (NULL)", kind.exportName, kNoIpText);
        return false;
    }
    const std::string dotted = DottedIPText(IPAddress);
    for (int i = 0; i < 4; ++i) {
        if (IPAddress[i] < 0 || IPAddress[i] > 255) {
            Report("Address IP not valid", kind.exportName, dotted);
            return false;
        }
    }
    DetectedModule detected{};
    if (!MakeInitialTYPETest(IPAddress, detected)) {
        Report("Initial Test failed", kind.exportName, dotted);
        return false;
    }
    std::unique_ptr<CComManagement> connection;
    try {
        connection = std::make_unique<CComManagement>(detected, dotted);
    } catch (const std::exception& e) {
        // No thread (or memory) left for the connection's senders.
        Report(std::string("Connection resources not available: ") + e.what(), kind.exportName, dotted);
        return false;
    }
    if (dataCallback == nullptr) {
        Report(std::string(kind.dataCallbackName) + " function not valid (NULL)", kind.exportName, dotted);
        return false;
    }
    if (comEvent == nullptr) {
        Report("Com_Event function not valid (NULL)", kind.exportName, dotted);
        return false;
    }
    if constexpr (std::is_same_v<DataCallback, TData_Received_MAINPORT>)
        connection->SetMainportCallbacks(dataCallback, comEvent);
    else
        connection->SetRS232Callbacks(dataCallback, comEvent);
    // The handlers are in place before the connection attempt starts: its outcome
    // is reported from the notification thread, possibly before this returns.
    CComManagement* raw = connection.get();
    connection->Connect(kind.port);
    *Com = connection.release();
    raw->Publish();
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
    return GuardedExport(false, [&] { return OpenConnection(kind, IPAddress, Data_Received_MAINPORT, Com_Event, Com); });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_OpenConnection_RS232(const int32_t* IPAddress,
                                                        TData_Received_RS232 Data_Received_RS232,
                                                        TCom_Event Com_Event, ComID* Com) {
    static const PortKind kind{"Qorvi_NETPOD_OpenConnection_RS232", "Data_Received_RS232", kRs232Port};
    return GuardedExport(false, [&] { return OpenConnection(kind, IPAddress, Data_Received_RS232, Com_Event, Com); });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_CloseConnection(ComID* Com) {
    return GuardedExport(true, [&] {
        if (Com != nullptr && *Com != nullptr)
            CloseHandle(Com);
        return true;
    });
}

QORVI_NETPOD_API int32_t Qorvi_NETPOD_GetStateCommunication(ComID Com) {
    return GuardedExport(std::int32_t{0}, [&] {
        return Com == nullptr ? 0 : static_cast<CComManagement*>(Com)->TransportState();
    });
}

}  // extern "C"

NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_OpenConnection_MAINPORT)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_OpenConnection_RS232)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_CloseConnection)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_GetStateCommunication)
