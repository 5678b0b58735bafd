#include "register_access.h"

#include <array>
#include <vector>

namespace netpod::tool {
namespace {

// The library takes flags as arrays of one-byte booleans.
template <std::size_t N>
std::array<bool, N> FlagArray(const WriteValue& value) {
    const auto& list = std::get<std::vector<bool>>(value);
    std::array<bool, N> flags{};
    for (std::size_t k = 0; k < N && k < list.size(); ++k)
        flags[k] = list[k];
    return flags;
}

}  // namespace

bool MarkRead(RegisterRef ref, ComID com) {
    switch (ref.reg) {
    case Register::Type: return Qorvi_NETPOD_Read_TYPE(com);
    case Register::Version: return Qorvi_NETPOD_Read_VERSION(com);
    case Register::Voltage: return Qorvi_NETPOD_Read_VOLTAGE(false, com);
    case Register::Warnings: return Qorvi_NETPOD_Read_WARNINGS(false, com);
    case Register::PowerUps: return Qorvi_NETPOD_Read_NBPOWERUP(com);
    case Register::TimeInService: return Qorvi_NETPOD_Read_TIMEINSERVICE(com);
    case Register::ComOptions: return Qorvi_NETPOD_Read_COMOPTIONS(com);
    case Register::Mac: return Qorvi_NETPOD_Read_ETHERNETMAC(com);
    case Register::Ip: return Qorvi_NETPOD_Read_IPADDRESS(com);
    case Register::Mask: return Qorvi_NETPOD_Read_SUBNETMASK(com);
    case Register::TcpTimeout: return Qorvi_NETPOD_Read_TCPTIMEOUT(com);
    case Register::Name: return Qorvi_NETPOD_Read_MODULENAME(com);
    case Register::Rs232Config: return Qorvi_NETPOD_Read_RS232CONFIG(com);
    case Register::I2cSpeed: return Qorvi_NETPOD_Read_I2CSPD(com);
    case Register::Connections: return Qorvi_NETPOD_Read_TCPCONNECTIONSOPENED(com);
    case Register::Threshold: return Qorvi_NETPOD_Read_ANALOGINPUTSTHRESHOLD(com);
    case Register::Outputs: return Qorvi_NETPOD_Read_OUTPUTS(com);
    case Register::Inputs: return Qorvi_NETPOD_Read_INPUTS(false, com);
    case Register::InputVoltage:
        return ref.index >= 0 ? Qorvi_NETPOD_Read_INPUTVOLTAGEVALUE(ref.index, false, com)
                              : Qorvi_NETPOD_Read_ALL_INPUTVOLTAGEVALUE(false, com);
    default: return false;
    }
}

bool MarkRepetitive(RegisterRef ref, ComID com) {
    switch (ref.reg) {
    case Register::Voltage: return Qorvi_NETPOD_Read_VOLTAGE(true, com);
    case Register::Warnings: return Qorvi_NETPOD_Read_WARNINGS(true, com);
    case Register::Inputs: return Qorvi_NETPOD_Read_INPUTS(true, com);
    case Register::InputVoltage:
        return ref.index >= 0 ? Qorvi_NETPOD_Read_INPUTVOLTAGEVALUE(ref.index, true, com)
                              : Qorvi_NETPOD_Read_ALL_INPUTVOLTAGEVALUE(true, com);
    default: return false;
    }
}

bool MarkWrite(const WriteItem& item, ComID com) {
    const WriteValue& value = item.value;
    switch (item.target.reg) {
    case Register::Warnings: return Qorvi_NETPOD_Reset_WARNINGS(com);
    case Register::ComOptions: return Qorvi_NETPOD_Write_COMOPTIONS(FlagArray<32>(value).data(), com);
    case Register::Outputs: return Qorvi_NETPOD_Write_OUTPUTS(FlagArray<16>(value).data(), com);
    case Register::Ip: return Qorvi_NETPOD_Write_IPADDRESS(std::get<DottedQuad>(value).data(), com);
    case Register::Mask: return Qorvi_NETPOD_Write_SUBNETMASK(std::get<DottedQuad>(value).data(), com);
    case Register::TcpTimeout: return Qorvi_NETPOD_Write_TCPTIMEOUT(std::get<int32_t>(value), com);
    case Register::Name: return Qorvi_NETPOD_Write_MODULENAME(std::get<ModuleNameBytes>(value).data(), com);
    case Register::Rs232Config: return Qorvi_NETPOD_Write_RS232CONFIG(std::get<int32_t>(value), com);
    case Register::I2cSpeed: return Qorvi_NETPOD_Write_I2CSPD(std::get<int32_t>(value), com);
    case Register::Threshold: return Qorvi_NETPOD_Write_ANALOGINPUTSTHRESHOLD(std::get<float>(value), com);
    case Register::ResetCpu: return Qorvi_NETPOD_Write_RESETCPU(com);
    case Register::SaveUserParameters: return Qorvi_NETPOD_Write_SAVEUSERPARAMETERS(com);
    case Register::RestoreUserParameters: return Qorvi_NETPOD_Write_RESTOREUSERPARAMETERS(com);
    case Register::RestoreFactoryParameters: return Qorvi_NETPOD_Write_RESTOREFACTORYPARAMETERS(com);
    case Register::SaveFactoryParameters: return Qorvi_NETPOD_Write_SAVEFACTORYPARAMETERS(com);
    default: return false;
    }
}

bool WrittenIn(const WriteItem& item, const RegisterValues& v) {
    switch (item.target.reg) {
    case Register::Warnings: return v.WarningsWritten;
    case Register::ComOptions: return v.ComOptionsWritten;
    case Register::Outputs: return v.OutputsWritten;
    case Register::Ip: return v.IPAddressWritten;
    case Register::Mask: return v.SubnetMaskWritten;
    case Register::TcpTimeout: return v.TCPTimeoutWritten;
    case Register::Name: return v.ModuleNameWritten;
    case Register::Rs232Config: return v.RS232ConfigWritten;
    case Register::I2cSpeed: return v.I2CSpeedWritten;
    case Register::Threshold: return v.AnalogInputsThresholdWritten;
    case Register::ResetCpu: return v.ResetCPUWritten;
    case Register::SaveUserParameters: return v.SaveUserParametersWritten;
    case Register::RestoreUserParameters: return v.RestoreUserParametersWritten;
    case Register::RestoreFactoryParameters: return v.RestoreFactoryParametersWritten;
    case Register::SaveFactoryParameters: return v.SaveFactoryParametersWritten;
    default: return false;
    }
}

}  // namespace netpod::tool
