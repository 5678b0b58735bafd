// Decoding of the bodies of UDP read answers: the registers a module reports over
// UDP. The decoder keeps nothing: it hands what it finds to a sink, and the utility
// that asked (scan, initial TYPE test) decides what to make of it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "protocol/error_reporter.h"

namespace netpod {

// Register addresses that can appear in a UDP answer, with their value widths.
enum UdpRegister : std::uint8_t {
    kUdpRegisterType = 0x00,         // 4 bytes: two big-endian words
    kUdpRegisterVersion = 0x01,      // 4 bytes: see DecodeVersion
    kUdpRegisterEthernetMac = 0x11,  // 6 bytes
    kUdpRegisterModuleName = 0x15,   // 16 characters, not terminated
};

// The four VERSION bytes b0 b1 b2 b3 as four integers: b2, b3, b0, b1 when b0 is
// not zero; otherwise the words b0b1 and b2b3 followed by 0, 0.
void DecodeVersion(const std::uint8_t* bytes, std::int32_t* version);

// One module as an answer body describes it once its ETHERNETMAC arrives: what the
// same body held before the MAC (zero for what it did not hold) and the address of
// the datagram that carried it. `senderAddress` lives only for the sink's call.
struct UdpModuleRecord {
    std::int32_t type[2] = {0, 0};             // TYPE high word, low word
    std::int32_t version[4] = {0, 0, 0, 0};    // in the stored order of DecodeVersion
    std::int32_t mac[6] = {0, 0, 0, 0, 0, 0};  // one byte per value
    char name[16] = {};                        // MODULENAME as received
    std::string_view senderAddress;
    std::uint16_t senderPort = 0;
};

// Receives what the decoder finds, in the order of the body. Each call has a default
// that ignores it, so a utility overrides only what it uses.
class UdpAnswerSink {
public:
    // A TYPE value, as soon as it is decoded.
    virtual void TypeDecoded(const std::int32_t (&/*type*/)[2]) {}
    // A VERSION value, as soon as it is decoded.
    virtual void VersionDecoded(const std::int32_t (&/*version*/)[4]) {}
    // An ETHERNETMAC completed a module.
    virtual void ModuleDecoded(const UdpModuleRecord& /*module*/) {}

protected:
    UdpAnswerSink() = default;
    UdpAnswerSink(const UdpAnswerSink&) = default;
    UdpAnswerSink& operator=(const UdpAnswerSink&) = default;
    ~UdpAnswerSink() = default;
};

// Decodes one answer body item by item into `sink`. Every body starts from zero; an
// ETHERNETMAC completes a module with what this body held so far. An unknown register
// address is reported (with the sender's address as the IP text) and ends the
// decoding, as does a value that runs past the end of the body.
void ReceiveUDP_Data(std::span<const std::uint8_t> body, std::string_view senderAddress, std::uint16_t senderPort,
                     UdpAnswerSink& sink, ErrorReporter report);

}  // namespace netpod
