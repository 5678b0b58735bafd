// Where the scan puts the modules it finds: the application's array.
#pragma once

#include <cstdint>

#include "protocol/udp_answer_decoder.h"
#include "qorvi_netpod.h"

namespace netpod {

// The application's array during one scan: each module record goes into the next
// element while there is room, with the sender's address as its IPAddress, and every
// one is counted, so that the caller learns how large an array it needs.
class ScanTable final : public UdpAnswerSink {
public:
    ScanTable(ModuleInfo* modules, std::int32_t capacity) : modules_(modules), capacity_(capacity) {}

    void ModuleDecoded(const UdpModuleRecord& module) override;

    std::int32_t count() const { return count_; }

private:
    ModuleInfo* modules_;
    std::int32_t capacity_;
    std::int32_t count_ = 0;
};

}  // namespace netpod
