// I2C transfers and the bus scan through the module, and the serial tunnel.
#include "connection_fixture.h"

namespace netpod::test {
namespace {

TEST_F(ConnectionTest, I2CTransfersAndScanReachTheBus) {
    StartModule();
    ASSERT_TRUE(OpenMain());
    WaitConnected();
    // Write three bytes at EEPROM word 0x10, then read them back from there.
    const uint8_t write[] = {emu::kEepromAddress << 1, 0x10, 0xA1, 0xB2, 0xC3};
    ASSERT_TRUE(Qorvi_NETPOD_ReadWriteI2C(write, sizeof write, false, 7, com_));
    Exchange();
    EXPECT_TRUE(LastValues().I2CAnswerValid);
    EXPECT_EQ(LastValues().I2CAnswerAskID, 7);
    const uint8_t read[] = {(emu::kEepromAddress << 1) | 1, 3, 0x10};
    ASSERT_TRUE(Qorvi_NETPOD_ReadWriteI2C(read, sizeof read, false, 65535, com_));
    Exchange();
    RegisterValues v = LastValues();
    ASSERT_TRUE(v.I2CAnswerValid);
    EXPECT_EQ(v.I2CAnswerAskID, 65535);
    ASSERT_EQ(v.I2CAnswerLength, 4);
    EXPECT_EQ(v.I2CAnswer[0], emu::kI2CStatusOk);
    EXPECT_EQ(v.I2CAnswer[1], 0xA1);
    EXPECT_EQ(v.I2CAnswer[3], 0xC3);

    ASSERT_TRUE(Qorvi_NETPOD_ScanI2C(com_));
    Exchange();
    v = LastValues();
    ASSERT_TRUE(v.ScanI2CValid);
    EXPECT_FALSE(v.I2CAnswerValid);   // cleared by the new exchange
    ASSERT_EQ(v.ScanI2CLength, 2);
    EXPECT_EQ(v.ScanI2CAnswer[0], emu::kTemperatureSensorAddress);
    EXPECT_EQ(v.ScanI2CAnswer[1], emu::kEepromAddress);

    // Length and AskID bounds, in the order handle, buffer, length, AskID.
    uint8_t big[181] = {emu::kEepromAddress << 1, 0};
    EXPECT_TRUE(Qorvi_NETPOD_ReadWriteI2C(big, 180, false, 0, com_));
    EXPECT_FALSE(Qorvi_NETPOD_ReadWriteI2C(big, 181, false, 0, com_));
    EXPECT_EQ(LastError(), "DataLength of I2C buffer is too big. Max Length Value = 180\t(Qorvi_NETPOD_ReadWriteI2C)");
    EXPECT_FALSE(Qorvi_NETPOD_ReadWriteI2C(nullptr, 500, false, 0, com_));
    EXPECT_EQ(LastError(), "Pointer on buffer to Write not valid. DataBuf = NULL\t(Qorvi_NETPOD_ReadWriteI2C)");
    for (int32_t bad : {-1, 65536}) {
        EXPECT_FALSE(Qorvi_NETPOD_ReadWriteI2C(big, 1, false, bad, com_));
        EXPECT_EQ(LastError(), "AskID value not valid.\t(Qorvi_NETPOD_ReadWriteI2C)");
    }
    EXPECT_FALSE(Qorvi_NETPOD_ReadWriteI2C(big, -1, false, 0, com_));
    EXPECT_TRUE(Qorvi_NETPOD_ReadWriteI2C(big, 0, true, 0, com_));   // an empty transfer is a transfer
    // The 180-byte transfer is still pending, with everything else of the exchange.
    ASSERT_TRUE(Qorvi_NETPOD_Read_AllRegister(com_));
    ASSERT_TRUE(Qorvi_NETPOD_ScanI2C(com_));
    Exchange();
    v = LastValues();
    EXPECT_TRUE(v.TypeValid);
    EXPECT_TRUE(v.ScanI2CValid);
    EXPECT_EQ(emulator_->counters(0).mainI2CTransfers, 3u);
}

TEST_F(ConnectionTest, RepetitiveI2CTransferIsPolled) {
    StartModule();
    ASSERT_TRUE(OpenMain());
    WaitConnected();
    const uint8_t read[] = {(emu::kTemperatureSensorAddress << 1) | 1, 2, 0x00};
    ASSERT_TRUE(Qorvi_NETPOD_ReadWriteI2C(read, sizeof read, true, 42, com_));
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskSetTime(20, com_));
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskStart(com_));
    ASSERT_TRUE(Recorder::instance().waitFor([](Recorder& r) { return r.answers >= 5; }));
    const RegisterValues v = LastValues();
    EXPECT_TRUE(v.I2CAnswerValid);
    EXPECT_EQ(v.I2CAnswerAskID, 42);
    EXPECT_EQ(v.I2CAnswerLength, 3);
}

// Without an established connection (here: the module refuses it) the send fails
// in the transport, which says so first.
TEST_F(ConnectionTest, SerialSendWithoutAConnectionFails) {
    StartModule();
    emu::Faults refuse;
    refuse.refuseConnections = true;
    emulator_->setFaults(0, refuse);
    ASSERT_TRUE(OpenRs232());
    const uint8_t bytes[] = {1, 2, 3};
    EXPECT_FALSE(Qorvi_NETPOD_SendData_RS232(bytes, sizeof bytes, com_));
    EXPECT_EQ(LastError(), "EthernetCom->SendData Failed\t(Qorvi_NETPOD_SendData_RS232)");
    const std::string log = LogText();
    const auto transport =
        log.find(IpColumn(ip_) + "Socket Not active\r\nCall first : Qorvi_OpenConnection().\t(Qorvi_Send)");
    const auto exportEntry = log.find(IpColumn(ip_) + "EthernetCom->SendData Failed\t(Qorvi_NETPOD_SendData_RS232)");
    ASSERT_NE(transport, std::string::npos);
    ASSERT_NE(exportEntry, std::string::npos);
    EXPECT_LT(transport, exportEntry);
    EXPECT_TRUE(emulator_->serialReceived(0).empty());
}

TEST_F(ConnectionTest, SerialTunnelEchoesThroughTheModule) {
    StartModule();
    ASSERT_TRUE(OpenRs232());
    WaitConnected();
    uint8_t probe[100];
    int32_t n = 100;
    ASSERT_TRUE(Qorvi_NETPOD_GetData_RS232(probe, &n, com_));
    EXPECT_EQ(n, 0);   // nothing yet

    uint8_t data[40];
    for (int i = 0; i < 40; ++i)
        data[i] = static_cast<uint8_t>('A' + i);
    ASSERT_TRUE(Qorvi_NETPOD_SendData_RS232(data, sizeof data, com_));
    ASSERT_TRUE(Recorder::instance().waitFor([](Recorder& r) {
        int total = 0;
        for (int c : r.rs232Counts)
            total += c;
        return total >= 40;
    }));
    const auto counts = Recorder::instance().read([](Recorder& r) { return r.rs232Counts; });
    if (counts.size() == 1) {   // one batch of 40, as loopback usually delivers
        uint8_t out[100];
        int32_t len = 10;
        ASSERT_TRUE(Qorvi_NETPOD_GetData_RS232(out, &len, com_));
        EXPECT_EQ(len, 10);
        EXPECT_EQ(std::memcmp(out, data, 10), 0);
        len = 100;
        ASSERT_TRUE(Qorvi_NETPOD_GetData_RS232(out, &len, com_));
        EXPECT_EQ(len, 40);
        EXPECT_EQ(std::memcmp(out, data, 40), 0);
        len = 100;
        ASSERT_TRUE(Qorvi_NETPOD_GetData_RS232(out, &len, com_));   // not consumed
        EXPECT_EQ(len, 40);
    }
    EXPECT_EQ(emulator_->serialReceived(0), std::vector<uint8_t>(data, data + 40));
    EXPECT_FALSE(Qorvi_NETPOD_SendData_RS232(nullptr, 3, com_));
    EXPECT_EQ(LastError(), "Pointer on data to Send not valid. DataBuf = NULL\t(Qorvi_NETPOD_SendData_RS232)");
    EXPECT_FALSE(Qorvi_NETPOD_GetData_RS232(nullptr, &n, com_));
    EXPECT_EQ(LastError(),
              "Pointer on buffer to receive data not valid. DataBuf = NULL\t(Qorvi_NETPOD_GetData_RS232)");
}

}  // namespace
}  // namespace netpod::test
