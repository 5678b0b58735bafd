// What a UDP exchange leaves for later: the module an initial TYPE test detected,
// which the connection opened after the test copies.
#pragma once

#include <cstdint>

namespace netpod {

// TYPE and VERSION of the module that answered an initial TYPE test.
struct DetectedModule {
    std::int32_t type[2];     // TYPE high word, low word
    std::int32_t version[4];  // VERSION in the stored order of DecodeVersion
};

}  // namespace netpod
