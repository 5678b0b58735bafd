// The subcommands of `netpod`, each run to its end and turned into an exit status:
// 0 success, 1 a failure (the library's last error or the tool's own reason is on
// standard error).
#pragma once

#include "command_line.h"

namespace netpod::tool {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

int RunCommand(const CommandLine& line);

}  // namespace netpod::tool
