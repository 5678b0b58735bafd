// The requests that the exports mark on a connection and that packet building turns
// into Ostrak packets. Plain data: the connection manager owns one RequestMarks and
// guards it with its own lock (the exports write it, the senders build from it).
#pragma once

#include <cstdint>

#include "protocol/register_map.h"

namespace netpod {

inline constexpr int kMaxI2CDataLength = 180;

// Values waiting to be written, each with the flag that requests its write. A write
// export stores the value first and sets the flag after it. The flag groups are kept
// as the raw bytes the application passed: a group of 32 packs the lowest bit of each
// byte, OUTPUTS packs "non-zero", and a byte array keeps both rules well defined
// whatever the application's bytes hold.
struct WriteValues {
    bool ResetCPURequest = false;
    bool SaveUserParametersRequest = false;
    bool RestoreUserParametersRequest = false;
    bool RestoreFactoryParametersRequest = false;
    bool SaveFactoryParametersRequest = false;
    std::uint8_t WarningsValue[32] = {};
    bool WarningsRequest = false;
    std::uint8_t ComOptionsValue[32] = {};
    bool ComOptionsRequest = false;
    std::int32_t IPAddressValue[4] = {};
    bool IPAddressRequest = false;
    std::int32_t SubnetMaskValue[4] = {};
    bool SubnetMaskRequest = false;
    std::int32_t TCPTimeoutValue = 0;
    bool TCPTimeoutRequest = false;
    char ModuleNameValue[16] = {};
    bool ModuleNameRequest = false;
    std::int32_t RS232ConfigValue = 0;
    bool RS232ConfigRequest = false;
    std::int32_t I2CSpeedValue = 0;
    bool I2CSpeedRequest = false;
    float AnalogInputsThresholdValue = 0.0f;
    bool AnalogInputsThresholdRequest = false;
    std::uint8_t OutputsValue[16] = {};
    bool OutputsRequest = false;
};

struct RequestMarks {
    // On-demand reads, consumed by FillPacketToSend.
    bool ReadFlags[kReadFlagCount] = {};
    bool ReadInputVoltage[kInputVoltageCount] = {};
    bool ReadRequest = false;

    // On-demand writes, consumed by FillPacketToSend (the values stay).
    netpod::WriteValues WriteValues;
    bool WriteRequest = false;

    // On-demand I2C transfer and bus scan, consumed by FillPacketToSend. The export
    // accepts 0 to 180 data bytes; the builder clamps whatever it finds to that range.
    std::uint8_t I2CData[kMaxI2CDataLength] = {};
    std::int32_t I2CDataLength = 0;
    std::int32_t I2CAskID = 0;
    bool I2CRequest = false;
    bool ScanI2CRequest = false;

    // The repetitive-ask set, read at every tick by FillPacketToSendContinuous and
    // cleared only by the repetitive-ask reset.
    bool RepetitiveAskRequest = false;
    bool RepetitiveWARNINGS = false;
    bool RepetitiveVOLTAGE = false;
    bool RepetitiveINPUTS = false;
    bool RepetitiveInputVoltage[kInputVoltageCount] = {};
    std::uint8_t RepetitiveI2CData[kMaxI2CDataLength] = {};
    std::int32_t RepetitiveI2CDataLength = 0;
    std::int32_t RepetitiveI2CAskID = 0;
    bool RepetitiveI2CRequest = false;
};

}  // namespace netpod
