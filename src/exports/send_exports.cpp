// Qorvi_NETPOD_SendData_MAINPORT: starts one on-demand exchange.
#include "exports/connection_handle.h"
#include "exports/export_support.h"

using namespace netpod;

extern "C" {

QORVI_NETPOD_API bool Qorvi_NETPOD_SendData_MAINPORT(ComID Com) {
    return GuardedExport(false, [&] {
        CComManagement* c = RequireConnection(Com, "Qorvi_NETPOD_SendData_MAINPORT");
        if (c == nullptr)
            return false;
        // One exchange at a time: the gate opens again when the exchange's last
        // answer has arrived, or when the exchange ended without one.
        bool expected = true;
        if (!c->AnswerComplete.compare_exchange_strong(expected, false)) {
            ReportFor(*c, "Call Qorvi_NETPOD_SendData_MAINPORT before receive data of the last call",
                      "Qorvi_NETPOD_SendData_MAINPORT");
            return false;
        }
        c->HevNewSend.set();
        return true;
    });
}

}  // extern "C"

NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_SendData_MAINPORT)
