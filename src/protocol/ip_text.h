// Addresses as they cross the export boundary (one int32 per byte) and their dotted
// decimal texts, as the log and the sockets use them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace netpod {

// The IP text of what concerns no particular address.
inline constexpr std::string_view kNoIpText = "0";

// The four values in decimal joined by dots, each written as a signed number and
// unchanged when out of range (300.1.2.3, -1.0.0.0), so that a log entry shows
// exactly what the caller passed.
std::string DottedIPText(const std::int32_t* values);

// Splits a dotted text into `values`: the pieces before the first, second and third
// dots go into values[0..2], everything after the third dot into values[3]. An empty
// piece gives -1, so does a piece that is not a decimal number; values without a
// piece (fewer than three dots) keep what they held.
void ParseIPText(std::string_view text, std::int32_t* values);

// True when each of the `count` values holds one byte (0 to 255), as every address,
// mask and MAC value that an application passes must.
bool AllInByteRange(const std::int32_t* values, std::size_t count);

}  // namespace netpod
