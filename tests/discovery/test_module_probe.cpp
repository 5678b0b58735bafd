// The initial TYPE test against emulated modules on loopback (unicast 127.x only).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "diagnostics/error_log.h"
#include "protocol/ip_text.h"
#include "discovery/module_probe.h"
#include "netpod_emulator/emulator.h"
#include "discovery/log_entries.h"

namespace netpod {
namespace {

constexpr char kNotFound[] = "Address IP not found on the network\t(MakeInitialTYPETest)";
constexpr char kIncompatible[] = "This module is not compatible with this DLL\t(MakeInitialTYPETest)";

struct Outcome {
    bool passed;
    DetectedModule detected;
    std::string lastError;
    std::chrono::milliseconds took;
};

class InitialTypeTest : public ::testing::Test {
protected:
    // One emulated module answering with `type`; `faults` are set before the test.
    void Start(std::uint16_t typeHigh, std::uint16_t typeLow, const emu::Faults& faults = {}) {
        emu::ModuleConfig config;
        config.typeHigh = typeHigh;
        config.typeLow = typeLow;
        std::string why;
        emulator = emu::StartOnFreeLoopback(config, 1, &why);
        ASSERT_NE(emulator, nullptr) << why;
        emulator->setFaults(0, faults);
        std::sscanf(emulator->config(0).address.c_str(), "%d.%d.%d.%d", &address[0], &address[1], &address[2],
                    &address[3]);
    }

    Outcome Run() {
        WriteErrorLog("No Error yet", kNoIpText);
        Outcome outcome{};
        const auto start = std::chrono::steady_clock::now();
        outcome.passed = MakeInitialTYPETest(address, outcome.detected);
        outcome.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        outcome.lastError = LastErrorText();
        return outcome;
    }

    std::unique_ptr<emu::Emulator> emulator;
    std::int32_t address[4] = {};
};

TEST_F(InitialTypeTest, ServedTypesPassWithTypeOnlyAndZeroVersion) {
    for (const std::uint16_t low : {0, 2}) {
        SCOPED_TRACE(low);
        Start(8, low);
        const Outcome outcome = Run();
        EXPECT_TRUE(outcome.passed);
        EXPECT_EQ(outcome.lastError, "No Error yet");
        EXPECT_EQ(outcome.detected.type[0], 8);
        EXPECT_EQ(outcome.detected.type[1], low);
        // The test reads TYPE alone, so VERSION stays zero.
        for (const std::int32_t v : outcome.detected.version)
            EXPECT_EQ(v, 0);
        EXPECT_EQ(emulator->counters(0).udpReads, 1u);
    }
}

TEST_F(InitialTypeTest, OtherTypesAreIncompatible) {
    for (const auto& [high, low] : {std::pair<std::uint16_t, std::uint16_t>{8, 1}, {7, 0}}) {
        SCOPED_TRACE(high * 100 + low);
        Start(high, low);
        const Outcome outcome = Run();
        EXPECT_FALSE(outcome.passed);
        EXPECT_EQ(outcome.lastError, kIncompatible);
        EXPECT_EQ(outcome.detected.type[0], high);
        EXPECT_TRUE(test::LogHasEntry(emulator->config(0).address, kIncompatible));
    }
}

// A module answering TYPE 0,0 looks like no module at all; both wait out 2000 ms
// only when nothing arrives.
TEST_F(InitialTypeTest, ZeroTypeIsNotFound) {
    Start(0, 0);
    const Outcome outcome = Run();
    EXPECT_FALSE(outcome.passed);
    EXPECT_EQ(outcome.lastError, kNotFound);
    EXPECT_TRUE(test::LogHasEntry(emulator->config(0).address, kNotFound));
}

TEST_F(InitialTypeTest, NoAnswerIsNotFoundAfterTheWait) {
    emu::Faults silent;
    silent.udpNoAnswer = true;
    Start(8, 2, silent);
    const Outcome outcome = Run();
    EXPECT_FALSE(outcome.passed);
    EXPECT_EQ(outcome.lastError, kNotFound);
    EXPECT_GE(outcome.took.count(), 1900);
    EXPECT_LT(outcome.took.count(), 6000);
    EXPECT_EQ(emulator->counters(0).udpFaults.dropped, 1u);
}

// An answer later than the 2000 ms wait is not seen.
TEST_F(InitialTypeTest, LateAnswerIsNotFound) {
    emu::Faults late;
    late.udpDelayMs = 2600;
    Start(8, 2, late);
    EXPECT_EQ(Run().lastError, kNotFound);
    EXPECT_EQ(emulator->counters(0).udpFaults.delayed, 1u);
}

TEST_F(InitialTypeTest, WrongChecksumIsLoggedThenNotFound) {
    emu::Faults corrupt;
    corrupt.udpBadChecksum = true;
    Start(8, 2, corrupt);
    const Outcome outcome = Run();
    EXPECT_FALSE(outcome.passed);
    EXPECT_EQ(outcome.lastError, kNotFound);
    EXPECT_EQ(emulator->counters(0).udpFaults.corrupted, 1u);
    // The checksum entry comes first, with the module's address and a running count.
    EXPECT_TRUE(test::LogHasEntry(emulator->config(0).address,
                                  "ChecksumError occurs. Nb of ChecksumError = 1\t(Qorvi_NETPOD_SendData_MAINPORT)"));
}

// The split answer leaves half a packet in the assembler (the test receives once);
// the next test must still read its own answer whole.
TEST_F(InitialTypeTest, SplitAnswerFailsAndTheNextTestStartsClean) {
    emu::Faults split;
    split.udpSplit = true;
    Start(8, 2, split);
    EXPECT_EQ(Run().lastError, kNotFound);
    EXPECT_EQ(emulator->counters(0).udpFaults.split, 1u);

    emulator->setFaults(0, {});
    const Outcome outcome = Run();
    EXPECT_TRUE(outcome.passed);
    EXPECT_EQ(outcome.detected.type[1], 2);
}

// Two packets in one datagram: both are decoded; the type is that of the last.
TEST_F(InitialTypeTest, DoubleAnswerPasses) {
    emu::Faults twice;
    twice.udpDouble = true;
    Start(8, 0, twice);
    EXPECT_TRUE(Run().passed);
    EXPECT_EQ(emulator->counters(0).udpFaults.doubled, 1u);
}

}  // namespace
}  // namespace netpod
