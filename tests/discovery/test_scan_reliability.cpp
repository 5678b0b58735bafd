// The scan among misbehaving peers: a truncated answer, a peer that never stops
// sending, and an open made while such a scan runs. The scan broadcasts, so every
// test here runs only in a private loopback-only namespace.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "diagnostics/error_log.h"
#include "discovery/broadcast_peer.h"
#include "discovery/module_probe.h"
#include "discovery/network_scan.h"
#include "discovery/udp_test_packets.h"
#include "netpod_emulator/emulator.h"
#include "protocol/ip_text.h"
#include "support/netns_guard.h"

namespace netpod {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::BroadcastPeer;
using test::Bytes;
using test::Packet;

std::int64_t MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class ScanReliability : public ::testing::Test {
protected:
    void SetUp() override { NETPOD_REQUIRE_PRIVATE_NETNS(); }

    std::unique_ptr<emu::Emulator> StartModules(std::size_t count, const emu::Faults& faults = {}) {
        std::string why;
        auto emulator = emu::StartOnFreeLoopback({}, count, &why, /*answerBroadcast=*/true);
        EXPECT_NE(emulator, nullptr) << why;
        if (emulator != nullptr)
            for (std::size_t m = 0; m < count; ++m)
                emulator->setFaults(m, faults);
        return emulator;
    }

    // The names of the first `count` records of `found`, each name once.
    static std::set<std::string> NamesIn(const ModuleInfo* found, std::int32_t count) {
        std::set<std::string> names;
        for (std::int32_t r = 0; r < count && r < 10; ++r)
            names.insert(std::string(found[r].ModuleName, strnlen(found[r].ModuleName, 16)));
        return names;
    }

    static std::set<std::string> NamesOf(const emu::Emulator& emulator) {
        std::set<std::string> names;
        for (std::size_t m = 0; m < emulator.moduleCount(); ++m)
            names.insert(emulator.config(m).name.substr(0, 16));
        return names;
    }

    ModuleInfo records[10] = {};
};

// The first answer of a scan arrives cut short; the four that follow come from other
// modules and must not be taken to complete it.
TEST_F(ScanReliability, TruncatedAnswerHidesNoOtherModule) {
    emu::Faults later;
    later.udpDelayMs = 100;
    auto emulator = StartModules(4, later);
    ASSERT_NE(emulator, nullptr);
    const Bytes whole = Packet(0x0023, test::ScanAnswerBody(8, 2, {0, 2, 0, 5}, "CUT-SHORT", {2, 9, 9, 9, 9, 9}));
    BroadcastPeer truncating({Bytes(whole.begin(), whole.begin() + 30)});
    ASSERT_FALSE(truncating.address().empty());

    WriteErrorLog("No Error yet", kNoIpText);
    const std::int32_t count = ScanNetwork(records, 10);
    EXPECT_EQ(truncating.requests(), 1);
    EXPECT_EQ(emulator->counters(0).udpFaults.delayed, 1u);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(NamesIn(records, count), NamesOf(*emulator));
    // No packet was put together from two modules' bytes, so no checksum failed.
    EXPECT_EQ(LastErrorText(), "No Error yet");
}

// A peer that sends a datagram every 150 ms for 12 s never leaves 200 ms of silence;
// the scan still ends after its overall limit of 3 s, with the module it found.
TEST_F(ScanReliability, ChattyPeerCannotHoldTheScan) {
    auto emulator = StartModules(1);
    ASSERT_NE(emulator, nullptr);
    BroadcastPeer chatty({}, Packet(0x0023, Bytes{}));
    ASSERT_FALSE(chatty.address().empty());

    const auto start = Clock::now();
    const std::int32_t count = ScanNetwork(records, 10);
    const auto took = MillisecondsSince(start);
    std::printf("scan with a chatty peer: %lld ms, %d chatter datagrams\n", static_cast<long long>(took),
                chatty.chatterSent());
    EXPECT_EQ(count, 1);
    EXPECT_GE(chatty.chatterSent(), 1);
    EXPECT_LT(took, 6000);   // well before the 12 s of chatter
}

// An open's initial test made while a scan is held up by a chatty peer gets its
// module's answer at once instead of waiting for the scan.
TEST_F(ScanReliability, InitialTestDuringAScanDoesNotWaitForIt) {
    auto emulator = StartModules(1);
    ASSERT_NE(emulator, nullptr);
    BroadcastPeer chatty({}, Packet(0x0023, Bytes{}));
    ASSERT_FALSE(chatty.address().empty());

    std::int32_t scanned = -1;
    std::thread scan([&] { scanned = ScanNetwork(records, 10); });
    const auto waitedFrom = Clock::now();
    while (chatty.chatterSent() < 2 && MillisecondsSince(waitedFrom) < 5000)
        std::this_thread::sleep_for(10ms);

    std::int32_t address[4] = {};
    ParseIPText(emulator->config(0).address, address);
    DetectedModule detected{};
    const auto start = Clock::now();
    const bool passed = MakeInitialTYPETest(address, detected);
    const auto took = MillisecondsSince(start);
    scan.join();
    std::printf("initial test during a scan: %lld ms\n", static_cast<long long>(took));
    EXPECT_TRUE(passed);
    EXPECT_EQ(detected.type[0], 8);
    EXPECT_LT(took, 1500);   // the module answers at once; nothing else is waited for
    EXPECT_EQ(scanned, 1);
}

// Scans no longer wait for each other: two at once each find every module, each in
// its own array.
TEST_F(ScanReliability, TwoScansAtOnceEachFindEveryModule) {
    auto emulator = StartModules(3);
    ASSERT_NE(emulator, nullptr);
    ModuleInfo other[10] = {};
    std::int32_t otherCount = -1;
    std::thread second([&] { otherCount = ScanNetwork(other, 10); });
    const std::int32_t count = ScanNetwork(records, 10);
    second.join();
    EXPECT_EQ(count, 3);
    EXPECT_EQ(otherCount, 3);
    EXPECT_EQ(NamesIn(records, count), NamesOf(*emulator));
    EXPECT_EQ(NamesIn(other, otherCount), NamesOf(*emulator));
}

}  // namespace
}  // namespace netpod
