// What the per-connection exports share: the handle check and the connection's
// own log entries.
#pragma once

#include <string>
#include <string_view>

#include "connection/com_management.h"
#include "diagnostics/error_log.h"
#include "protocol/ip_text.h"
#include "qorvi_netpod.h"

namespace netpod {

// The connection behind `com`, or nullptr after reporting the null handle in the
// name of `reportedAs` with the IP text "0". Handles are not validated further: an
// application passes only handles that an open returned and no close has ended.
inline CComManagement* RequireConnection(ComID com, std::string_view reportedAs) {
    if (com == nullptr) {
        std::string message = "Pointer on ethernet communication not valid. ComID = NULL\t(";
        message.append(reportedAs).append(")");
        WriteErrorLog(message, kNoIpText);
        return nullptr;
    }
    return static_cast<CComManagement*>(com);
}

// Reports `description` in the name of `reportedAs`, with the connection's IP text.
inline void ReportFor(const CComManagement& connection, std::string_view description, std::string_view reportedAs) {
    std::string message(description);
    message.append("\t(").append(reportedAs).append(")");
    WriteErrorLog(message, connection.IPText());
}

}  // namespace netpod
