#include "discovery/scan_table.h"

#include <cstring>

#include "protocol/ip_text.h"

namespace netpod {

void ScanTable::ModuleDecoded(const UdpModuleRecord& module) {
    if (modules_ != nullptr && count_ < capacity_) {
        ModuleInfo& record = modules_[count_];
        std::memcpy(record.Type, module.type, sizeof record.Type);
        std::memcpy(record.Version, module.version, sizeof record.Version);
        std::memcpy(record.MacAddress, module.mac, sizeof record.MacAddress);
        std::int32_t address[4] = {0, 0, 0, 0};
        ParseIPText(module.senderAddress, address);
        std::memcpy(record.IPAddress, address, sizeof record.IPAddress);
        std::memcpy(record.ModuleName, module.name, sizeof record.ModuleName);
    }
    ++count_;
}

}  // namespace netpod
