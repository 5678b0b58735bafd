// The initial TYPE test that precedes every connection: a unicast read of the TYPE
// register that tells an absent address from a module of another kind.
#pragma once

#include <cstdint>

#include "protocol/udp_answer_decoder.h"
#include "protocol/udp_exchange_state.h"

namespace netpod {

// Asks the module at `address` (four values, already checked to lie in 0..255) for
// its TYPE and waits up to 2000 ms for the answer. True when it is a module this
// library serves (TYPE 8,0 or 8,2). `detected` receives the TYPE and, when the
// answer carried it, the VERSION that this very test saw (zero otherwise). A null
// `address` returns false at once, with no log entry and no traffic. When the test
// could not even open its socket, `systemError` (if given) receives the system's
// reason (errno), and a lack of file descriptors is logged as such.
bool MakeInitialTYPETest(const std::int32_t* address, DetectedModule& detected, int* systemError = nullptr);

// What an initial test takes from the answers: every TYPE and VERSION they carry,
// the last of each winning; module records are of no interest to it.
class TypeDetection final : public UdpAnswerSink {
public:
    explicit TypeDetection(DetectedModule& detected) : detected_(detected) {}

    void TypeDecoded(const std::int32_t (&type)[2]) override;
    void VersionDecoded(const std::int32_t (&version)[4]) override;

private:
    DetectedModule& detected_;
};

}  // namespace netpod
