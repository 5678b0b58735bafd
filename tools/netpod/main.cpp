// netpod: find, inspect, poll and configure the modules from the command line.
#include <csignal>
#include <cstdio>
#include <string_view>
#include <vector>

#include "command_line.h"
#include "commands.h"
#include "module_session.h"

namespace {

void OnStopSignal(int /*signal*/) { netpod::tool::RequestStop(); }

void InstallSignalHandlers() {
    struct sigaction stop{};
    stop.sa_handler = OnStopSignal;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    // A reader that goes away (`netpod watch ... | head`) ends the output through a
    // failed write, so that the connection is still closed in order.
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace netpod::tool;
    std::vector<std::string_view> args(argv + 1, argv + argc);
    const auto line = ParseCommandLine(args);
    if (!line) {
        std::fprintf(stderr, "%s\n", line.error().c_str());
        return kExitUsage;
    }
    if (line->help) {
        std::fputs(HelpText(line->commandGiven ? std::optional(line->command) : std::nullopt).c_str(), stdout);
        return kExitSuccess;
    }
    InstallSignalHandlers();
    return RunCommand(*line);
}
