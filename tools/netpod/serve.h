// `netpod serve`: a live page of one module in the browser, over HTTP.
#pragma once

#include "command_line.h"

namespace netpod::tool {

// Runs until SIGINT or SIGTERM; returns the tool's exit status.
int RunServe(const DottedQuad& address, const CommandLine& line);

}  // namespace netpod::tool
