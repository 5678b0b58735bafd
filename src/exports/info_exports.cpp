// Qorvi_NETPOD_VersionDLL and Qorvi_NETPOD_GetLastError.
#include <string>
#include <string_view>

#include "diagnostics/error_log.h"
#include "exports/export_support.h"
#include "protocol/ip_text.h"
#include "protocol/messages.h"
#include "qorvi_netpod.h"

namespace {
constexpr std::string_view kVersionText = "Qorvi-NETPOD_DLLInterface_v2.00_021111";
}

extern "C" {

QORVI_NETPOD_API void Qorvi_NETPOD_VersionDLL(char* Buffer, int32_t* BufferLength) {
    netpod::GuardedExport([&] {
        if (Buffer == nullptr) {
            netpod::WriteErrorLog(netpod::messages::kVersionBufferNull, netpod::kNoIpText);
            return;
        }
        netpod::CopyTextToCallerBuffer(kVersionText, Buffer, BufferLength);
    });
}

QORVI_NETPOD_API void Qorvi_NETPOD_GetLastError(char* Buffer, int32_t* BufferLength) {
    netpod::GuardedExport([&] {
        if (Buffer == nullptr) {
            netpod::WriteErrorLog(netpod::messages::kLastErrorBufferNull, netpod::kNoIpText);
            return;
        }
        // A copy of one whole message, taken at once, so that a replacement on
        // another thread cannot mix two texts.
        const std::string text = netpod::LastErrorText();
        netpod::CopyTextToCallerBuffer(text, Buffer, BufferLength);
    });
}

}  // extern "C"

NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_VersionDLL)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_GetLastError)
