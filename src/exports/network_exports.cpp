// Qorvi_NETPOD_ScanNetwork and Qorvi_NETPOD_ChangeIPAddress: no connection needed,
// both forward to the UDP utilities.
#include "diagnostics/error_log.h"
#include "discovery/change_ip_address.h"
#include "discovery/network_scan.h"
#include "exports/export_support.h"
#include "protocol/ip_text.h"
#include "protocol/messages.h"
#include "qorvi_netpod.h"

extern "C" {

QORVI_NETPOD_API int32_t Qorvi_NETPOD_ScanNetwork(ModuleInfo* Modules, int32_t Capacity) {
    return netpod::GuardedExport(std::int32_t{0}, [&] { return netpod::ScanNetwork(Modules, Capacity); });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_ChangeIPAddress(const int32_t* MacAddress, const int32_t* IPAddress,
                                                   const int32_t* SubnetMaskAddress) {
    return netpod::GuardedExport(false, [&] {
        if (netpod::ChangeIPAddress(MacAddress, IPAddress, SubnetMaskAddress))
            return true;
        netpod::WriteErrorLog(netpod::messages::kChangeIpFailed, netpod::kNoIpText);
        return false;
    });
}

}  // extern "C"

NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_ScanNetwork)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_ChangeIPAddress)
