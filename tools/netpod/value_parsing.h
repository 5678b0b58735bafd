// Values in the forms people type on the command line.
//
// These functions check the form only. Where the library has a rule of its own for a
// value (an address part above 255, a TCP time-out of 300, a threshold of 13 V), the
// value is passed on unchanged so that the library refuses it with its own message;
// the tool refuses only what the library could not even be given, such as output 16.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <variant>
#include <vector>

#include "parsed.h"
#include "register_names.h"

namespace netpod::tool {

using DottedQuad = std::array<int32_t, 4>;
using MacAddress = std::array<int32_t, 6>;
using ModuleNameBytes = std::array<char, 16>;

// A decimal integer with an optional sign, or a hexadecimal one after "0x"; must
// fit in 32 signed bits.
Parsed<int32_t> ParseInteger(std::string_view text);

// A decimal number such as "1.5" or "-12"; "nan" is accepted and left to the library.
Parsed<float> ParseFloat(std::string_view text);

// Four integers joined by dots: "192.168.0.20". The parts are not limited to 0..255
// here (the library checks them).
Parsed<DottedQuad> ParseDottedQuad(std::string_view text);

// Six hexadecimal bytes joined by ':' or '-': "02:00:00:00:00:01".
Parsed<MacAddress> ParseMac(std::string_view text);

// Hexadecimal bytes: "a0 00 10", "a00010", "0xa0,0x00,0x10" or "a0:00:10".
Parsed<std::vector<uint8_t>> ParseHexBytes(std::string_view text);

// A set of `count` numbered flags: numbers and ranges ("0,9", "0-3,12"), a mask
// ("0x0201", "0b1000000001"; bit k is flag k), "none" or "" (all off) or "all".
Parsed<std::vector<bool>> ParseFlagSet(std::string_view text, int count);

// At most 16 characters, padded with zero bytes. One pair of surrounding double
// quotes is removed, for values that reach the tool still quoted.
Parsed<ModuleNameBytes> ParseModuleName(std::string_view text);

// Where an HTTP server listens: an IPv4 address (or "localhost") and a port,
// "127.0.0.1:8080"; port 0 lets the system choose a free one.
struct ListenAddress {
    DottedQuad host{127, 0, 0, 1};
    int port = 8080;
    friend bool operator==(const ListenAddress&, const ListenAddress&) = default;
};
Parsed<ListenAddress> ParseListenAddress(std::string_view text);

// The value of one write. monostate: a command, or the clearing of the warnings.
using WriteValue = std::variant<std::monostate, std::vector<bool>, DottedQuad, int32_t, float, ModuleNameBytes>;

struct WriteItem {
    RegisterRef target;
    WriteValue value;
};

// "outputs=0,9", "name=line 3", "threshold=1.5", "ip=192.168.0.20", "reset-cpu".
Parsed<WriteItem> ParseWriteItem(std::string_view text);

}  // namespace netpod::tool
