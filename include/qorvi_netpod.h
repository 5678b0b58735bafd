/*
 * qorvi_netpod.h - the C interface of libqorvi-netpod, the host library for the
 * Qorvi-NETPOD and Qorvi-NETPOD 2 Ethernet I/O modules.
 *
 * Every export is a plain C function. Functions that succeed or fail return a
 * one-byte boolean; the reason of the latest failure is kept as the last-error text
 * (Qorvi_NETPOD_GetLastError) and appended to "Error_Qorvi-NETPOD_DLLInterface.log"
 * beside the library file, or in the user's state folder when the library's folder
 * cannot be written, or in the folder that QORVI_NETPOD_LOG_DIR names (README). A
 * failure repeated within 5 s is counted and summarised rather than written again.
 *
 * Register access is asynchronous: the Read_/Write_ exports only mark requests,
 * Qorvi_NETPOD_SendData_MAINPORT sends them (at once when no exchange is in flight
 * on the connection, otherwise when it ends), and the decoded answer arrives through
 * the Data_Received_MAINPORT callback.
 *
 * Threading: all three callbacks run on the library's notification thread, one at a
 * time, never under a library lock. A callback may call the marking exports and
 * Qorvi_NETPOD_SendData_MAINPORT, and may close any connection, its own too. The
 * same thread keeps the repetitive asks' ticks: a callback that blocks holds up
 * every connection. The one exception to "callbacks run on the notification thread" is Com_Event
 * with code 0 raised while a connected connection is closed: it runs on the thread
 * that closes it, before the close returns.
 *
 * Valid C99 and C++. The layouts of RegisterValues (688 bytes) and ModuleInfo
 * (80 bytes) are part of the binary interface and are checked at compile time.
 */
#ifndef QORVI_NETPOD_H
#define QORVI_NETPOD_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(QORVI_NETPOD_BUILDING) && defined(__GNUC__)
#define QORVI_NETPOD_API __attribute__((visibility("default")))
#else
#define QORVI_NETPOD_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The connection handle: opaque; NULL means "no connection". A handle is handed out
 * once and never again; every function checks it, and one that was closed or never
 * opened makes it fail ("ComID unknown or closed") without touching any connection.
 * A function running while another thread closes the handle completes or fails
 * cleanly. A connection may be closed from inside any of its callbacks. */
typedef void* ComID;

/* Decoded register values of one connection, owned by the library and handed to
 * Data_Received_MAINPORT. A ...Valid flag says the value came in an answer of the
 * current exchange; a ...Written flag says the register was written by it. */
typedef struct RegisterValues {
    int32_t TypeHigh;                       /* 0x000 */
    int32_t TypeLow;                        /* 0x004 */
    bool TypeValid;                         /* 0x008 */
    int32_t VersionA;                       /* 0x00C */
    int32_t VersionB;
    int32_t VersionC;
    int32_t VersionD;
    bool VersionValid;                      /* 0x01C */
    bool ResetCPUWritten;                   /* 0x01D */
    bool SaveUserParametersWritten;
    bool RestoreUserParametersWritten;
    bool RestoreFactoryParametersWritten;
    bool SaveFactoryParametersWritten;
    float Voltage;                          /* 0x024 */
    bool VoltageValid;                      /* 0x028 */
    bool Warnings[32];                      /* 0x029 */
    bool WarningsValid;                     /* 0x049 */
    bool WarningsWritten;
    uint32_t NbPowerUp;                     /* 0x04C */
    bool NbPowerUpValid;                    /* 0x050 */
    uint32_t TimeInService;                 /* 0x054 */
    bool TimeInServiceValid;                /* 0x058 */
    bool ComOptions[32];                    /* 0x059 */
    bool ComOptionsValid;                   /* 0x079 */
    bool ComOptionsWritten;
    int32_t EthernetMAC[6];                 /* 0x07C */
    bool EthernetMACValid;                  /* 0x094 */
    int32_t IPAddress[4];                   /* 0x098 */
    bool IPAddressValid;                    /* 0x0A8 */
    bool IPAddressWritten;
    int32_t SubnetMask[4];                  /* 0x0AC */
    bool SubnetMaskValid;                   /* 0x0BC */
    bool SubnetMaskWritten;
    int32_t TCPTimeout;                     /* 0x0C0 */
    bool TCPTimeoutValid;                   /* 0x0C4 */
    bool TCPTimeoutWritten;
    char ModuleName[16];                    /* 0x0C6, not terminated */
    bool ModuleNameValid;                   /* 0x0D6 */
    bool ModuleNameWritten;
    int32_t RS232Config;                    /* 0x0D8 */
    bool RS232ConfigValid;                  /* 0x0DC */
    bool RS232ConfigWritten;
    int32_t I2CSpeed;                       /* 0x0E0 */
    bool I2CSpeedValid;                     /* 0x0E4 */
    bool I2CSpeedWritten;
    int32_t TCPConnectionsOpened;           /* 0x0E8 */
    bool TCPConnectionsOpenedValid;         /* 0x0EC */
    float AnalogInputsThreshold;            /* 0x0F0 */
    bool AnalogInputsThresholdValid;        /* 0x0F4 */
    bool AnalogInputsThresholdWritten;
    bool Outputs[16];                       /* 0x0F6 */
    bool OutputsValid;                      /* 0x106 */
    bool OutputsWritten;
    bool Inputs[16];                        /* 0x108 */
    bool InputsValid;                       /* 0x118 */
    float InputVoltage[16];                 /* 0x11C */
    bool InputVoltageValid[16];             /* 0x15C */
    uint8_t I2CAnswer[180];                 /* 0x16C */
    int32_t I2CAnswerLength;                /* 0x220 */
    int32_t I2CAnswerAskID;                 /* 0x224 */
    bool I2CAnswerValid;                    /* 0x228 */
    int32_t ScanI2CLength;                  /* 0x22C */
    uint8_t ScanI2CAnswer[127];             /* 0x230 */
    bool ScanI2CValid;                      /* 0x2AF */
} RegisterValues;

/* One module found by Qorvi_NETPOD_ScanNetwork. */
typedef struct ModuleInfo {
    int32_t Type[2];        /* TYPE high word, low word */
    int32_t Version[4];     /* VERSION, decoded as VersionA..VersionD */
    int32_t MacAddress[6];  /* one byte per element */
    int32_t IPAddress[4];   /* the address the answer came from */
    char ModuleName[16];    /* not terminated */
} ModuleInfo;

/* Application callbacks. Values points into the connection and stays valid until
 * the connection is closed; DataLength is at most 360; EventCode is 1 (connected),
 * 0 (closed) or 2 (socket error). */
typedef void (*TData_Received_MAINPORT)(RegisterValues* Values, ComID Com);
typedef void (*TData_Received_RS232)(int32_t DataLength, ComID Com);
typedef void (*TCom_Event)(int32_t EventCode, ComID Com);

/* Connections and the network. */
QORVI_NETPOD_API bool Qorvi_NETPOD_OpenConnection_MAINPORT(const int32_t* IPAddress,
    TData_Received_MAINPORT Data_Received_MAINPORT, TCom_Event Com_Event, ComID* Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_OpenConnection_RS232(const int32_t* IPAddress,
    TData_Received_RS232 Data_Received_RS232, TCom_Event Com_Event, ComID* Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_CloseConnection(ComID* Com);
QORVI_NETPOD_API int32_t Qorvi_NETPOD_GetStateCommunication(ComID Com);
QORVI_NETPOD_API int32_t Qorvi_NETPOD_ScanNetwork(ModuleInfo* Modules, int32_t Capacity);
QORVI_NETPOD_API bool Qorvi_NETPOD_ChangeIPAddress(const int32_t* MacAddress,
    const int32_t* IPAddress, const int32_t* SubnetMaskAddress);

/* On-demand register reads. */
QORVI_NETPOD_API bool Qorvi_NETPOD_Read_TYPE(ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Read_VERSION(ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Read_NBPOWERUP(ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Read_TIMEINSERVICE(ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Read_COMOPTIONS(ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Read_ETHERNETMAC(ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Read_IPADDRESS(ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Read_SUBNETMASK(ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Read_TCPTIMEOUT(ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Read_MODULENAME(ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Read_RS232CONFIG(ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Read_I2CSPD(ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Read_TCPCONNECTIONSOPENED(ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Read_ANALOGINPUTSTHRESHOLD(ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Read_OUTPUTS(ComID Com);

/* Reads that can also be put in the repetitive-ask packet. */
QORVI_NETPOD_API bool Qorvi_NETPOD_Read_VOLTAGE(bool RepetitiveAsk, ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Read_WARNINGS(bool RepetitiveAsk, ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Read_INPUTS(bool RepetitiveAsk, ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Read_INPUTVOLTAGEVALUE(int32_t InputNb, bool RepetitiveAsk, ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Read_ALL_INPUTVOLTAGEVALUE(bool RepetitiveAsk, ComID Com);

/* Commands and writes. */
QORVI_NETPOD_API bool Qorvi_NETPOD_Write_RESETCPU(ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Write_SAVEUSERPARAMETERS(ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Write_RESTOREUSERPARAMETERS(ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Write_RESTOREFACTORYPARAMETERS(ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Write_SAVEFACTORYPARAMETERS(ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Reset_WARNINGS(ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Write_COMOPTIONS(const bool* ComOpt, ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Write_IPADDRESS(const int32_t* IPAdd, ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Write_SUBNETMASK(const int32_t* SubnetMask, ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Write_TCPTIMEOUT(int32_t TimeOut, ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Write_MODULENAME(const char* Name, ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Write_RS232CONFIG(int32_t Config, ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Write_I2CSPD(int32_t Speed, ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Write_ANALOGINPUTSTHRESHOLD(float Threshold, ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_Write_OUTPUTS(const bool* Outputs, ComID Com);

/* The whole on-demand read list. */
QORVI_NETPOD_API bool Qorvi_NETPOD_Read_AllRegister(ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_ResetAllRegisterRead(ComID Com);

/* Serial tunnel, repetitive ask, I2C. */
QORVI_NETPOD_API bool Qorvi_NETPOD_SendData_RS232(const uint8_t* DataBuf, int32_t DataLength, ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_GetData_RS232(uint8_t* DataBuf, int32_t* DataLength, ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_RepetitiveAskStart(ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_RepetitiveAskStop(ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_RepetitiveAskSetTime(int32_t TimeMiliSec, ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_RepetitiveAskReset(ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_ReadWriteI2C(const uint8_t* DataBuf, int32_t DataLength,
    bool RepetitiveAsk, int32_t AskID, ComID Com);
QORVI_NETPOD_API bool Qorvi_NETPOD_ScanI2C(ComID Com);

/* Texts. Neither writes a terminating zero: use the returned count. */
QORVI_NETPOD_API void Qorvi_NETPOD_VersionDLL(char* Buffer, int32_t* BufferLength);
QORVI_NETPOD_API void Qorvi_NETPOD_GetLastError(char* Buffer, int32_t* BufferLength);

/* Start one on-demand exchange with everything marked since the last one. */
QORVI_NETPOD_API bool Qorvi_NETPOD_SendData_MAINPORT(ComID Com);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* The two records are the application's binary interface. */
#ifdef __cplusplus
#include <cstddef>
#define QORVI_NETPOD_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#include <stddef.h>
#define QORVI_NETPOD_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
/* C99 has no static assertion: an array of negative size stops the build instead. */
#include <stddef.h>
#define QORVI_NETPOD_ASSERT_NAME2(line) qorvi_netpod_layout_check_##line
#define QORVI_NETPOD_ASSERT_NAME(line) QORVI_NETPOD_ASSERT_NAME2(line)
#define QORVI_NETPOD_STATIC_ASSERT(cond, msg) \
    typedef char QORVI_NETPOD_ASSERT_NAME(__LINE__)[(cond) ? 1 : -1]
#endif
#define QORVI_NETPOD_CHECK_OFFSET(type, field, offset) \
    QORVI_NETPOD_STATIC_ASSERT(offsetof(type, field) == (offset), #type "." #field " must lie at " #offset)

QORVI_NETPOD_STATIC_ASSERT(sizeof(bool) == 1, "bool must be one byte");
QORVI_NETPOD_STATIC_ASSERT(sizeof(RegisterValues) == 688, "RegisterValues must be 688 bytes");
QORVI_NETPOD_STATIC_ASSERT(sizeof(ModuleInfo) == 80, "ModuleInfo must be 80 bytes");
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, TypeHigh, 0x000);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, TypeLow, 0x004);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, TypeValid, 0x008);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, VersionA, 0x00C);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, VersionD, 0x018);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, VersionValid, 0x01C);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, ResetCPUWritten, 0x01D);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, SaveFactoryParametersWritten, 0x021);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, Voltage, 0x024);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, VoltageValid, 0x028);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, Warnings, 0x029);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, WarningsValid, 0x049);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, WarningsWritten, 0x04A);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, NbPowerUp, 0x04C);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, NbPowerUpValid, 0x050);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, TimeInService, 0x054);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, TimeInServiceValid, 0x058);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, ComOptions, 0x059);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, ComOptionsValid, 0x079);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, ComOptionsWritten, 0x07A);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, EthernetMAC, 0x07C);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, EthernetMACValid, 0x094);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, IPAddress, 0x098);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, IPAddressValid, 0x0A8);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, IPAddressWritten, 0x0A9);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, SubnetMask, 0x0AC);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, SubnetMaskValid, 0x0BC);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, SubnetMaskWritten, 0x0BD);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, TCPTimeout, 0x0C0);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, TCPTimeoutValid, 0x0C4);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, TCPTimeoutWritten, 0x0C5);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, ModuleName, 0x0C6);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, ModuleNameValid, 0x0D6);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, ModuleNameWritten, 0x0D7);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, RS232Config, 0x0D8);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, RS232ConfigValid, 0x0DC);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, RS232ConfigWritten, 0x0DD);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, I2CSpeed, 0x0E0);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, I2CSpeedValid, 0x0E4);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, I2CSpeedWritten, 0x0E5);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, TCPConnectionsOpened, 0x0E8);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, TCPConnectionsOpenedValid, 0x0EC);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, AnalogInputsThreshold, 0x0F0);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, AnalogInputsThresholdValid, 0x0F4);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, AnalogInputsThresholdWritten, 0x0F5);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, Outputs, 0x0F6);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, OutputsValid, 0x106);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, OutputsWritten, 0x107);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, Inputs, 0x108);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, InputsValid, 0x118);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, InputVoltage, 0x11C);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, InputVoltageValid, 0x15C);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, I2CAnswer, 0x16C);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, I2CAnswerLength, 0x220);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, I2CAnswerAskID, 0x224);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, I2CAnswerValid, 0x228);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, ScanI2CLength, 0x22C);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, ScanI2CAnswer, 0x230);
QORVI_NETPOD_CHECK_OFFSET(RegisterValues, ScanI2CValid, 0x2AF);
QORVI_NETPOD_CHECK_OFFSET(ModuleInfo, Type, 0);
QORVI_NETPOD_CHECK_OFFSET(ModuleInfo, Version, 8);
QORVI_NETPOD_CHECK_OFFSET(ModuleInfo, MacAddress, 24);
QORVI_NETPOD_CHECK_OFFSET(ModuleInfo, IPAddress, 48);
QORVI_NETPOD_CHECK_OFFSET(ModuleInfo, ModuleName, 64);
#undef QORVI_NETPOD_CHECK_OFFSET
#undef QORVI_NETPOD_STATIC_ASSERT
#undef QORVI_NETPOD_ASSERT_NAME
#undef QORVI_NETPOD_ASSERT_NAME2

#endif /* QORVI_NETPOD_H */
