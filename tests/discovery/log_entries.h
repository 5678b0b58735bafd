// Reads back the error log, to check the IP text that goes only into the file.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "diagnostics/error_log.h"

namespace netpod::test {

// True when the log holds an entry with this IP text and message. Tests running in
// parallel share the file, so a test looks for its own entry, never for the last one.
inline bool LogHasEntry(std::string_view ipText, std::string_view message) {
    std::ifstream file(ErrorLogPath(), std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    std::string entry = FormatIpColumn(ipText);
    entry.append(message).append("\r\n");
    return content.str().find(entry) != std::string::npos;
}

}  // namespace netpod::test
