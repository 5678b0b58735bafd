// The emulator's pure parts: framing, register file, I2C bus, module numbering and
// the command line.
#include <gtest/gtest.h>

#include "command_line.h"
#include "emulator_client.h"
#include "i2c_bus.h"
#include "module_protocol.h"
#include "netpod_emulator/frame.h"
#include "register_file.h"

namespace netpod::emu {
namespace {

using test::Bytes;

TEST(EmulatorFrame, ChecksumMatchesTheWorkedExamples) {
    EXPECT_EQ(FrameChecksum(Bytes{0x61, 0x62, 0x63}), 0x3B9D);
    EXPECT_EQ(FrameChecksum(Bytes{}), 0x0000);
    EXPECT_EQ(FrameChecksum(Bytes{0xFF, 0xFF}), 0x0000);
    EXPECT_EQ(BuildFrame(kCodeReadRegisters, 0, Bytes{0x00}), (Bytes{0x00, 0x21, 0x00, 0x00, 0x00, 0x01, 0x00, 0xFF, 0xDD}));
    // An empty body: header and a checksum over the header alone.
    const Bytes empty = BuildFrame(kCodeWriteRegisters, 7, {});
    ASSERT_EQ(empty.size(), 8u);
    EXPECT_TRUE(test::ChecksumVerifies(empty));
    // Odd and even bodies agree with the byte-by-byte verification.
    for (std::size_t n = 0; n < 40; ++n) {
        Bytes body(n);
        for (std::size_t i = 0; i < n; ++i)
            body[i] = static_cast<std::uint8_t>(i * 37 + n);
        EXPECT_TRUE(test::ChecksumVerifies(BuildFrame(0x1234, 0xABCD, body))) << n;
    }
}

TEST(EmulatorFrame, AssemblerFollowsTheLengthFieldAcrossAnySplit) {
    const Bytes a = BuildFrame(kCodeReadRegisters, 0, Bytes{0x00, 0x01});
    const Bytes b = BuildFrame(kCodeWriteRegisters, 0, Bytes{0x21, 0x00, 0x05});
    Bytes stream = a;
    stream.insert(stream.end(), b.begin(), b.end());
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        FrameAssembler assembler;
        auto first = assembler.feed(std::span(stream).first(cut));
        auto second = assembler.feed(std::span(stream).subspan(cut));
        first.insert(first.end(), second.begin(), second.end());
        ASSERT_EQ(first.size(), 2u) << cut;
        EXPECT_EQ(first[0].second, a);
        EXPECT_EQ(first[1].first.code, kCodeWriteRegisters);
        EXPECT_EQ(first[1].first.body, (Bytes{0x21, 0x00, 0x05}));
        EXPECT_TRUE(first[0].first.checksumOk && first[1].first.checksumOk);
        EXPECT_EQ(assembler.pending(), 0u);
    }
    Bytes bad = a;
    bad.back() ^= 1;
    FrameAssembler assembler;
    const auto frames = assembler.feed(bad);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_FALSE(frames[0].first.checksumOk);

    FrameAssembler small(16);
    EXPECT_TRUE(small.feed(Bytes{0x00, 0x21, 0x00, 0x00, 0x00, 0x11}).empty());
    EXPECT_TRUE(small.broken());
}

TEST(EmulatorRegisters, WritesStickAndCommandsMoveTheParameterSets) {
    ModuleConfig config;
    config.address = "127.1.2.3";
    config.dynamicValues = false;
    RegisterFile regs(config);
    EXPECT_EQ(*regs.read(kRegIpAddress, 0), (Bytes{127, 1, 2, 3}));
    Bytes name = *regs.read(kRegModuleName, 0);
    ASSERT_EQ(name.size(), 16u);
    EXPECT_EQ(std::string(name.begin(), name.begin() + 13), "NETPOD-EMU-01");
    EXPECT_EQ(name[13], 0);

    ASSERT_TRUE(regs.write(kRegOutputs, Bytes{0x80, 0x01}));
    EXPECT_EQ(*regs.read(kRegOutputs, 0), (Bytes{0x80, 0x01}));
    EXPECT_EQ(*regs.read(kRegInputs, 0), (Bytes{0x80, 0x01}));  // wired back
    // Input voltages follow their input: 24 V on, 0 V off.
    EXPECT_EQ(*regs.read(kRegInputVoltage0, 0), (Bytes{0x00, 0x18, 0x00, 0x00}));
    EXPECT_EQ(*regs.read(kRegInputVoltage0 + 1, 0), (Bytes{0, 0, 0, 0}));
    EXPECT_FALSE(regs.write(kRegType, Bytes{0, 9, 0, 9}));    // read-only
    EXPECT_FALSE(regs.write(kRegOutputs, Bytes{0x01}));       // wrong width
    EXPECT_FALSE(regs.read(0x09, 0).has_value());
    EXPECT_FALSE(regs.read(kRegResetCpu, 0).has_value());

    ASSERT_TRUE(regs.command(kRegSaveUserParameters));
    regs.write(kRegOutputs, Bytes{0x00, 0x0F});
    regs.write(kRegTcpTimeout, Bytes{99});
    ASSERT_TRUE(regs.command(kRegRestoreUserParameters));
    EXPECT_EQ(*regs.read(kRegOutputs, 0), (Bytes{0x80, 0x01}));
    EXPECT_EQ(*regs.read(kRegTcpTimeout, 0), (Bytes{30}));

    regs.write(kRegRs232Config, Bytes{0x42});
    ASSERT_TRUE(regs.command(kRegSaveFactoryParameters));
    regs.write(kRegRs232Config, Bytes{0x01});
    ASSERT_TRUE(regs.command(kRegRestoreFactoryParameters));
    EXPECT_EQ(*regs.read(kRegRs232Config, 0), (Bytes{0x42}));
    EXPECT_FALSE(regs.command(kRegOutputs));
}

TEST(EmulatorRegisters, DynamicValuesMoveAndPinsHoldThem) {
    ModuleConfig config;
    RegisterFile regs(config);
    EXPECT_EQ(*regs.read(kRegTimeInService, 0.2), (Bytes{0, 0, 0x03, 0xE8}));
    EXPECT_EQ(*regs.read(kRegTimeInService, 5.7), (Bytes{0, 0, 0x03, 0xED}));
    EXPECT_NE(*regs.read(kRegInputs, 0.5), *regs.read(kRegInputs, 1.5));  // heartbeat input
    EXPECT_NE(*regs.read(kRegVoltage, 0), *regs.read(kRegVoltage, 10));
    ASSERT_TRUE(regs.pin(kRegVoltage, Bytes{0xFF, 0xFF, 0x80, 0x00}));
    EXPECT_EQ(*regs.read(kRegVoltage, 33), (Bytes{0xFF, 0xFF, 0x80, 0x00}));
    ASSERT_TRUE(regs.pin(kRegInputs, Bytes{0x12, 0x34}));
    EXPECT_EQ(*regs.read(kRegInputs, 1.5), (Bytes{0x12, 0x34}));
    EXPECT_FALSE(regs.pin(kRegSaveUserParameters, Bytes{}));
    EXPECT_FALSE(regs.pin(0x09, Bytes{0, 0, 0, 0}));
}

TEST(EmulatorI2C, EepromSensorAndMalformedRequests) {
    I2CBus bus;
    EXPECT_EQ(bus.scan(), (Bytes{0x48, 0x50}));
    // Write three bytes from word address 0xFE: they wrap to 0x00.
    EXPECT_EQ(bus.transfer(Bytes{0xA0, 0xFE, 1, 2, 3}), (Bytes{kI2CStatusOk}));
    EXPECT_EQ(bus.eeprom()[0xFE], 1);
    EXPECT_EQ(bus.eeprom()[0x00], 3);
    // Write-then-read: set the word address, read four bytes.
    EXPECT_EQ(bus.transfer(Bytes{0xA1, 4, 0xFE}), (Bytes{kI2CStatusOk, 1, 2, 3, 0xFF}));
    // A plain read continues where the last one stopped.
    EXPECT_EQ(bus.transfer(Bytes{0xA1, 1}), (Bytes{kI2CStatusOk, 0xFF}));
    EXPECT_EQ(bus.transfer(Bytes{0x91, 2, 0x00}), (Bytes{kI2CStatusOk, 0x19, 0x80}));
    EXPECT_EQ(bus.transfer(Bytes{0x90, 0x01, 0x60}), (Bytes{kI2CStatusOk}));
    EXPECT_EQ(bus.transfer(Bytes{0x91, 1, 0x01}), (Bytes{kI2CStatusOk, 0x60}));
    EXPECT_EQ(bus.transfer(Bytes{0x90, 0x00, 0x00, 0x00}), (Bytes{kI2CStatusOk}));  // temperature stays
    EXPECT_EQ(bus.transfer(Bytes{0x91, 2}), (Bytes{kI2CStatusOk, 0x19, 0x80}));
    EXPECT_EQ(bus.transfer(Bytes{0x21, 1}), (Bytes{kI2CStatusNoDevice}));
    EXPECT_EQ(bus.transfer(Bytes{}), (Bytes{kI2CStatusBadRequest}));
    EXPECT_EQ(bus.transfer(Bytes{0xA1}), (Bytes{kI2CStatusBadRequest}));
    EXPECT_EQ(bus.transfer(Bytes{0xA1, 180}), (Bytes{kI2CStatusBadRequest}));
    EXPECT_EQ(bus.transfer(Bytes{0xA1, 179}).size(), 180u);
}

TEST(EmulatorProtocol, AnswerFaultsRewriteTheFrame) {
    const Bytes body{kRegOutputs, 0x00, 0x01, kRegTcpTimeout, 30};
    Bytes frame = BuildFrame(kCodeReadAnswer, 0, body);
    ASSERT_TRUE(InsertUnknownRegister(frame));
    EXPECT_TRUE(test::ChecksumVerifies(frame));
    EXPECT_EQ(Bytes(frame.begin() + 6, frame.end() - 2),
              (Bytes{kRegOutputs, 0x00, 0x01, kUnknownRegisterAddress, 0, 0, 0, 0, kRegTcpTimeout, 30}));
    Bytes write = BuildFrame(kCodeWriteRegisters, 0, {});
    EXPECT_FALSE(InsertUnknownRegister(write));
    CorruptChecksum(write);
    EXPECT_FALSE(test::ChecksumVerifies(write));
}

TEST(EmulatorProtocol, WriteStopsAtAnUnknownRegisterButAnswers) {
    ModuleModel module{ModuleConfig{}};
    MainAnswer answer;
    Frame request;
    request.code = kCodeWriteRegisters;
    request.checksumOk = true;
    request.body = {kRegTcpTimeout, 5, 0x09, 1, 2, kRegRs232Config, 7};
    AnswerMainPacket(module, request, 0, answer);
    ASSERT_EQ(answer.frames.size(), 1u);
    EXPECT_EQ(answer.frames[0].size(), 8u);
    const auto snapshot = module.registers.snapshot(0);
    EXPECT_EQ(snapshot.tcpTimeout, 5);
    EXPECT_EQ(snapshot.rs232Config, 0);
    EXPECT_EQ(module.counters.mainUnknownRegisters, 1u);
}

TEST(EmulatorNumbering, ModulesCountUpInAddressMacAndName) {
    ModuleConfig base;
    base.address = "127.0.0.254";
    base.mac = {0x02, 0, 0, 0, 0, 0xFF};
    const ModuleConfig second = NthModule(base, 2);
    EXPECT_EQ(second.address, "127.0.1.0");
    EXPECT_EQ(second.mac, (std::array<std::uint8_t, 6>{0x02, 0, 0, 0, 1, 0x01}));
    EXPECT_EQ(second.name, "NETPOD-EMU-03");
    base.name = "PUMP";
    EXPECT_EQ(NthModule(base, 1).name, "PUMP2");
    base.name = "STATION-99";
    EXPECT_EQ(NthModule(base, 1).name, "STATION-100");
}

TEST(EmulatorCommandLine, AcceptsEveryOptionAndRejectsBadValues) {
    std::string error;
    const auto o = ParseCommandLine({"--address", "127.0.0.9", "--modules", "3", "--type", "8.0", "--version", "1.2.3.4",
                                     "--mac", "02:AA:00:00:00:10", "--name", "X-01", "--udp-delay", "250",
                                     "--tcp-split-at", "5", "--tcp-faults-on", "serial", "--udp-type-only", "--static"},
                                    &error);
    ASSERT_TRUE(o) << error;
    EXPECT_EQ(o->base.address, "127.0.0.9");
    EXPECT_EQ(o->modules, 3u);
    EXPECT_EQ(o->base.typeLow, 0);
    EXPECT_EQ(o->base.version, (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
    EXPECT_EQ(o->base.mac[1], 0xAA);
    EXPECT_EQ(o->faults.udpDelayMs, 250);
    EXPECT_EQ(o->faults.tcpSplitAt, 5);
    EXPECT_FALSE(o->faults.tcpOnMainPort);
    EXPECT_TRUE(o->faults.tcpOnSerialPort);
    EXPECT_TRUE(o->faults.udpTypeOnly);
    EXPECT_FALSE(o->base.dynamicValues);

    const std::vector<std::vector<std::string>> bad = {
        {"--bogus"},           {"--address", "127.0.0"}, {"--modules", "0"},     {"--modules"},
        {"--type", "8"},       {"--type", "8.70000"},    {"--version", "1.2.3"}, {"--version", "1.2.3.256"},
        {"--mac", "02:00:00"}, {"--mac", "0G:00:00:00:00:00"}, {"--name", "12345678901234567"},
        {"--udp-delay", "-1"}, {"--tcp-delay", "x"},     {"--tcp-faults-on", "all"}, {"--address", "255.255.255.255", "--modules", "2"},
    };
    for (const auto& args : bad) {
        error.clear();
        EXPECT_FALSE(ParseCommandLine(args, &error)) << args[0];
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
}  // namespace netpod::emu
