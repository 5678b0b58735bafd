// Register reads and writes from end to end: marks, one exchange, the callback.
#include "connection_fixture.h"

namespace netpod::test {
namespace {

float Fixed(int32_t raw) { return static_cast<float>(raw / 65536.0); }

TEST_F(ConnectionTest, ReadAllRegistersMatchesTheModule) {
    emu::ModuleConfig config;
    config.version = {0x01, 0x02, 0x03, 0x04};
    config.name = "LINE-3";
    StartModule(config);
    ASSERT_TRUE(OpenMain());
    WaitConnected();
    ASSERT_TRUE(Qorvi_NETPOD_Read_AllRegister(com_));
    Exchange();
    const RegisterValues v = LastValues();
    const emu::RegisterSnapshot s = emulator_->registers(0);

    EXPECT_TRUE(v.TypeValid && v.VersionValid && v.VoltageValid && v.WarningsValid && v.NbPowerUpValid &&
                v.TimeInServiceValid && v.ComOptionsValid && v.EthernetMACValid && v.IPAddressValid &&
                v.SubnetMaskValid && v.TCPTimeoutValid && v.ModuleNameValid && v.RS232ConfigValid &&
                v.I2CSpeedValid && v.TCPConnectionsOpenedValid && v.AnalogInputsThresholdValid && v.OutputsValid &&
                v.InputsValid);
    for (int n = 0; n < 16; ++n) {
        EXPECT_TRUE(v.InputVoltageValid[n]) << n;
        EXPECT_FLOAT_EQ(v.InputVoltage[n], Fixed(s.inputVoltageRaw[n])) << n;
    }
    EXPECT_EQ(v.TypeHigh, 8);
    EXPECT_EQ(v.TypeLow, 2);
    EXPECT_EQ(v.VersionA, 3);
    EXPECT_EQ(v.VersionB, 4);
    EXPECT_EQ(v.VersionC, 1);
    EXPECT_EQ(v.VersionD, 2);
    EXPECT_FLOAT_EQ(v.Voltage, Fixed(s.voltageRaw));
    for (int k = 0; k < 32; ++k) {
        EXPECT_EQ(v.Warnings[k], ((s.warnings >> k) & 1u) != 0) << k;
        EXPECT_EQ(v.ComOptions[k], ((s.comOptions >> k) & 1u) != 0) << k;
    }
    EXPECT_EQ(v.NbPowerUp, s.nbPowerUp);
    EXPECT_EQ(v.TimeInService, s.timeInService);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(v.EthernetMAC[i], s.mac[i]);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(v.IPAddress[i], s.ip[i]);
        EXPECT_EQ(v.SubnetMask[i], s.mask[i]);
    }
    EXPECT_EQ(v.TCPTimeout, s.tcpTimeout);
    EXPECT_EQ(std::string(v.ModuleName, 16), std::string(s.name.data(), 16));
    EXPECT_EQ(v.RS232Config, s.rs232Config);
    EXPECT_EQ(v.I2CSpeed, s.i2cSpeed);
    EXPECT_EQ(v.TCPConnectionsOpened, 1);
    EXPECT_FLOAT_EQ(v.AnalogInputsThreshold, Fixed(s.analogThresholdRaw));
    for (int k = 0; k < 16; ++k) {
        EXPECT_EQ(v.Outputs[k], ((s.outputs >> k) & 1u) != 0) << k;
        EXPECT_EQ(v.Inputs[k], ((s.inputs >> k) & 1u) != 0) << k;
    }
    // The next exchange reads only TYPE: the other values stay, their Valid flags go.
    ASSERT_TRUE(Qorvi_NETPOD_Read_TYPE(com_));
    Exchange();
    const RegisterValues w = LastValues();
    EXPECT_TRUE(w.TypeValid);
    EXPECT_FALSE(w.VersionValid || w.OutputsValid || w.InputVoltageValid[3]);
    EXPECT_EQ(w.VersionA, 3);
}

// A module may list the items of an answer in any order: decoding goes by address.
TEST_F(ConnectionTest, AnswerItemsInAnotherOrderDecodeTheSame) {
    StartModule();
    ASSERT_TRUE(OpenMain());
    WaitConnected();
    ASSERT_TRUE(Qorvi_NETPOD_Read_AllRegister(com_));
    Exchange();
    const RegisterValues inOrder = LastValues();
    emu::Faults reverse;
    reverse.tcpReverseItems = true;
    emulator_->setFaults(0, reverse);
    ASSERT_TRUE(Qorvi_NETPOD_Read_AllRegister(com_));
    Exchange();
    const RegisterValues reversed = LastValues();
    EXPECT_EQ(emulator_->counters(0).mainFaults.reordered, 1u);
    // Everything but the time in service, which counts on, is the same, byte for byte.
    RegisterValues a = inOrder, b = reversed;
    a.TimeInService = b.TimeInService = 0;
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
    EXPECT_TRUE(reversed.TypeValid && reversed.InputVoltageValid[15]);
}

TEST_F(ConnectionTest, EveryWriteReachesTheModuleAndIsMarkedWritten) {
    StartModule();
    ASSERT_TRUE(OpenMain());
    WaitConnected();
    bool outputs[16] = {};
    outputs[0] = outputs[9] = true;
    bool options[32] = {};
    options[31] = options[1] = true;
    const int32_t ip[4] = {10, 1, 2, 3};
    const int32_t mask[4] = {255, 0, 255, 0};
    const char name[16] = {'B', 'E', 'N', 'C', 'H', '-', '7', 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(Qorvi_NETPOD_Write_OUTPUTS(outputs, com_));
    ASSERT_TRUE(Qorvi_NETPOD_Write_COMOPTIONS(options, com_));
    ASSERT_TRUE(Qorvi_NETPOD_Write_IPADDRESS(ip, com_));
    ASSERT_TRUE(Qorvi_NETPOD_Write_SUBNETMASK(mask, com_));
    ASSERT_TRUE(Qorvi_NETPOD_Write_TCPTIMEOUT(255, com_));
    ASSERT_TRUE(Qorvi_NETPOD_Write_MODULENAME(name, com_));
    ASSERT_TRUE(Qorvi_NETPOD_Write_RS232CONFIG(135, com_));
    ASSERT_TRUE(Qorvi_NETPOD_Write_I2CSPD(99, com_));
    ASSERT_TRUE(Qorvi_NETPOD_Write_ANALOGINPUTSTHRESHOLD(-1.5f, com_));
    ASSERT_TRUE(Qorvi_NETPOD_Reset_WARNINGS(com_));
    ASSERT_TRUE(Qorvi_NETPOD_Write_SAVEUSERPARAMETERS(com_));
    Exchange();
    const RegisterValues v = LastValues();
    EXPECT_TRUE(v.OutputsWritten && v.ComOptionsWritten && v.IPAddressWritten && v.SubnetMaskWritten &&
                v.TCPTimeoutWritten && v.ModuleNameWritten && v.RS232ConfigWritten && v.I2CSpeedWritten &&
                v.AnalogInputsThresholdWritten && v.WarningsWritten && v.SaveUserParametersWritten);
    EXPECT_FALSE(v.ResetCPUWritten || v.RestoreUserParametersWritten);
    const emu::RegisterSnapshot s = emulator_->registers(0);
    EXPECT_EQ(s.outputs, 0x0201);
    EXPECT_EQ(s.comOptions, 0x80000002u);
    EXPECT_EQ(s.ip, (std::array<uint8_t, 4>{10, 1, 2, 3}));
    EXPECT_EQ(s.mask, (std::array<uint8_t, 4>{255, 0, 255, 0}));
    EXPECT_EQ(s.tcpTimeout, 255);
    EXPECT_EQ(std::string(s.name.data(), 7), "BENCH-7");
    EXPECT_EQ(s.rs232Config, 135);
    EXPECT_EQ(s.i2cSpeed, 99);
    EXPECT_EQ(s.analogThresholdRaw, static_cast<int32_t>(0xFFFE8000u));
    EXPECT_EQ(s.warnings, 0u);
    EXPECT_EQ(emulator_->counters(0).userSaves, 1u);
    // The written flags belong to one exchange.
    ASSERT_TRUE(Qorvi_NETPOD_Read_OUTPUTS(com_));
    Exchange();
    const RegisterValues w = LastValues();
    EXPECT_FALSE(w.OutputsWritten || w.IPAddressWritten);
    EXPECT_TRUE(w.OutputsValid && w.Outputs[0] && w.Outputs[9] && !w.Outputs[1]);
}

TEST_F(ConnectionTest, RangeChecksAtTheirBoundsAndNullHandles) {
    StartModule();
    ASSERT_TRUE(OpenMain());
    EXPECT_TRUE(Qorvi_NETPOD_Write_TCPTIMEOUT(0, com_));
    EXPECT_TRUE(Qorvi_NETPOD_Write_TCPTIMEOUT(255, com_));
    for (int32_t bad : {-1, 256}) {
        EXPECT_FALSE(Qorvi_NETPOD_Write_TCPTIMEOUT(bad, com_));
        EXPECT_EQ(LastError(), "TCP TimeOut value not valid.\t(Qorvi_NETPOD_Write_TCPTIMEOUT)");
    }
    for (int32_t good : {0, 7, 128, 135})
        EXPECT_TRUE(Qorvi_NETPOD_Write_RS232CONFIG(good, com_)) << good;
    for (int32_t bad : {8, 127, 136, -1}) {
        EXPECT_FALSE(Qorvi_NETPOD_Write_RS232CONFIG(bad, com_)) << bad;
        EXPECT_EQ(LastError(), "RS232 Config value not valid.\t(Qorvi_NETPOD_Write_RS232CONFIG)");
    }
    EXPECT_TRUE(Qorvi_NETPOD_Write_I2CSPD(24, com_));
    EXPECT_FALSE(Qorvi_NETPOD_Write_I2CSPD(100, com_));
    EXPECT_EQ(LastError(), "I2C Speed value not valid.\t(Qorvi_NETPOD_Write_I2CSPD)");
    EXPECT_TRUE(Qorvi_NETPOD_Write_ANALOGINPUTSTHRESHOLD(-12.0f, com_));
    EXPECT_TRUE(Qorvi_NETPOD_Write_ANALOGINPUTSTHRESHOLD(12.0f, com_));
    for (float bad : {12.000001f, -12.5f, std::numeric_limits<float>::quiet_NaN()}) {
        EXPECT_FALSE(Qorvi_NETPOD_Write_ANALOGINPUTSTHRESHOLD(bad, com_));
        EXPECT_EQ(LastError(), "Analog Value threshold value not valid.\t(Qorvi_NETPOD_Write_ANALOGINPUTSTHRESHOLD)");
    }
    const int32_t badIp[4] = {10, 0, 0, 256};
    EXPECT_FALSE(Qorvi_NETPOD_Write_IPADDRESS(badIp, com_));
    EXPECT_EQ(LastError(), "Address IP not valid\t(Qorvi_NETPOD_Write_IPADDRESS)");
    EXPECT_NE(LogText().find(IpColumn(ip_) + "Address IP not valid\t(Qorvi_NETPOD_Write_IPADDRESS)"), std::string::npos);
    const int32_t badMask[4] = {255, -1, 0, 0};
    EXPECT_FALSE(Qorvi_NETPOD_Write_SUBNETMASK(badMask, com_));
    EXPECT_EQ(LastError(), "Subnet Mask not valid\t(Qorvi_NETPOD_Write_SUBNETMASK)");
    EXPECT_FALSE(Qorvi_NETPOD_Write_OUTPUTS(nullptr, com_));
    EXPECT_EQ(LastError(), "Pointer on data to write not valid. Outputs = NULL\t(Qorvi_NETPOD_Write_OUTPUTS)");
    EXPECT_FALSE(Qorvi_NETPOD_Write_MODULENAME(nullptr, com_));
    EXPECT_EQ(LastError(), "Pointer on data to write not valid. Name = NULL\t(Qorvi_NETPOD_Write_MODULENAME)");
    for (int32_t good : {0, 15})
        EXPECT_TRUE(Qorvi_NETPOD_Read_INPUTVOLTAGEVALUE(good, false, com_));
    for (int32_t bad : {16, -1}) {
        EXPECT_FALSE(Qorvi_NETPOD_Read_INPUTVOLTAGEVALUE(bad, false, com_));
        EXPECT_EQ(LastError(), "Input Number not valid. 0<= InputNb <=15\t(Qorvi_NETPOD_Read_INPUTVOLTAGEVALUE)");
    }
    EXPECT_FALSE(Qorvi_NETPOD_Read_TYPE(nullptr));
    EXPECT_EQ(LastError(), "Pointer on ethernet communication not valid. ComID = NULL\t(Qorvi_NETPOD_Read_TYPE)");
    EXPECT_FALSE(Qorvi_NETPOD_Reset_WARNINGS(nullptr));
    EXPECT_EQ(LastError(), "Pointer on ethernet communication not valid. ComID = NULL\t(Qorvi_NETPOD_Write_WARNINGS)");
    EXPECT_FALSE(Qorvi_NETPOD_SendData_MAINPORT(nullptr));
    EXPECT_EQ(LastError(),
              "Pointer on ethernet communication not valid. ComID = NULL\t(Qorvi_NETPOD_SendData_MAINPORT)");
}

// The counters exist from firmware 2.0 on the first module type and on every module
// of the second; judged on what the open's own initial test detected.
TEST_F(ConnectionTest, FirmwareConditionOfTheCounters) {
    struct Case {
        uint16_t low;
        std::array<uint8_t, 4> version;
        bool accepted;
    };
    // The initial test reads TYPE only, so the version it detects is zero: a first
    // generation module is refused whatever its firmware, the second accepted.
    for (const Case& c : {Case{0, {0, 2, 0, 5}, false}, Case{0, {0, 1, 0, 0}, false}, Case{2, {0, 1, 0, 0}, true}}) {
        emu::ModuleConfig config;
        config.typeLow = c.low;
        config.version = c.version;
        StartModule(config);
        ASSERT_TRUE(OpenMain());
        EXPECT_EQ(Qorvi_NETPOD_Read_NBPOWERUP(com_), c.accepted) << c.low;
        EXPECT_EQ(Qorvi_NETPOD_Read_TIMEINSERVICE(com_), c.accepted) << c.low;
        if (!c.accepted) {
            EXPECT_EQ(LastError(),
                      "The register TIMEINSERVICE is available on Qorvi-NETPOD from firmware version 2.0 and on "
                      "Qorvi-NETPOD 2.\t(Qorvi_NETPOD_Read_TIMEINSERVICE)");
        }
        Qorvi_NETPOD_CloseConnection(&com_);
        emulator_.reset();
    }
}

TEST_F(ConnectionTest, ResetOfReadsKeepsWritesAndASecondSendWaitsForTheAnswer) {
    StartModule();
    ASSERT_TRUE(OpenMain());
    WaitConnected();
    bool outputs[16] = {};
    outputs[3] = true;
    ASSERT_TRUE(Qorvi_NETPOD_Write_OUTPUTS(outputs, com_));
    ASSERT_TRUE(Qorvi_NETPOD_Read_AllRegister(com_));
    ASSERT_TRUE(Qorvi_NETPOD_ResetAllRegisterRead(com_));
    emu::Faults slow;
    slow.tcpDelayMs = 400;
    emulator_->setFaults(0, slow);
    ASSERT_TRUE(Qorvi_NETPOD_SendData_MAINPORT(com_));
    EXPECT_FALSE(Qorvi_NETPOD_SendData_MAINPORT(com_));
    EXPECT_EQ(LastError(),
              "Call Qorvi_NETPOD_SendData_MAINPORT before receive data of the last call\t(Qorvi_NETPOD_SendData_MAINPORT)");
    ASSERT_TRUE(Recorder::instance().waitFor([](Recorder& r) { return r.answers == 1; }));
    const RegisterValues v = LastValues();
    EXPECT_TRUE(v.OutputsWritten);
    EXPECT_FALSE(v.TypeValid);   // the reads were withdrawn
    EXPECT_EQ(emulator_->registers(0).outputs, 0x0008);
    EXPECT_EQ(emulator_->counters(0).mainReads, 0u);
}

// An exchange that draws no answer (nothing marked, no answer, a failed send) ends
// the exchange: the next one can be launched.
TEST_F(ConnectionTest, ExchangesWithoutAnAnswerDoNotBlockTheNextOne) {
    StartModule();
    emu::Faults refuse;
    refuse.refuseConnections = true;
    emulator_->setFaults(0, refuse);
    ASSERT_TRUE(OpenMain());
    // Not connected: the send fails in the transport; the sender goes on serving.
    ASSERT_TRUE(Qorvi_NETPOD_Read_TYPE(com_));
    ASSERT_TRUE(Qorvi_NETPOD_SendData_MAINPORT(com_));
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    bool again = false;
    while (!again && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
        again = Qorvi_NETPOD_SendData_MAINPORT(com_);   // nothing marked now
    }
    EXPECT_TRUE(again);
    EXPECT_NE(LogText().find(IpColumn(ip_) + "EthernetCom->SendData Failed\t(TThreadSend::Execute)"), std::string::npos);
    Qorvi_NETPOD_CloseConnection(&com_);

    emulator_->setFaults(0, emu::Faults{});
    Recorder::instance().reset();
    ASSERT_TRUE(OpenMain());
    WaitConnected();
    emu::Faults drop;
    drop.tcpDrop = true;
    emulator_->setFaults(0, drop);
    ASSERT_TRUE(Qorvi_NETPOD_Read_TYPE(com_));
    ASSERT_TRUE(Qorvi_NETPOD_SendData_MAINPORT(com_));
    std::this_thread::sleep_for(3300ms);   // the answer wait runs out
    emulator_->setFaults(0, emu::Faults{});
    ASSERT_TRUE(Qorvi_NETPOD_Read_VERSION(com_));
    Exchange();
    EXPECT_TRUE(LastValues().VersionValid);
}

}  // namespace
}  // namespace netpod::test
