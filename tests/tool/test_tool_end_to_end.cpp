// The built `netpod` against emulated modules, as a user runs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "netpod_emulator/emulator.h"
#include "tool_process.h"

using netpod::test::RunTool;
using netpod::test::ToolProcess;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// A module with values that differ from the emulator's defaults, so that a report
// can only show them by really reading them.
std::unique_ptr<netpod::emu::Emulator> StartModule() {
    netpod::emu::ModuleConfig config;
    config.typeLow = 0;
    config.version = {0x01, 0x02, 0x03, 0x04};
    config.mac = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    config.name = "press line 7";
    config.nbPowerUp = 1234;
    config.dynamicValues = false;
    std::string error;
    auto emulator = netpod::emu::StartOnFreeLoopback(config, 1, &error);
    EXPECT_NE(emulator, nullptr) << error;
    return emulator;
}

}  // namespace

TEST(ToolEndToEnd, InfoReportsTheModulesOwnValues) {
    auto module = StartModule();
    ASSERT_NE(module, nullptr);
    const std::string address = module->config(0).address;
    const auto result = RunTool({"info", address});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("module " + address), std::string::npos);
    EXPECT_NE(result.out.find("8.0 (Qorvi-NETPOD)"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("3.4.1.2"), std::string::npos) << result.out;  // VERSION 01 02 03 04
    EXPECT_NE(result.out.find("02:11:22:33:44:55"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("\"press line 7\""), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("1234"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("24.000 V"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("15: 0.000 V"), std::string::npos) << result.out;
    // Everything came in one exchange: one read request on the main port.
    EXPECT_EQ(module->counters(0).mainReads, 1U);
}

TEST(ToolEndToEnd, EmulateRunsEveryCommandWithoutHardware) {
    const auto info = RunTool({"--emulate", "info"});
    ASSERT_EQ(info.exitCode, 0) << info.err;
    EXPECT_NE(info.out.find("8.2 (Qorvi-NETPOD 2)"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("\"NETPOD-EMU-01\""), std::string::npos) << info.out;

    const auto watch = RunTool({"--emulate", "watch", "inputs", "--count", "20", "--csv", "--period", "20"});
    ASSERT_EQ(watch.exitCode, 0) << watch.err;
    const auto lines = Lines(watch.out);
    ASSERT_EQ(lines.size(), 20U) << watch.out;
    long previous = -1;
    for (const std::string& line : lines) {
        const auto comma = line.find(',');
        ASSERT_NE(comma, std::string::npos) << line;
        const long ms = std::stol(line.substr(0, comma));
        EXPECT_GE(ms, previous);
        previous = ms;
        EXPECT_EQ(line.substr(comma + 1, 2), "0x") << line;
        EXPECT_EQ(line.size(), comma + 7) << line;  // one 16-bit mask
    }

    const auto write = RunTool({"--emulate", "write", "outputs=0,9"});
    ASSERT_EQ(write.exitCode, 0) << write.err;
    EXPECT_NE(write.out.find("read back:\n  outputs           0, 9 (0x0201)"), std::string::npos) << write.out;
}

TEST(ToolEndToEnd, WriteReachesTheModuleAndReadsBack) {
    auto module = StartModule();
    ASSERT_NE(module, nullptr);
    const std::string address = module->config(0).address;

    auto result = RunTool({"write", address, "outputs=0,9", "name=line 3", "threshold=-1.5", "tcp-timeout=200"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto registers = module->registers(0);
    EXPECT_EQ(registers.outputs, 0x0201);
    EXPECT_EQ(std::string(registers.name.data(), 6), "line 3");
    EXPECT_EQ(registers.name[6], '\0');
    EXPECT_EQ(registers.analogThresholdRaw, -98304);  // -1.5 with 16 fraction bits
    EXPECT_EQ(registers.tcpTimeout, 200);

    // The mask form writes the same outputs.
    result = RunTool({"write", address, "outputs=0x0003"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(module->registers(0).outputs, 0x0003);
    result = RunTool({"write", address, "outputs=0,9"});
    ASSERT_EQ(result.exitCode, 0) << result.err;

    result = RunTool({"read", address, "outputs", "inputs", "name", "input-voltage.9"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("outputs           0, 9 (0x0201)"), std::string::npos) << result.out;
    // The inputs mirror the outputs on the emulated module.
    EXPECT_NE(result.out.find("inputs            0, 9 (0x0201)"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("\"line 3\""), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("input-voltage.9   24.000 V"), std::string::npos) << result.out;
}

TEST(ToolEndToEnd, LibraryRefusalsExitOneWithTheLibrarysText) {
    auto module = StartModule();
    ASSERT_NE(module, nullptr);
    const std::string address = module->config(0).address;
    const auto writesBefore = module->counters(0).mainWrites;

    auto result = RunTool({"write", address, "tcp-timeout=300"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("TCP TimeOut value not valid.  (Qorvi_NETPOD_Write_TCPTIMEOUT)"), std::string::npos)
        << result.err;
    EXPECT_EQ(result.err.find('\t'), std::string::npos);
    EXPECT_EQ(module->counters(0).mainWrites, writesBefore);  // nothing was sent

    result = RunTool({"i2c", address, "xfer", "a0", "--ask-id", "65536"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("AskID value not valid."), std::string::npos) << result.err;

    result = RunTool({"watch", address, "inputs", "--period", "0", "--count", "1"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("(Qorvi_NETPOD_SetRepetitiveAskTime)"), std::string::npos) << result.err;

    result = RunTool({"info", "10.0.0.256"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("Address IP not valid  (Qorvi_NETPOD_OpenConnection_MAINPORT)"), std::string::npos)
        << result.err;
}

TEST(ToolEndToEnd, AddressWithoutModuleFailsAfterTheInitialTest) {
    // A loopback address where nothing listens: the initial test gets no answer.
    auto module = StartModule();
    ASSERT_NE(module, nullptr);
    std::array<int, 4> parts{};
    std::sscanf(module->config(0).address.c_str(), "%d.%d.%d.%d", &parts[0], &parts[1], &parts[2], &parts[3]);
    const std::string empty = "127." + std::to_string(parts[1]) + "." + std::to_string(parts[2]) + "." +
                              std::to_string(parts[3] == 254 ? 253 : parts[3] + 1);
    const auto result = RunTool({"read", empty, "type"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("Initial Test failed  (Qorvi_NETPOD_OpenConnection_MAINPORT)"), std::string::npos)
        << result.err;
    // The initial test's own reason, logged just before, is shown too.
    EXPECT_NE(result.err.find("(MakeInitialTYPETest)"), std::string::npos) << result.err;
    EXPECT_TRUE(result.out.empty()) << result.out;
}

TEST(ToolEndToEnd, BadArgumentsPrintTheUsageLineAndExitTwo) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"frobnicate"}, {"info"}, {"--emulate", "write", "outputs=16"},
          {"--emulate", "watch", "type"}, {"--emulate", "watch", "inputs", "--count", "0"}}) {
        const auto result = RunTool(args);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_NE(result.err.find("usage: netpod"), std::string::npos) << result.err;
        EXPECT_TRUE(result.out.empty()) << result.out;
    }
    const auto help = RunTool({"watch", "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--period"), std::string::npos);
}

TEST(ToolEndToEnd, I2cAndSerialThroughTheModule) {
    auto module = StartModule();
    ASSERT_NE(module, nullptr);
    const std::string address = module->config(0).address;
    const std::array<uint8_t, 2> stored{0xDE, 0xAD};
    module->setEepromBytes(0, 0x10, stored);

    auto result = RunTool({"i2c", address, "scan"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("2 I2C devices: 0x48 0x50"), std::string::npos) << result.out;

    // Read two bytes from word address 0x10 of the EEPROM at 0x50: status 00, then the bytes.
    result = RunTool({"i2c", address, "xfer", "a1 02 10", "--ask-id", "513"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("answer (ask id 513, 3 bytes): 00 de ad"), std::string::npos) << result.out;

    result = RunTool({"i2c", address, "xfer", "a0", "20", "be", "ef"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(module->eeprom(0)[0x20], 0xBE);
    EXPECT_EQ(module->eeprom(0)[0x21], 0xEF);

    const std::string text = "line one\nline two\n";
    result = RunTool({"serial", address, "--linger", "300"}, text);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, text);
    const auto received = module->serialReceived(0);
    EXPECT_EQ(std::string(received.begin(), received.end()), text);
}

TEST(ToolEndToEnd, WatchEndsCleanlyOnInterrupt) {
    auto module = StartModule();
    ASSERT_NE(module, nullptr);
    ToolProcess watch({"watch", module->config(0).address, "voltage", "--csv", "--period", "20"});
    ASSERT_TRUE(watch.WaitForOutput("\n", 10s)) << "no line from watch";
    ::kill(watch.pid(), SIGINT);
    const auto result = watch.Finish(10s);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    // The connection was closed: the module sees no open TCP connection any more.
    for (int i = 0; i < 100 && module->registers(0).tcpConnectionsOpened != 0; ++i)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(module->registers(0).tcpConnectionsOpened, 0);
}
