// The command line of the netpod-emulator program.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "netpod_emulator/emulator.h"

namespace netpod::emu {

struct ProgramOptions {
    ModuleConfig base;
    std::size_t modules = 1;
    bool broadcast = false;
    Faults faults;
    bool help = false;
};

// Nothing, with the reason in *error, for an unknown option, a missing value or a bad
// value. Arguments exclude the program name.
std::optional<ProgramOptions> ParseCommandLine(const std::vector<std::string>& args, std::string* error);

std::string UsageLine();
std::string HelpText();

}  // namespace netpod::emu
