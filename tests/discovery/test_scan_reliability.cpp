// The scan among misbehaving peers. The scan broadcasts, so every test here runs only
// in a private loopback-only namespace.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "diagnostics/error_log.h"
#include "discovery/broadcast_peer.h"
#include "discovery/network_scan.h"
#include "discovery/udp_test_packets.h"
#include "netpod_emulator/emulator.h"
#include "protocol/ip_text.h"
#include "support/netns_guard.h"

namespace netpod {
namespace {

using test::BroadcastPeer;
using test::Bytes;
using test::Packet;

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

    // The names of the first `count` records, each module's name once.
    std::set<std::string> NamesFound(std::int32_t count) const {
        std::set<std::string> names;
        for (std::int32_t r = 0; r < count && r < 10; ++r)
            names.insert(std::string(records[r].ModuleName, strnlen(records[r].ModuleName, 16)));
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
    EXPECT_EQ(NamesFound(count), NamesOf(*emulator));
    // No packet was put together from two modules' bytes, so no checksum failed.
    EXPECT_EQ(LastErrorText(), "No Error yet");
}

}  // namespace
}  // namespace netpod
