// How protocol code reports what went wrong. It never writes the error log itself:
// the layer that owns a connection or an exchange hands it a reporter, which in the
// library is the error log's writer and in tests and fuzz harnesses whatever they
// need.
#pragma once

#include <string_view>

namespace netpod {

// The message and the IP text of the entry. The result (whether the entry reached a
// file) is of no interest to protocol code.
using ErrorReporter = bool (*)(std::string_view message, std::string_view ipText);

inline void Report(ErrorReporter report, std::string_view message, std::string_view ipText) {
    if (report != nullptr)
        report(message, ipText);
}

}  // namespace netpod
