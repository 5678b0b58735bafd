#include "emulated_module.h"

#include <net/if.h>

#include <cstdio>

#include "netpod_emulator/emulator.h"

namespace netpod::tool {

std::unique_ptr<EmulatedModule> EmulatedModule::Start(bool answerBroadcast, std::string& error) {
    if (answerBroadcast && !OnlyLoopbackInterfaces()) {
        error = "--emulate with a command that broadcasts runs only where loopback is the one network "
                "interface (for example under `unshare --net`), so that nothing reaches a real network";
        return nullptr;
    }
    std::unique_ptr<EmulatedModule> module(new EmulatedModule);
    std::string why;
    module->emulator_ = emu::StartOnFreeLoopback({}, 1, &why, answerBroadcast);
    if (!module->emulator_) {
        error = "cannot start the emulated module: " + why;
        return nullptr;
    }
    const auto address = ParseDottedQuad(module->emulator_->config(0).address);
    if (!address) {
        error = "the emulated module has no usable address";
        return nullptr;
    }
    module->address_ = *address;
    return module;
}

EmulatedModule::~EmulatedModule() {
    if (emulator_)
        emulator_->stop();
}

std::string EmulatedModule::mac() const {
    const auto& mac = emulator_->config(0).mac;
    char text[32];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
                  mac[5]);
    return text;
}

bool OnlyLoopbackInterfaces() {
    struct if_nameindex* list = if_nameindex();
    if (list == nullptr)
        return false;
    bool onlyLoopback = true;
    for (auto* i = list; i->if_index != 0; ++i)
        if (std::string(i->if_name) != "lo")
            onlyLoopback = false;
    if_freenameindex(list);
    return onlyLoopback;
}

}  // namespace netpod::tool
