// Qorvi_NETPOD_SendData_MAINPORT: starts one on-demand exchange.
#include "exports/connection_handle.h"
#include "exports/export_support.h"
#include "protocol/messages.h"

using namespace netpod;

extern "C" {

QORVI_NETPOD_API bool Qorvi_NETPOD_SendData_MAINPORT(ComID Com) {
    return GuardedExport(false, [&] {
        const std::shared_ptr<CComManagement> c = RequireConnection(Com, "Qorvi_NETPOD_SendData_MAINPORT");
        if (c == nullptr)
            return false;
        if (!c->StartOnDemandExchange()) {
            ReportFor(*c, messages::kSendBeforeAnswer, "Qorvi_NETPOD_SendData_MAINPORT");
            return false;
        }
        return true;
    });
}

}  // extern "C"

NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_SendData_MAINPORT)
