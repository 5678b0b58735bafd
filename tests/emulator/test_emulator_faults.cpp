// Every injected fault really happens: the bytes on the wire show it and its counter
// records it.
#include <gtest/gtest.h>

#include <chrono>

#include "emulator_client.h"
#include "netpod_emulator/emulator.h"
#include "netpod_emulator/frame.h"

namespace netpod::emu {
namespace {

using Clock = std::chrono::steady_clock;
using test::Bytes;
using test::TcpClient;
using test::UdpClient;

constexpr int kWaitMs = 2000;
const Bytes kTypeRead{0x00, 0x21, 0x00, 0x00, 0x00, 0x01, 0x00, 0xFF, 0xDD};

std::unique_ptr<Emulator> StartWith(const Faults& faults) {
    std::string error;
    ModuleConfig base;
    base.dynamicValues = false;
    auto emulator = StartOnFreeLoopback(base, 1, &error);
    EXPECT_NE(emulator, nullptr) << error;
    if (emulator)
        emulator->setFaults(0, faults);
    return emulator;
}

long MillisecondsSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

TEST(EmulatorUdpFaults, NoAnswerDelayAndChecksum) {
    Faults f;
    f.udpNoAnswer = true;
    auto emulator = StartWith(f);
    ASSERT_TRUE(emulator);
    const std::string address = emulator->config(0).address;
    UdpClient client;
    Bytes answer;
    ASSERT_TRUE(client.send(address, kTypeRead));
    EXPECT_FALSE(client.receive(&answer, 300));
    EXPECT_EQ(emulator->counters(0).udpFaults.dropped, 1u);

    f = {};
    f.udpDelayMs = 400;
    f.udpBadChecksum = true;
    emulator->setFaults(0, f);
    const auto sent = Clock::now();
    ASSERT_TRUE(client.send(address, kTypeRead));
    ASSERT_TRUE(client.receive(&answer, kWaitMs));
    EXPECT_GE(MillisecondsSince(sent), 390);
    ASSERT_EQ(answer.size(), 13u);
    EXPECT_FALSE(test::ChecksumVerifies(answer));
    const auto c = emulator->counters(0);
    EXPECT_EQ(c.udpFaults.delayed, 1u);
    EXPECT_EQ(c.udpFaults.corrupted, 1u);
}

TEST(EmulatorUdpFaults, SplitDoubleUnknownRegisterAndTypeOnly) {
    Faults f;
    f.udpSplit = true;
    auto emulator = StartWith(f);
    ASSERT_TRUE(emulator);
    const std::string address = emulator->config(0).address;
    const Bytes scanRead = BuildFrame(kCodeReadRegisters, 0, Bytes{0x00, 0x01, 0x15, 0x11});
    UdpClient client;
    Bytes first, second;
    ASSERT_TRUE(client.send(address, scanRead));
    ASSERT_TRUE(client.receive(&first, kWaitMs));
    ASSERT_TRUE(client.receive(&second, kWaitMs));
    EXPECT_EQ(first.size(), 21u);
    first.insert(first.end(), second.begin(), second.end());
    ASSERT_EQ(first.size(), 42u);
    EXPECT_TRUE(test::ChecksumVerifies(first));
    EXPECT_EQ(emulator->counters(0).udpFaults.split, 1u);

    f = {};
    f.udpDouble = true;
    emulator->setFaults(0, f);
    Bytes doubled;
    ASSERT_TRUE(client.send(address, kTypeRead));
    ASSERT_TRUE(client.receive(&doubled, kWaitMs));
    ASSERT_EQ(doubled.size(), 26u);
    EXPECT_EQ(Bytes(doubled.begin(), doubled.begin() + 13), Bytes(doubled.begin() + 13, doubled.end()));
    EXPECT_EQ(emulator->counters(0).udpFaults.doubled, 1u);

    f = {};
    f.udpUnknownRegister = true;
    emulator->setFaults(0, f);
    Bytes unknown;
    ASSERT_TRUE(client.send(address, scanRead));
    ASSERT_TRUE(client.receive(&unknown, kWaitMs));
    ASSERT_EQ(unknown.size(), 47u);
    EXPECT_TRUE(test::ChecksumVerifies(unknown));
    EXPECT_EQ(unknown[6 + 5], kUnknownRegisterAddress);  // right behind the TYPE item
    EXPECT_EQ(emulator->counters(0).udpFaults.unknownRegister, 1u);

    f = {};
    f.udpTypeOnly = true;
    emulator->setFaults(0, f);
    Bytes typeOnly;
    ASSERT_TRUE(client.send(address, scanRead));
    ASSERT_TRUE(client.receive(&typeOnly, kWaitMs));
    EXPECT_EQ(Bytes(typeOnly.begin() + 6, typeOnly.end() - 2), (Bytes{0x00, 0x00, 0x08, 0x00, 0x02}));
    EXPECT_EQ(emulator->counters(0).udpFaults.typeOnly, 1u);
}

TEST(EmulatorTcpFaults, DropDelayAndSplit) {
    Faults f;
    f.tcpDrop = true;
    auto emulator = StartWith(f);
    ASSERT_TRUE(emulator);
    const std::string address = emulator->config(0).address;
    TcpClient main(address, 8010);
    TcpClient serial(address, 8000);
    ASSERT_TRUE(main.connected() && serial.connected());
    const Bytes read = BuildFrame(kCodeReadRegisters, 0, Bytes{0x21});
    ASSERT_TRUE(main.send(read));
    ASSERT_TRUE(serial.send(Bytes{'x'}));
    EXPECT_TRUE(main.receiveSome(300).empty());
    EXPECT_TRUE(serial.receiveSome(100).empty());
    EXPECT_EQ(emulator->counters(0).mainFaults.dropped, 1u);
    EXPECT_EQ(emulator->counters(0).serialFaults.dropped, 1u);

    f = {};
    f.tcpDelayMs = 300;
    f.tcpSplitAt = 5;
    emulator->setFaults(0, f);
    const auto sent = Clock::now();
    ASSERT_TRUE(main.send(read));
    const Bytes piece = main.receiveSome(kWaitMs);
    EXPECT_GE(MillisecondsSince(sent), 290);
    EXPECT_EQ(piece.size(), 5u);
    const Bytes rest = main.receiveExactly(6, kWaitMs);
    ASSERT_EQ(rest.size(), 6u);
    Bytes whole = piece;
    whole.insert(whole.end(), rest.begin(), rest.end());
    EXPECT_TRUE(test::ChecksumVerifies(whole));
    const auto c = emulator->counters(0);
    EXPECT_EQ(c.mainFaults.delayed, 1u);
    EXPECT_EQ(c.mainFaults.split, 1u);

    // Faults limited to the serial port leave the main port alone.
    f.tcpOnMainPort = false;
    emulator->setFaults(0, f);
    ASSERT_TRUE(main.send(read));
    EXPECT_EQ(main.receiveSome(kWaitMs).size(), 11u);
    EXPECT_EQ(emulator->counters(0).mainFaults.delayed, 1u);
}

TEST(EmulatorTcpFaults, JoinHoldsAnAnswerUntilTheNextOne) {
    Faults f;
    f.tcpJoin = true;
    auto emulator = StartWith(f);
    ASSERT_TRUE(emulator);
    TcpClient main(emulator->config(0).address, 8010);
    ASSERT_TRUE(main.connected());
    ASSERT_TRUE(main.send(BuildFrame(kCodeReadRegisters, 0, Bytes{0x14})));
    EXPECT_TRUE(main.receiveSome(300).empty());
    EXPECT_EQ(emulator->counters(0).mainFaults.joined, 0u);
    ASSERT_TRUE(main.send(BuildFrame(kCodeReadRegisters, 0, Bytes{0x16})));
    const Bytes both = main.receiveExactly(20, kWaitMs);
    ASSERT_EQ(both.size(), 20u);
    EXPECT_EQ(both[6], 0x14);
    EXPECT_EQ(both[10 + 6], 0x16);
    EXPECT_EQ(emulator->counters(0).mainFaults.joined, 1u);
}

TEST(EmulatorTcpFaults, BadChecksumAndUnknownRegisterOnTheMainPort) {
    Faults f;
    f.tcpBadChecksum = true;
    f.tcpUnknownRegister = true;
    auto emulator = StartWith(f);
    ASSERT_TRUE(emulator);
    TcpClient main(emulator->config(0).address, 8010);
    ASSERT_TRUE(main.connected());
    Bytes two = BuildFrame(kCodeReadRegisters, 0, Bytes{0x21, 0x14});
    const Bytes write = BuildFrame(kCodeWriteRegisters, 0, Bytes{0x14, 9});
    two.insert(two.end(), write.begin(), write.end());
    ASSERT_TRUE(main.send(two));
    const Bytes answer = main.receiveExactly(8 + 5 + 5 + 8, kWaitMs);
    ASSERT_EQ(answer.size(), 26u);
    const Bytes readAnswer(answer.begin(), answer.begin() + 18);
    EXPECT_EQ(Bytes(readAnswer.begin() + 6, readAnswer.end() - 2), (Bytes{0x21, 0, 0, kUnknownRegisterAddress, 0, 0, 0, 0, 0x14, 30}));
    EXPECT_FALSE(test::ChecksumVerifies(readAnswer));
    EXPECT_FALSE(test::ChecksumVerifies(Bytes(answer.begin() + 18, answer.end())));
    const auto c = emulator->counters(0);
    EXPECT_EQ(c.mainFaults.corrupted, 2u);
    EXPECT_EQ(c.mainFaults.unknownRegister, 1u);
}

TEST(EmulatorTcpFaults, CloseAcceptThenCloseAndRefuse) {
    Faults f;
    f.tcpCloseOnRequest = true;
    auto emulator = StartWith(f);
    ASSERT_TRUE(emulator);
    const std::string address = emulator->config(0).address;
    {
        TcpClient main(address, 8010);
        ASSERT_TRUE(main.connected());
        ASSERT_TRUE(main.send(kTypeRead));
        EXPECT_TRUE(main.closedByPeer(kWaitMs));
        EXPECT_EQ(emulator->counters(0).mainFaults.closedOnRequest, 1u);
    }
    f = {};
    f.acceptThenClose = true;
    emulator->setFaults(0, f);
    {
        TcpClient main(address, 8010);
        ASSERT_TRUE(main.connected());
        EXPECT_TRUE(main.closedByPeer(kWaitMs));
        EXPECT_EQ(emulator->counters(0).mainFaults.acceptedThenClosed, 1u);
    }
    f = {};
    f.refuseConnections = true;
    f.tcpOnSerialPort = false;
    emulator->setFaults(0, f);
    {
        TcpClient main(address, 8010);
        EXPECT_EQ(main.connectError(), ECONNREFUSED);
        TcpClient serial(address, 8000);
        EXPECT_TRUE(serial.connected());
        EXPECT_EQ(emulator->counters(0).mainFaults.listenerClosed, 1u);
        EXPECT_EQ(emulator->counters(0).serialFaults.listenerClosed, 0u);
    }
    emulator->setFaults(0, Faults{});
    TcpClient main(address, 8010);
    ASSERT_TRUE(main.connected());
    ASSERT_TRUE(main.send(kTypeRead));
    EXPECT_EQ(main.receiveExactly(13, kWaitMs).size(), 13u);
}

TEST(EmulatorTcpFaults, RefusingBeforeStartDoesNotListen) {
    Faults f;
    f.refuseConnections = true;
    std::string error;
    auto emulator = StartOnFreeLoopback({}, 1, &error);
    ASSERT_TRUE(emulator) << error;
    ModuleConfig again = emulator->config(0);
    emulator.reset();  // frees the address for a second emulator that refuses from the start
    Emulator refusing({again});
    refusing.setFaults(0, f);
    ASSERT_TRUE(refusing.start(&error)) << error;
    TcpClient main(again.address, 8010);
    EXPECT_EQ(main.connectError(), ECONNREFUSED);
    EXPECT_EQ(refusing.counters(0).mainFaults.listenerClosed, 1u);
    EXPECT_EQ(refusing.counters(0).serialFaults.listenerClosed, 1u);
}

}  // namespace
}  // namespace netpod::emu
