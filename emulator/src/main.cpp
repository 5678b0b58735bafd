// netpod-emulator: plays Ethernet I/O modules on loopback until SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "command_line.h"
#include "netpod_emulator/emulator.h"

int main(int argc, char** argv) {
    using namespace netpod::emu;
    std::string error;
    const auto options = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), &error);
    if (!options) {
        std::cerr << "netpod-emulator: " << error << "\n" << UsageLine() << std::endl;
        return 2;
    }
    if (options->help) {
        std::cout << HelpText() << std::flush;
        return 0;
    }

    // The signals are taken by sigwait below; blocking them before the I/O thread
    // starts keeps them away from it.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::vector<ModuleConfig> modules;
    for (std::size_t i = 0; i < options->modules; ++i)
        modules.push_back(NthModule(options->base, i));
    Emulator emulator(modules, options->broadcast);
    for (std::size_t i = 0; i < modules.size(); ++i)
        emulator.setFaults(i, options->faults);
    if (!emulator.start(&error)) {
        std::cerr << "netpod-emulator: " << error << std::endl;
        return 1;
    }

    std::string line = "ready modules=" + std::to_string(modules.size()) + " address=";
    for (std::size_t i = 0; i < modules.size(); ++i)
        line += (i == 0 ? "" : ",") + modules[i].address;
    if (options->base.serialPty) {
        line += " pty=";
        for (std::size_t i = 0; i < modules.size(); ++i)
            line += (i == 0 ? "" : ",") + emulator.ptyPath(i);
    }
    std::cout << line << std::endl;

    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) {
    }
    emulator.stop();
    return 0;
}
