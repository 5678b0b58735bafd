#include "register_names.h"

#include <array>
#include <cctype>
#include <charconv>

namespace netpod::tool {
namespace {

constexpr std::array<RegisterInfo, 24> kRegisters{{
    // reg, name, alias, readable, writable, watchable, command, valueHelp
    {Register::Type, "type", "TYPE", true, false, false, false, ""},
    {Register::Version, "version", "VERSION", true, false, false, false, ""},
    {Register::Voltage, "voltage", "VOLTAGE", true, false, true, false, ""},
    {Register::Warnings, "warnings", "WARNINGS", true, true, true, false,
     "0 or reset (warnings can only be cleared)"},
    {Register::PowerUps, "power-ups", "NBPOWERUP", true, false, false, false, ""},
    {Register::TimeInService, "time-in-service", "TIMEINSERVICE", true, false, false, false, ""},
    {Register::ComOptions, "com-options", "COMOPTIONS", true, true, false, false,
     "flag numbers 0-31 (\"0,5,8-10\"), a mask (\"0x00000121\"), none or all"},
    {Register::Mac, "mac", "ETHERNETMAC", true, false, false, false, ""},
    {Register::Ip, "ip", "IPADDRESS", true, true, false, false, "a dotted address (\"192.168.0.20\")"},
    {Register::Mask, "mask", "SUBNETMASK", true, true, false, false, "a dotted mask (\"255.255.255.0\")"},
    {Register::TcpTimeout, "tcp-timeout", "TCPTIMEOUT", true, true, false, false, "an integer, 0 to 255"},
    {Register::Name, "name", "MODULENAME", true, true, false, false, "a text of at most 16 characters"},
    {Register::Rs232Config, "rs232-config", "RS232CONFIG", true, true, false, false,
     "an integer, 0 to 7 or 128 to 135"},
    {Register::I2cSpeed, "i2c-speed", "I2CSPD", true, true, false, false, "24 or 99"},
    {Register::Connections, "tcp-connections", "TCPCONNECTIONSOPENED", true, false, false, false, ""},
    {Register::Threshold, "threshold", "ANALOGINPUTSTHRESHOLD", true, true, false, false,
     "volts, -12.0 to 12.0 (\"1.5\")"},
    {Register::Outputs, "outputs", "OUTPUTS", true, true, false, false,
     "output numbers 0-15 that are on (\"0,9\", \"0-3\"), a mask (\"0x0201\"), none or all"},
    {Register::Inputs, "inputs", "INPUTS", true, false, true, false, ""},
    {Register::InputVoltage, "input-voltages", "INPUTVOLTAGEVALUE", true, false, true, false, ""},
    {Register::ResetCpu, "reset-cpu", "RESETCPU", false, true, false, true, ""},
    {Register::SaveUserParameters, "save-user-parameters", "SAVEUSERPARAMETERS", false, true, false, true, ""},
    {Register::RestoreUserParameters, "restore-user-parameters", "RESTOREUSERPARAMETERS", false, true, false,
     true, ""},
    {Register::RestoreFactoryParameters, "restore-factory-parameters", "RESTOREFACTORYPARAMETERS", false, true,
     false, true, ""},
    {Register::SaveFactoryParameters, "save-factory-parameters", "SAVEFACTORYPARAMETERS", false, true, false,
     true, ""},
}};

constexpr bool TableFollowsEnumOrder() {
    for (std::size_t i = 0; i < kRegisters.size(); ++i)
        if (static_cast<std::size_t>(kRegisters[i].reg) != i)
            return false;
    return true;
}
static_assert(TableFollowsEnumOrder(), "InfoOf indexes the table by the enum value");

// Lower case without '-' and '_', so that every spelling of a name compares equal.
std::string Folded(std::string_view text) {
    std::string folded;
    for (const char c : text) {
        if (c == '-' || c == '_')
            continue;
        folded.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return folded;
}

}  // namespace

std::span<const RegisterInfo> AllRegisters() { return kRegisters; }

const RegisterInfo& InfoOf(Register reg) { return kRegisters.at(static_cast<std::size_t>(reg)); }

Parsed<RegisterRef> FindRegister(std::string_view text) {
    // One input voltage: "input-voltage.N" (also "inputvoltagevalue.N").
    if (const auto dot = text.find('.'); dot != std::string_view::npos) {
        const std::string base = Folded(text.substr(0, dot));
        if (base == "inputvoltage" || base == "inputvoltages" || base == "inputvoltagevalue") {
            const std::string_view number = text.substr(dot + 1);
            int index = -1;
            const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), index);
            if (ec != std::errc() || end != number.data() + number.size() || number.empty() || index < 0 ||
                index > 15)
                return Parsed<RegisterRef>::Error("input number in '" + std::string(text) +
                                                  "' must be 0 to 15");
            return RegisterRef{Register::InputVoltage, index};
        }
    }
    const std::string folded = Folded(text);
    if (!folded.empty()) {
        for (const RegisterInfo& info : kRegisters) {
            if (folded == Folded(info.name) || folded == Folded(info.alias))
                return RegisterRef{info.reg, -1};
        }
        // Short and singular spellings people reach for.
        if (folded == "inputvoltage")
            return RegisterRef{Register::InputVoltage, -1};
        if (folded == "modulename")
            return RegisterRef{Register::Name, -1};
        if (folded == "subnetmask")
            return RegisterRef{Register::Mask, -1};
        if (folded == "ipaddress")
            return RegisterRef{Register::Ip, -1};
    }
    return Parsed<RegisterRef>::Error("unknown register '" + std::string(text) + "'");
}

std::string DisplayName(RegisterRef ref) {
    if (ref.reg == Register::InputVoltage && ref.index >= 0)
        return "input-voltage." + std::to_string(ref.index);
    return std::string(InfoOf(ref.reg).name);
}

}  // namespace netpod::tool
