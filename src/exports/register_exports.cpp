// The register exports: each checks its arguments and marks a read or stores a
// value to write; Qorvi_NETPOD_SendData_MAINPORT sends what is marked.
#include <cmath>
#include <cstring>
#include <string>

#include "exports/connection_handle.h"
#include "exports/export_support.h"
#include "protocol/ip_text.h"
#include "protocol/messages.h"
#include "protocol/request_marks.h"

namespace netpod {
namespace {

bool MarkRead(ComID com, const char* exportName, ReadFlagIndex flag) {
    const std::shared_ptr<CComManagement> c = RequireConnection(com, exportName);
    if (c == nullptr)
        return false;
    c->UpdateMarks([&](RequestMarks& m) {
        m.ReadFlags[flag] = true;
        m.ReadRequest = true;
    });
    return true;
}

bool MarkCounterRead(ComID com, const char* exportName, const char* registerName, ReadFlagIndex flag) {
    const std::shared_ptr<CComManagement> c = RequireConnection(com, exportName);
    if (c == nullptr)
        return false;
    if (!c->HasCounters()) {
        ReportFor(
            *c,
            std::string(messages::kCounterRegisterPrefix).append(registerName).append(messages::kCounterRegisterSuffix),
            exportName);
        return false;
    }
    c->UpdateMarks([&](RequestMarks& m) {
        m.ReadFlags[flag] = true;
        m.ReadRequest = true;
    });
    return true;
}

// A read that either goes out once with the next exchange or joins the
// repetitive-ask packet; the other list is left as it is.
bool MarkReadOrRepetitive(ComID com, const char* exportName, bool repetitive, ReadFlagIndex flag,
                          bool RequestMarks::*repetitiveFlag) {
    const std::shared_ptr<CComManagement> c = RequireConnection(com, exportName);
    if (c == nullptr)
        return false;
    c->UpdateMarks([&](RequestMarks& m) {
        if (repetitive) {
            m.*repetitiveFlag = true;
            m.RepetitiveAskRequest = true;
        } else {
            m.ReadFlags[flag] = true;
            m.ReadRequest = true;
        }
    });
    return true;
}

bool MarkCommand(ComID com, const char* exportName, bool WriteValues::*request) {
    const std::shared_ptr<CComManagement> c = RequireConnection(com, exportName);
    if (c == nullptr)
        return false;
    c->UpdateMarks([&](RequestMarks& m) {
        m.WriteValues.*request = true;
        m.WriteRequest = true;
    });
    return true;
}

// Stores a value and marks its write: value first, then the register's flag, then
// the kind flag, all under the marks lock so that no build sees half of it.
template <class Store>
bool MarkWrite(CComManagement& c, bool WriteValues::*request, Store&& store) {
    c.UpdateMarks([&](RequestMarks& m) {
        store(m.WriteValues);
        m.WriteValues.*request = true;
        m.WriteRequest = true;
    });
    return true;
}

}  // namespace
}  // namespace netpod

using namespace netpod;

#define NETPOD_READ_EXPORT(REG, FLAG)                                                                \
    extern "C" QORVI_NETPOD_API bool Qorvi_NETPOD_Read_##REG(ComID Com) {                            \
        return GuardedExport(false, [&] { return MarkRead(Com, "Qorvi_NETPOD_Read_" #REG, FLAG); }); \
    }                                                                                                \
    NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_Read_##REG)

NETPOD_READ_EXPORT(TYPE, kReadType)
NETPOD_READ_EXPORT(VERSION, kReadVersion)
NETPOD_READ_EXPORT(COMOPTIONS, kReadComOptions)
NETPOD_READ_EXPORT(ETHERNETMAC, kReadEthernetMac)
NETPOD_READ_EXPORT(IPADDRESS, kReadIpAddress)
NETPOD_READ_EXPORT(SUBNETMASK, kReadSubnetMask)
NETPOD_READ_EXPORT(TCPTIMEOUT, kReadTcpTimeout)
NETPOD_READ_EXPORT(MODULENAME, kReadModuleName)
NETPOD_READ_EXPORT(RS232CONFIG, kReadRs232Config)
NETPOD_READ_EXPORT(I2CSPD, kReadI2CSpeed)
NETPOD_READ_EXPORT(TCPCONNECTIONSOPENED, kReadTcpConnectionsOpened)
NETPOD_READ_EXPORT(ANALOGINPUTSTHRESHOLD, kReadAnalogInputsThreshold)
NETPOD_READ_EXPORT(OUTPUTS, kReadOutputs)

#define NETPOD_COUNTER_READ_EXPORT(REG, FLAG)                                                                     \
    extern "C" QORVI_NETPOD_API bool Qorvi_NETPOD_Read_##REG(ComID Com) {                                         \
        return GuardedExport(false, [&] { return MarkCounterRead(Com, "Qorvi_NETPOD_Read_" #REG, #REG, FLAG); }); \
    }                                                                                                             \
    NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_Read_##REG)

NETPOD_COUNTER_READ_EXPORT(NBPOWERUP, kReadNbPowerUp)
NETPOD_COUNTER_READ_EXPORT(TIMEINSERVICE, kReadTimeInService)

#define NETPOD_REPETITIVE_READ_EXPORT(REG, FLAG, MEMBER)                                                             \
    extern "C" QORVI_NETPOD_API bool Qorvi_NETPOD_Read_##REG(bool RepetitiveAsk, ComID Com) {                        \
        return GuardedExport(false, [&] {                                                                            \
            return MarkReadOrRepetitive(Com, "Qorvi_NETPOD_Read_" #REG, RepetitiveAsk, FLAG, &RequestMarks::MEMBER); \
        });                                                                                                          \
    }                                                                                                                \
    NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_Read_##REG)

NETPOD_REPETITIVE_READ_EXPORT(VOLTAGE, kReadVoltage, RepetitiveVOLTAGE)
NETPOD_REPETITIVE_READ_EXPORT(WARNINGS, kReadWarnings, RepetitiveWARNINGS)
NETPOD_REPETITIVE_READ_EXPORT(INPUTS, kReadInputs, RepetitiveINPUTS)

#define NETPOD_COMMAND_EXPORT(NAME, EXPORTED_AS, MEMBER)                                                           \
    extern "C" QORVI_NETPOD_API bool Qorvi_NETPOD_##NAME(ComID Com) {                                              \
        return GuardedExport(false,                                                                                \
                             [&] { return MarkCommand(Com, "Qorvi_NETPOD_" EXPORTED_AS, &WriteValues::MEMBER); }); \
    }                                                                                                              \
    NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_##NAME)

NETPOD_COMMAND_EXPORT(Write_RESETCPU, "Write_RESETCPU", ResetCPURequest)
NETPOD_COMMAND_EXPORT(Write_SAVEUSERPARAMETERS, "Write_SAVEUSERPARAMETERS", SaveUserParametersRequest)
NETPOD_COMMAND_EXPORT(Write_RESTOREUSERPARAMETERS, "Write_RESTOREUSERPARAMETERS", RestoreUserParametersRequest)
NETPOD_COMMAND_EXPORT(Write_RESTOREFACTORYPARAMETERS, "Write_RESTOREFACTORYPARAMETERS", RestoreFactoryParametersRequest)
NETPOD_COMMAND_EXPORT(Write_SAVEFACTORYPARAMETERS, "Write_SAVEFACTORYPARAMETERS", SaveFactoryParametersRequest)

extern "C" {

QORVI_NETPOD_API bool Qorvi_NETPOD_Read_INPUTVOLTAGEVALUE(int32_t InputNb, bool RepetitiveAsk, ComID Com) {
    return GuardedExport(false, [&] {
        const std::shared_ptr<CComManagement> c = RequireConnection(Com, "Qorvi_NETPOD_Read_INPUTVOLTAGEVALUE");
        if (c == nullptr)
            return false;
        if (InputNb < 0 || InputNb > 15) {
            WriteErrorLog(messages::kInputNumberNotValid, kNoIpText);
            return false;
        }
        c->UpdateMarks([&](RequestMarks& m) {
            if (RepetitiveAsk) {
                m.RepetitiveInputVoltage[InputNb] = true;
                m.RepetitiveAskRequest = true;
            } else {
                m.ReadInputVoltage[InputNb] = true;
                m.ReadRequest = true;
            }
        });
        return true;
    });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_Read_ALL_INPUTVOLTAGEVALUE(bool RepetitiveAsk, ComID Com) {
    return GuardedExport(false, [&] {
        const std::shared_ptr<CComManagement> c = RequireConnection(Com, "Qorvi_NETPOD_Read_ALL_INPUTVOLTAGEVALUE");
        if (c == nullptr)
            return false;
        c->UpdateMarks([&](RequestMarks& m) {
            for (int n = 0; n < kInputVoltageCount; ++n)
                (RepetitiveAsk ? m.RepetitiveInputVoltage : m.ReadInputVoltage)[n] = true;
            (RepetitiveAsk ? m.RepetitiveAskRequest : m.ReadRequest) = true;
        });
        return true;
    });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_Reset_WARNINGS(ComID Com) {
    return GuardedExport(false, [&] {
        // Reported under the name of the write it stands for.
        const std::shared_ptr<CComManagement> c = RequireConnection(Com, "Qorvi_NETPOD_Write_WARNINGS");
        if (c == nullptr)
            return false;
        return MarkWrite(*c, &WriteValues::WarningsRequest,
                         [](WriteValues& w) { std::memset(w.WarningsValue, 0, sizeof w.WarningsValue); });
    });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_Write_COMOPTIONS(const bool* ComOpt, ComID Com) {
    return GuardedExport(false, [&] {
        const std::shared_ptr<CComManagement> c = RequireConnection(Com, "Qorvi_NETPOD_Write_COMOPTIONS");
        if (c == nullptr)
            return false;
        if (ComOpt == nullptr) {
            ReportFor(*c, messages::kComOptionsNull, "Qorvi_NETPOD_Write_COMOPTIONS");
            return false;
        }
        return MarkWrite(*c, &WriteValues::ComOptionsRequest,
                         [&](WriteValues& w) { std::memcpy(w.ComOptionsValue, ComOpt, sizeof w.ComOptionsValue); });
    });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_Write_IPADDRESS(const int32_t* IPAdd, ComID Com) {
    return GuardedExport(false, [&] {
        const std::shared_ptr<CComManagement> c = RequireConnection(Com, "Qorvi_NETPOD_Write_IPADDRESS");
        if (c == nullptr)
            return false;
        if (IPAdd == nullptr) {
            ReportFor(*c, messages::kIpAddressNull, "Qorvi_NETPOD_Write_IPADDRESS");
            return false;
        }
        if (!AllInByteRange(IPAdd, 4)) {
            ReportFor(*c, messages::kAddressNotValid, "Qorvi_NETPOD_Write_IPADDRESS");
            return false;
        }
        return MarkWrite(*c, &WriteValues::IPAddressRequest,
                         [&](WriteValues& w) { std::memcpy(w.IPAddressValue, IPAdd, sizeof w.IPAddressValue); });
    });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_Write_SUBNETMASK(const int32_t* SubnetMask, ComID Com) {
    return GuardedExport(false, [&] {
        const std::shared_ptr<CComManagement> c = RequireConnection(Com, "Qorvi_NETPOD_Write_SUBNETMASK");
        if (c == nullptr)
            return false;
        if (SubnetMask == nullptr) {
            ReportFor(*c, messages::kSubnetMaskNull, "Qorvi_NETPOD_Write_SUBNETMASK");
            return false;
        }
        if (!AllInByteRange(SubnetMask, 4)) {
            ReportFor(*c, messages::kSubnetMaskNotValid, "Qorvi_NETPOD_Write_SUBNETMASK");
            return false;
        }
        return MarkWrite(*c, &WriteValues::SubnetMaskRequest,
                         [&](WriteValues& w) { std::memcpy(w.SubnetMaskValue, SubnetMask, sizeof w.SubnetMaskValue); });
    });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_Write_TCPTIMEOUT(int32_t TimeOut, ComID Com) {
    return GuardedExport(false, [&] {
        const std::shared_ptr<CComManagement> c = RequireConnection(Com, "Qorvi_NETPOD_Write_TCPTIMEOUT");
        if (c == nullptr)
            return false;
        if (TimeOut < 0 || TimeOut > 255) {
            ReportFor(*c, messages::kTcpTimeoutNotValid, "Qorvi_NETPOD_Write_TCPTIMEOUT");
            return false;
        }
        return MarkWrite(*c, &WriteValues::TCPTimeoutRequest, [&](WriteValues& w) { w.TCPTimeoutValue = TimeOut; });
    });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_Write_MODULENAME(const char* Name, ComID Com) {
    return GuardedExport(false, [&] {
        const std::shared_ptr<CComManagement> c = RequireConnection(Com, "Qorvi_NETPOD_Write_MODULENAME");
        if (c == nullptr)
            return false;
        if (Name == nullptr) {
            ReportFor(*c, messages::kNameNull, "Qorvi_NETPOD_Write_MODULENAME");
            return false;
        }
        // Exactly sixteen bytes, whatever they hold: the name has no terminator.
        return MarkWrite(*c, &WriteValues::ModuleNameRequest,
                         [&](WriteValues& w) { std::memcpy(w.ModuleNameValue, Name, sizeof w.ModuleNameValue); });
    });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_Write_RS232CONFIG(int32_t Config, ComID Com) {
    return GuardedExport(false, [&] {
        const std::shared_ptr<CComManagement> c = RequireConnection(Com, "Qorvi_NETPOD_Write_RS232CONFIG");
        if (c == nullptr)
            return false;
        if (!((Config >= 0 && Config <= 7) || (Config >= 128 && Config <= 135))) {
            ReportFor(*c, messages::kRs232ConfigNotValid, "Qorvi_NETPOD_Write_RS232CONFIG");
            return false;
        }
        return MarkWrite(*c, &WriteValues::RS232ConfigRequest, [&](WriteValues& w) { w.RS232ConfigValue = Config; });
    });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_Write_I2CSPD(int32_t Speed, ComID Com) {
    return GuardedExport(false, [&] {
        const std::shared_ptr<CComManagement> c = RequireConnection(Com, "Qorvi_NETPOD_Write_I2CSPD");
        if (c == nullptr)
            return false;
        if (Speed != 24 && Speed != 99) {
            ReportFor(*c, messages::kI2CSpeedNotValid, "Qorvi_NETPOD_Write_I2CSPD");
            return false;
        }
        return MarkWrite(*c, &WriteValues::I2CSpeedRequest, [&](WriteValues& w) { w.I2CSpeedValue = Speed; });
    });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_Write_ANALOGINPUTSTHRESHOLD(float Threshold, ComID Com) {
    return GuardedExport(false, [&] {
        const std::shared_ptr<CComManagement> c = RequireConnection(Com, "Qorvi_NETPOD_Write_ANALOGINPUTSTHRESHOLD");
        if (c == nullptr)
            return false;
        // Written so that a NaN fails the first comparison.
        if (!(Threshold >= -12.0f) || Threshold > 12.0f) {
            ReportFor(*c, messages::kThresholdNotValid, "Qorvi_NETPOD_Write_ANALOGINPUTSTHRESHOLD");
            return false;
        }
        return MarkWrite(*c, &WriteValues::AnalogInputsThresholdRequest,
                         [&](WriteValues& w) { w.AnalogInputsThresholdValue = Threshold; });
    });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_Write_OUTPUTS(const bool* Outputs, ComID Com) {
    return GuardedExport(false, [&] {
        const std::shared_ptr<CComManagement> c = RequireConnection(Com, "Qorvi_NETPOD_Write_OUTPUTS");
        if (c == nullptr)
            return false;
        if (Outputs == nullptr) {
            ReportFor(*c, messages::kOutputsNull, "Qorvi_NETPOD_Write_OUTPUTS");
            return false;
        }
        return MarkWrite(*c, &WriteValues::OutputsRequest,
                         [&](WriteValues& w) { std::memcpy(w.OutputsValue, Outputs, sizeof w.OutputsValue); });
    });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_Read_AllRegister(ComID Com) {
    return GuardedExport(false, [&] {
        const std::shared_ptr<CComManagement> c = RequireConnection(Com, "Qorvi_NETPOD_Read_AllRegister");
        if (c == nullptr)
            return false;
        // NBPOWERUP and TIMEINSERVICE are included without the firmware condition.
        c->UpdateMarks([](RequestMarks& m) {
            std::fill(std::begin(m.ReadFlags), std::end(m.ReadFlags), true);
            std::fill(std::begin(m.ReadInputVoltage), std::end(m.ReadInputVoltage), true);
            m.ReadRequest = true;
        });
        return true;
    });
}

QORVI_NETPOD_API bool Qorvi_NETPOD_ResetAllRegisterRead(ComID Com) {
    return GuardedExport(false, [&] {
        const std::shared_ptr<CComManagement> c = RequireConnection(Com, "Qorvi_NETPOD_ResetAllRegisterRead");
        if (c == nullptr)
            return false;
        // Writes, the repetitive list and I2C requests stay pending.
        c->UpdateMarks([](RequestMarks& m) {
            std::fill(std::begin(m.ReadFlags), std::end(m.ReadFlags), false);
            std::fill(std::begin(m.ReadInputVoltage), std::end(m.ReadInputVoltage), false);
            m.ReadRequest = false;
        });
        return true;
    });
}

}  // extern "C"

NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_Read_INPUTVOLTAGEVALUE)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_Read_ALL_INPUTVOLTAGEVALUE)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_Reset_WARNINGS)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_Write_COMOPTIONS)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_Write_IPADDRESS)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_Write_SUBNETMASK)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_Write_TCPTIMEOUT)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_Write_MODULENAME)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_Write_RS232CONFIG)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_Write_I2CSPD)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_Write_ANALOGINPUTSTHRESHOLD)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_Write_OUTPUTS)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_Read_AllRegister)
NETPOD_EXPORT_ALIAS(Qorvi_NETPOD_ResetAllRegisterRead)
