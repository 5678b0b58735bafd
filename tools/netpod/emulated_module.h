// `--emulate`: a module played inside the tool, on a free loopback address, so that
// every command can be tried without hardware.
#pragma once

#include <memory>
#include <string>

#include "value_parsing.h"

namespace netpod::emu {
class Emulator;
}

namespace netpod::tool {

class EmulatedModule {
public:
    // Starts the module. `answerBroadcast` is for scan and set-ip, which broadcast:
    // they are allowed only where loopback is the one network interface (a private
    // network namespace), so that nothing is ever broadcast onto a real network.
    static std::unique_ptr<EmulatedModule> Start(bool answerBroadcast, std::string& error);
    ~EmulatedModule();

    DottedQuad address() const { return address_; }
    std::string mac() const;

private:
    EmulatedModule() = default;
    std::unique_ptr<emu::Emulator> emulator_;
    DottedQuad address_{};
};

// True when loopback is the only network interface of this process.
bool OnlyLoopbackInterfaces();

}  // namespace netpod::tool
