// The emulator seen from raw loopback sockets: what it answers on UDP 7010 and on
// TCP 8010 and 8000.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <thread>

#include "emulator_client.h"
#include "netpod_emulator/emulator.h"
#include "netpod_emulator/frame.h"

namespace netpod::emu {
namespace {

using test::Bytes;
using test::TcpClient;
using test::UdpClient;

constexpr int kWaitMs = 2000;

std::unique_ptr<Emulator> Start(ModuleConfig base = {}, std::size_t modules = 1) {
    std::string error;
    auto emulator = StartOnFreeLoopback(base, modules, &error);
    EXPECT_NE(emulator, nullptr) << error;
    return emulator;
}

Bytes Body(const Bytes& frame) {
    return Bytes(frame.begin() + 6, frame.end() - 2);
}

Bytes Read(const Bytes& addresses) {
    return BuildFrame(kCodeReadRegisters, 0, addresses);
}

Bytes Write(const Bytes& items) {
    return BuildFrame(kCodeWriteRegisters, 0, items);
}

// Sends one request on an open main-port connection and returns the answer frame.
Bytes Exchange(TcpClient& client, const Bytes& request, std::size_t answerSize) {
    EXPECT_TRUE(client.send(request));
    return client.receiveExactly(answerSize, kWaitMs);
}

TEST(EmulatorUdp, ScanReadIsAnsweredWithOne42ByteDatagramInBothVersionForms) {
    for (const std::array<std::uint8_t, 4> version : {std::array<std::uint8_t, 4>{0, 2, 0, 5}, {1, 2, 3, 4}}) {
        ModuleConfig base;
        base.version = version;
        base.mac = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
        auto emulator = Start(base);
        ASSERT_TRUE(emulator);
        const std::string address = emulator->config(0).address;
        UdpClient client;
        ASSERT_TRUE(client.send(address, Bytes{0x00, 0x21, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x15, 0x11,
                                               static_cast<std::uint8_t>(FrameChecksum(Bytes{0x00, 0x21, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x15, 0x11}) >> 8),
                                               static_cast<std::uint8_t>(FrameChecksum(Bytes{0x00, 0x21, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x15, 0x11}))}));
        Bytes answer;
        std::string from;
        ASSERT_TRUE(client.receive(&answer, kWaitMs, &from));
        EXPECT_EQ(from, address);  // answered from the module's own address
        ASSERT_EQ(answer.size(), 42u);
        EXPECT_TRUE(test::ChecksumVerifies(answer));
        Bytes expected{0x00, 0x23, 0x00, 0x00, 0x00, 0x22, 0x00, 0x00, 0x08, 0x00, 0x02, 0x01};
        expected.insert(expected.end(), version.begin(), version.end());
        expected.push_back(0x15);
        const std::string name = "NETPOD-EMU-01";
        expected.insert(expected.end(), name.begin(), name.end());
        expected.insert(expected.end(), 16 - name.size(), 0);
        expected.insert(expected.end(), {0x11, 0x02, 0x11, 0x22, 0x33, 0x44, 0x55});
        EXPECT_EQ(Body(answer), Bytes(expected.begin() + 6, expected.end()));
        EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 6), Bytes(expected.begin(), expected.begin() + 6));
        Bytes extra;
        EXPECT_FALSE(client.receive(&extra, 100)) << "one datagram per read";
        EXPECT_EQ(emulator->counters(0).udpReads, 1u);
    }
}

TEST(EmulatorUdp, InitialTypeTestGetsA13ByteAnswerAndBadRequestsGetNone) {
    ModuleConfig base;
    base.typeLow = 0;
    auto emulator = Start(base);
    ASSERT_TRUE(emulator);
    const std::string address = emulator->config(0).address;
    UdpClient client;
    ASSERT_TRUE(client.send(address, Bytes{0x00, 0x21, 0x00, 0x00, 0x00, 0x01, 0x00, 0xFF, 0xDD}));
    Bytes answer;
    ASSERT_TRUE(client.receive(&answer, kWaitMs));
    ASSERT_EQ(answer.size(), 13u);
    EXPECT_TRUE(test::ChecksumVerifies(answer));
    EXPECT_EQ(Body(answer), (Bytes{0x00, 0x00, 0x08, 0x00, 0x00}));

    // A wrong checksum and a truncated packet are not answered.
    ASSERT_TRUE(client.send(address, Bytes{0x00, 0x21, 0x00, 0x00, 0x00, 0x01, 0x00, 0xFF, 0xDE}));
    ASSERT_TRUE(client.send(address, Bytes{0x00, 0x21, 0x00}));
    EXPECT_FALSE(client.receive(&answer, 300));
    EXPECT_EQ(emulator->counters(0).udpBadPackets, 2u);
    EXPECT_EQ(emulator->receivedDatagrams(0).size(), 3u);
}

TEST(EmulatorUdp, ChangeOfIpAddressActsOnlyForItsMac) {
    auto emulator = Start({}, 2);
    ASSERT_TRUE(emulator);
    const auto mac = emulator->config(1).mac;
    auto request = [](const std::array<std::uint8_t, 6>& m) {
        Bytes body(m.begin(), m.end());
        body.insert(body.end(), {10, 1, 2, 3, 255, 255, 0, 0});
        return BuildFrame(kCodeSetIpConfiguration, 1, body);
    };
    UdpClient client;
    Bytes ack;
    // Addressed to module 1 but sent to module 0: module 0 stays silent.
    ASSERT_TRUE(client.send(emulator->config(0).address, request(mac)));
    EXPECT_FALSE(client.receive(&ack, 300));
    EXPECT_EQ(emulator->counters(0).udpChangeIpIgnored, 1u);
    EXPECT_EQ(emulator->registers(0).ip[0], 127);

    ASSERT_TRUE(client.send(emulator->config(1).address, request(mac)));
    ASSERT_TRUE(client.receive(&ack, kWaitMs));
    EXPECT_TRUE(test::ChecksumVerifies(ack));
    const auto regs = emulator->registers(1);
    EXPECT_EQ(regs.ip, (std::array<std::uint8_t, 4>{10, 1, 2, 3}));
    EXPECT_EQ(regs.mask, (std::array<std::uint8_t, 4>{255, 255, 0, 0}));
    // It keeps listening where it was and reports its new configuration.
    ASSERT_TRUE(client.send(emulator->config(1).address, Read({0x12, 0x13})));
    Bytes answer;
    ASSERT_TRUE(client.receive(&answer, kWaitMs));
    EXPECT_EQ(Body(answer), (Bytes{0x12, 10, 1, 2, 3, 0x13, 255, 255, 0, 0}));
}

TEST(EmulatorTcp, ReadAnswersEveryRegisterInTheRequestedOrder) {
    ModuleConfig base;
    base.dynamicValues = false;
    base.version = {1, 2, 3, 4};
    auto emulator = Start(base);
    ASSERT_TRUE(emulator);
    ASSERT_TRUE(emulator->setRegisterValue(0, 0x07, Bytes{0x00, 0x18, 0x00, 0x00}));
    ASSERT_TRUE(emulator->setRegisterValue(0, 0x08, Bytes{0x80, 0x00, 0x00, 0x01}));
    TcpClient client(emulator->config(0).address, 8010);
    ASSERT_TRUE(client.connected());
    const Bytes answer = Exchange(client, Read({0x23, 0x00, 0x01, 0x07, 0x08, 0x0B, 0x0C, 0x14, 0x1A, 0x3F}), 50);
    ASSERT_EQ(answer.size(), 50u);
    EXPECT_TRUE(test::ChecksumVerifies(answer));
    EXPECT_EQ(answer[1], 0x23);
    EXPECT_EQ(Body(answer), (Bytes{0x23, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x02, 0x01, 1, 2, 3, 4,
                                   0x07, 0x00, 0x18, 0x00, 0x00, 0x08, 0x80, 0x00, 0x00, 0x01,
                                   0x0B, 0, 0, 0, 42, 0x0C, 0, 0, 0x03, 0xE8, 0x14, 30, 0x1A, 1,
                                   0x3F, 0, 0, 0, 0}));
    // An address outside the map is left out of the answer and counted.
    const Bytes partial = Exchange(client, Read({0x09, 0x21}), 8 + 3);
    EXPECT_EQ(Body(partial), (Bytes{0x21, 0x00, 0x00}));
    EXPECT_EQ(emulator->counters(0).mainUnknownRegisters, 1u);
}

TEST(EmulatorTcp, WritesStickAndSplitOrJoinedRequestsAreReassembled) {
    auto emulator = Start();
    ASSERT_TRUE(emulator);
    TcpClient client(emulator->config(0).address, 8010);
    ASSERT_TRUE(client.connected());
    const Bytes write = Write({0x21, 0x12, 0x34, 0x14, 0x07});
    const Bytes ack = Exchange(client, write, 8);
    ASSERT_EQ(ack.size(), 8u);
    EXPECT_TRUE(test::ChecksumVerifies(ack));
    EXPECT_EQ(Bytes(ack.begin() + 4, ack.begin() + 6), (Bytes{0, 0}));
    EXPECT_EQ(emulator->registers(0).outputs, 0x1234);

    // A request split over two sends, with a pause between them.
    const Bytes read = Read({0x21, 0x14});
    ASSERT_TRUE(client.send(Bytes(read.begin(), read.begin() + 5)));
    EXPECT_TRUE(client.receiveSome(150).empty());
    ASSERT_TRUE(client.send(Bytes(read.begin() + 5, read.end())));
    EXPECT_EQ(Body(client.receiveExactly(13, kWaitMs)), (Bytes{0x21, 0x12, 0x34, 0x14, 0x07}));

    // A write and a read in one send: both answered, in order.
    Bytes both = Write({0x21, 0x00, 0x03});
    both.insert(both.end(), read.begin(), read.end());
    const Bytes answers = Exchange(client, both, 8 + 13);
    ASSERT_EQ(answers.size(), 21u);
    EXPECT_EQ(Bytes(answers.begin() + 8 + 6, answers.end() - 2), (Bytes{0x21, 0x00, 0x03, 0x14, 0x07}));
    EXPECT_EQ(emulator->receivedRequests(0).size(), 4u);
    EXPECT_EQ(emulator->receivedRequests(0)[0], write);
}

TEST(EmulatorTcp, CommandsResetAndSaveRestoreTheConfiguration) {
    auto emulator = Start();
    ASSERT_TRUE(emulator);
    const std::string address = emulator->config(0).address;
    TcpClient client(address, 8010);
    TcpClient other(address, 8010);
    TcpClient serial(address, 8000);
    ASSERT_TRUE(client.connected() && other.connected() && serial.connected());
    EXPECT_EQ(Body(Exchange(client, Read({0x1A}), 10)), (Bytes{0x1A, 3}));

    Exchange(client, Write({0x21, 0x00, 0x0F, 0x03}), 8);  // outputs, then save
    Exchange(client, Write({0x21, 0x00, 0xF0, 0x14, 0x09}), 8);
    Exchange(client, Write({0x04}), 8);  // restore the user set
    EXPECT_EQ(emulator->registers(0).outputs, 0x000F);
    EXPECT_EQ(emulator->registers(0).tcpTimeout, 30);
    Exchange(client, Write({0x21, 0x00, 0xAA, 0x06, 0x21, 0x00, 0x01, 0x05}), 8);  // factory save, change, factory restore
    EXPECT_EQ(emulator->registers(0).outputs, 0x00AA);

    // A reset answers, then drops every TCP connection of the module.
    Exchange(client, Write({0x21, 0x00, 0x55}), 8);
    const Bytes resetAck = Exchange(client, Write({0x02}), 8);
    EXPECT_EQ(resetAck.size(), 8u);
    EXPECT_TRUE(client.closedByPeer(kWaitMs));
    EXPECT_TRUE(other.closedByPeer(kWaitMs));
    EXPECT_TRUE(serial.closedByPeer(kWaitMs));
    const auto regs = emulator->registers(0);
    EXPECT_EQ(regs.outputs, 0x000F);  // back to the saved user set
    EXPECT_EQ(regs.tcpConnectionsOpened, 0);
    EXPECT_EQ(regs.commandsSeen, (std::vector<std::uint8_t>{0x03, 0x04, 0x06, 0x05, 0x02}));
    const auto counters = emulator->counters(0);
    EXPECT_EQ(counters.resets, 1u);
    EXPECT_EQ(counters.userSaves + counters.userRestores + counters.factorySaves + counters.factoryRestores, 4u);
    // The module takes new connections after its restart.
    TcpClient again(address, 8010);
    ASSERT_TRUE(again.connected());
    EXPECT_EQ(Body(Exchange(again, Read({0x1A}), 10)), (Bytes{0x1A, 1}));
}

TEST(EmulatorTcp, I2CTransferAndScanOnTheMainPort) {
    auto emulator = Start();
    ASSERT_TRUE(emulator);
    TcpClient client(emulator->config(0).address, 8010);
    ASSERT_TRUE(client.connected());
    const Bytes written = Exchange(client, BuildFrame(kCodeI2CTransfer, 0x1234, Bytes{0xA0, 0x10, 'a', 'b', 'c'}), 9);
    ASSERT_EQ(written.size(), 9u);
    EXPECT_EQ(Bytes(written.begin(), written.begin() + 4), (Bytes{0x00, 0x08, 0x12, 0x34}));
    EXPECT_EQ(Body(written), (Bytes{kI2CStatusOk}));
    EXPECT_EQ(emulator->eeprom(0)[0x11], 'b');
    const Bytes read = Exchange(client, BuildFrame(kCodeI2CTransfer, 7, Bytes{0xA1, 3, 0x10}), 12);
    EXPECT_EQ(read[3], 7);
    EXPECT_EQ(Body(read), (Bytes{kI2CStatusOk, 'a', 'b', 'c'}));
    const Bytes scan = Exchange(client, Bytes{0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFA}, 10);
    ASSERT_EQ(scan.size(), 10u);
    EXPECT_EQ(scan[1], 0x06);
    EXPECT_EQ(Body(scan), (Bytes{0x48, 0x50}));
    EXPECT_TRUE(test::ChecksumVerifies(scan));
}

TEST(EmulatorTcp, SerialPortEchoesAndRecords) {
    auto emulator = Start();
    ASSERT_TRUE(emulator);
    TcpClient serial(emulator->config(0).address, 8000);
    ASSERT_TRUE(serial.connected());
    Bytes data(3000);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i);
    ASSERT_TRUE(serial.send(data));
    EXPECT_EQ(serial.receiveExactly(data.size(), kWaitMs), data);
    EXPECT_EQ(emulator->serialReceived(0), data);
    EXPECT_EQ(emulator->counters(0).serialBytesReceived, data.size());
}

TEST(EmulatorTcp, OversizedLengthFieldClosesTheConnection) {
    auto emulator = Start();
    ASSERT_TRUE(emulator);
    TcpClient client(emulator->config(0).address, 8010);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.send(Bytes{0x00, 0x21, 0x00, 0x00, 0xFF, 0xFF}));
    EXPECT_TRUE(client.closedByPeer(kWaitMs));
}

TEST(EmulatorLifecycle, AnAddressInUseFailsToStartAndStopIsIdempotent) {
    auto first = Start();
    ASSERT_TRUE(first);
    Emulator second({first->config(0)});
    std::string error;
    EXPECT_FALSE(second.start(&error));
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    ModuleConfig longName = first->config(0);
    longName.name = std::string(17, 'x');
    longName.address = "127.0.0.1";
    Emulator third({longName});
    EXPECT_FALSE(third.start(&error));
    first->stop();
    first->stop();
    // Once stopped, the address is free again.
    EXPECT_TRUE(second.start(&error)) << error;
    TcpClient client(second.config(0).address, 8010);
    EXPECT_TRUE(client.connected());
}

TEST(EmulatorLifecycle, PseudoTerminalCarriesSerialDataBothWays) {
    ModuleConfig base;
    base.serialPty = true;
    auto emulator = Start(base);
    ASSERT_TRUE(emulator);
    const std::string path = emulator->ptyPath(0);
    ASSERT_FALSE(path.empty());
    test::Fd terminal(::open(path.c_str(), O_RDWR | O_NOCTTY));
    ASSERT_GE(terminal.get(), 0);
    TcpClient serial(emulator->config(0).address, 8000);
    ASSERT_TRUE(serial.connected());
    ASSERT_TRUE(serial.send(Bytes{'p', 'i', 'n', 'g'}));
    Bytes got;
    while (got.size() < 4 && test::WaitReadable(terminal.get(), kWaitMs)) {
        std::uint8_t buffer[16];
        const ssize_t n = ::read(terminal.get(), buffer, sizeof buffer);
        if (n <= 0)
            break;
        got.insert(got.end(), buffer, buffer + n);
    }
    EXPECT_EQ(got, (Bytes{'p', 'i', 'n', 'g'}));
    ASSERT_EQ(::write(terminal.get(), "pong", 4), 4);
    EXPECT_EQ(serial.receiveExactly(4, kWaitMs), (Bytes{'p', 'o', 'n', 'g'}));
}

}  // namespace
}  // namespace netpod::emu
