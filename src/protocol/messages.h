// The fixed texts the library reports, all in one place. Each becomes the last-error
// text and an entry of the error log; applications and log readers match on them,
// so they stay exactly as they are, typing errors included (marked below). Texts
// that name their reporter end with a tab and that name in parentheses; the others
// are descriptions that the exports complete with their own name.
#pragma once

#include <string_view>

namespace netpod::messages {

// --- The exports: handles and arguments --------------------------------------------
inline constexpr std::string_view kComIdNull = "Pointer on ethernet communication not valid. ComID = NULL";
inline constexpr std::string_view kComIdUnknown =
    "Pointer on ethernet communication not valid. ComID unknown or closed";
inline constexpr std::string_view kComIdPointerNull = "Pointer on ComID not valid (NULL)";
inline constexpr std::string_view kAddressNull = "Address IP not valid (NULL)";
inline constexpr std::string_view kAddressNotValid = "Address IP not valid";
inline constexpr std::string_view kInitialTestFailed = "Initial Test failed";
inline constexpr std::string_view kResourcesNotAvailable = "Connection resources not available: ";
inline constexpr std::string_view kComEventNull = "Com_Event function not valid (NULL)";
inline constexpr std::string_view kCallbackNullSuffix = " function not valid (NULL)";
inline constexpr std::string_view kSendBeforeAnswer =
    "Call Qorvi_NETPOD_SendData_MAINPORT before receive data of the last call";
inline constexpr std::string_view kSendFailed = "EthernetCom->SendData Failed";
inline constexpr std::string_view kSendBufferNull = "Pointer on data to Send not valid. DataBuf = NULL";
inline constexpr std::string_view kLengthNegative = "DataLength not valid. DataLength < 0";
inline constexpr std::string_view kReceiveBufferNull = "Pointer on buffer to receive data not valid. DataBuf = NULL";
inline constexpr std::string_view kLengthPointerNull = "Pointer on data length not valid. DataLength = NULL";
// "It's must" is what applications have always matched on.
inline constexpr std::string_view kPeriodNotValid =
    "Bad value for TimeMiliSec. It's must be positive and bigger than zero";
inline constexpr std::string_view kI2CBufferNull = "Pointer on buffer to Write not valid. DataBuf = NULL";
inline constexpr std::string_view kI2CLengthTooBig = "DataLength of I2C buffer is too big. Max Length Value = ";
inline constexpr std::string_view kI2CLengthNegative = "DataLength of I2C buffer not valid. DataLength < 0";
inline constexpr std::string_view kAskIdNotValid = "AskID value not valid.";
inline constexpr std::string_view kInputNumberNotValid =
    "Input Number not valid. 0<= InputNb <=15\t(Qorvi_NETPOD_Read_INPUTVOLTAGEVALUE)";
inline constexpr std::string_view kCounterRegisterPrefix = "The register ";
inline constexpr std::string_view kCounterRegisterSuffix =
    " is available on Qorvi-NETPOD from firmware version 2.0 and on Qorvi-NETPOD 2.";
inline constexpr std::string_view kComOptionsNull = "Pointer on data to write not valid. ComOpt = NULL";
inline constexpr std::string_view kIpAddressNull = "Pointer on data to write not valid. IPAdd = NULL";
inline constexpr std::string_view kSubnetMaskNull = "Pointer on data to write not valid. SubnetMask = NULL";
inline constexpr std::string_view kSubnetMaskNotValid = "Subnet Mask not valid";
inline constexpr std::string_view kTcpTimeoutNotValid = "TCP TimeOut value not valid.";
inline constexpr std::string_view kNameNull = "Pointer on data to write not valid. Name = NULL";
inline constexpr std::string_view kRs232ConfigNotValid = "RS232 Config value not valid.";
inline constexpr std::string_view kI2CSpeedNotValid = "I2C Speed value not valid.";
inline constexpr std::string_view kThresholdNotValid = "Analog Value threshold value not valid.";
inline constexpr std::string_view kOutputsNull = "Pointer on data to write not valid. Outputs = NULL";
inline constexpr std::string_view kVersionBufferNull =
    "Pointer on buffer to get Version = NULL\t(Qorvi_NETPOD_VersionDLL)";
inline constexpr std::string_view kLastErrorBufferNull =
    "Pointer on buffer to get Last Error = NULL\t(Qorvi_NETPOD_GetLastError)";
inline constexpr std::string_view kChangeIpFailed = "ChangeIPAddress Failed\t(Qorvi_NETPOD_ChangeIPAddress)";

// --- The connection ----------------------------------------------------------------
inline constexpr std::string_view kComEventWithoutTransport =
    "Pointer on ethernet communication not valid. ComID = NULL\t(Com_Event)";
// The transport's refusals of a send.
inline constexpr std::string_view kSocketNotActive =
    "Socket Not active\r\nCall first : Qorvi_OpenConnection().\t(Qorvi_Send)";
inline constexpr std::string_view kCannotSendAllBytes = "Cannot Send all Bytes.\t(Qorvi_Send)";

// The on-demand sender.
inline constexpr std::string_view kOnDemandNewSendError = "Event HevNewSend Unknown error\t(TThreadSend::Execute)";
inline constexpr std::string_view kOnDemandSyncTimeout = "Event HevSync Timeout reached\t(TThreadSend::Execute)";
inline constexpr std::string_view kOnDemandSyncError = "Event HevSync Unknown error\t(TThreadSend::Execute)";
inline constexpr std::string_view kOnDemandSendFailed = "EthernetCom->SendData Failed\t(TThreadSend::Execute)";
inline constexpr std::string_view kOnDemandMultiplePacketTimeout =
    "Event HevMultiplePacket Timeout reached\t(TThreadSend::Execute)";
inline constexpr std::string_view kOnDemandMultiplePacketError =
    "Event HevMultiplePacket Unknown error\t(TThreadSend::Execute)";
inline constexpr std::string_view kOnDemandAckTimeout = "Event HevAck Timeout reached\t(TThreadSend::Execute)";
inline constexpr std::string_view kOnDemandAckError = "Event HevAck Unknown error\t(TThreadSend::Execute)";

// The repetitive-ask sender. Its failed send names TThreadProcess, the name its
// entries have always carried.
inline constexpr std::string_view kRepetitiveSyncTimeout =
    "Event HevSync Timeout reached\t(TThreadSendContinuous::Execute)";
inline constexpr std::string_view kRepetitiveSyncError =
    "Event HevSync Unknown error\t(TThreadSendContinuous::Execute)";
inline constexpr std::string_view kRepetitiveSendFailed = "EthernetCom->SendData Failed\t(TThreadProcess::Execute)";
inline constexpr std::string_view kRepetitiveMultiplePacketTimeout =
    "Event HevMultiplePacket Timeout reached\t(TThreadSendContinuous::Execute)";
inline constexpr std::string_view kRepetitiveMultiplePacketError =
    "Event HevMultiplePacket Unknown error\t(TThreadSendContinuous::Execute)";
inline constexpr std::string_view kRepetitiveAckTimeout =
    "Event HevAck Timeout reached\t(TThreadSendContinuous::Execute)";
inline constexpr std::string_view kRepetitiveAckError = "Event HevAck Unknown error\t(TThreadSendContinuous::Execute)";
inline constexpr std::string_view kRepetitiveTimerError =
    "Event HevTimer Unknown error\t(TThreadSendContinuous::Execute)";

// --- Answers on the main port ------------------------------------------------------
inline constexpr std::string_view kPacketTooLongPrefix = "Received packet too long. Body length = ";
inline constexpr std::string_view kChecksumErrorPrefix = "ChecksumError occurs. Nb of ChecksumError = ";
inline constexpr std::string_view kReceivedRawDataSuffix = "\t(ReceivedRawData)";
inline constexpr std::string_view kUnknownRegister = "Register address of received data unknown\t(ReceivedDataAnalyse)";
inline constexpr std::string_view kTruncatedItem = "Register item of received data truncated\t(ReceivedDataAnalyse)";

// --- The UDP utilities ---------------------------------------------------------------
inline constexpr std::string_view kMacAddressNull =
    "Pointer on data to write not valid. MacAddress = NULL\t(ChangeIPAddress)";
inline constexpr std::string_view kNewIpAddressNull =
    "Pointer on data to write not valid. IPAddress = NULL\t(ChangeIPAddress)";
inline constexpr std::string_view kNewSubnetMaskNull =
    "Pointer on data to write not valid. SubnetMaskAddress = NULL\t(ChangeIPAddress)";
inline constexpr std::string_view kMacAddressNotValid = "Mac Address not valid\t(ChangeIPAddress)";
inline constexpr std::string_view kNewIpAddressNotValid = "IP Address not valid\t(ChangeIPAddress)";
inline constexpr std::string_view kNewSubnetMaskNotValid = "Subnet Mask Address not valid\t(ChangeIPAddress)";
inline constexpr std::string_view kIpAddressInUse = "The IP address is already in use\t(ChangeIPAddress)";
inline constexpr std::string_view kChangeIpNotAcknowledged =
    "Change IP Address acknowledge not received from the module\t(ChangeIPAddress)";
inline constexpr std::string_view kAddressNotFound = "Address IP not found on the network\t(MakeInitialTYPETest)";
inline constexpr std::string_view kModuleNotCompatible =
    "This module is not compatible with this DLL\t(MakeInitialTYPETest)";
// "gegister" is misspelt, but it is the text that log readers search for.
inline constexpr std::string_view kUnknownModuleRegister = "Receive unknown module gegister\t(ReceiveUDP_Data)";
// A checksum error of the UDP utilities names the main-port export although it comes
// from them; applications and log readers know it by this text.
inline constexpr std::string_view kUdpChecksumErrorSuffix = "\t(Qorvi_NETPOD_SendData_MAINPORT)";

}  // namespace netpod::messages
