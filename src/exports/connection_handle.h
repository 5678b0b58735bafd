// What the per-connection exports share: the handle check and the connection's
// own log entries.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "connection/com_management.h"
#include "diagnostics/error_log.h"
#include "exports/connection_registry.h"
#include "protocol/ip_text.h"
#include "protocol/messages.h"
#include "qorvi_netpod.h"

namespace netpod {

// The connection behind `com`, or nullptr after reporting in the name of
// `reportedAs`, with the IP text "0", a null handle or one that no open handed out
// or that a close has ended since. The caller holds the connection while it uses it.
inline std::shared_ptr<CComManagement> RequireConnection(ComID com, std::string_view reportedAs) {
    if (com == nullptr) {
        std::string message(messages::kComIdNull);
        message.append("\t(").append(reportedAs).append(")");
        WriteErrorLog(message, kNoIpText);
        return nullptr;
    }
    std::shared_ptr<CComManagement> connection = ConnectionRegistry::Find(com);
    if (connection == nullptr) {
        std::string message(messages::kComIdUnknown);
        message.append("\t(").append(reportedAs).append(")");
        WriteErrorLog(message, kNoIpText);
    }
    return connection;
}

// Reports `description` in the name of `reportedAs`, with the connection's IP text.
inline void ReportFor(const CComManagement& connection, std::string_view description, std::string_view reportedAs) {
    std::string message(description);
    message.append("\t(").append(reportedAs).append(")");
    WriteErrorLog(message, connection.IPText());
}

}  // namespace netpod
