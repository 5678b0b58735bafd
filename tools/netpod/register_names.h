// The names under which the tool's user reaches the module's registers and commands.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "parsed.h"

namespace netpod::tool {

enum class Register {
    Type,
    Version,
    Voltage,
    Warnings,
    PowerUps,
    TimeInService,
    ComOptions,
    Mac,
    Ip,
    Mask,
    TcpTimeout,
    Name,
    Rs232Config,
    I2cSpeed,
    Connections,
    Threshold,
    Outputs,
    Inputs,
    InputVoltage,
    ResetCpu,
    SaveUserParameters,
    RestoreUserParameters,
    RestoreFactoryParameters,
    SaveFactoryParameters,
};

// What can be done with a register from the command line.
struct RegisterInfo {
    Register reg;
    std::string_view name;       // the name shown in reports and help
    std::string_view alias;      // the register's name on the module, accepted too
    bool readable;
    bool writable;               // takes NAME=VALUE
    bool watchable;              // can be polled by the repetitive ask
    bool command;                // written without a value (reset-cpu, ...)
    std::string_view valueHelp;  // the value forms accepted by `write`
};

// One register as named by the user; `index` picks one input voltage (0 to 15), or
// is -1 for all sixteen.
struct RegisterRef {
    Register reg;
    int index = -1;
    friend bool operator==(const RegisterRef&, const RegisterRef&) = default;
};

std::span<const RegisterInfo> AllRegisters();
const RegisterInfo& InfoOf(Register reg);

// Finds a register by name, ignoring case, '-' and '_' ("TCP_TIMEOUT", "tcp-timeout"
// and "tcptimeout" are one register). One input voltage is named "input-voltage.N".
Parsed<RegisterRef> FindRegister(std::string_view text);

// "outputs", "input-voltages", "input-voltage.3".
std::string DisplayName(RegisterRef ref);

}  // namespace netpod::tool
