// Broadcast answers, inside a private network namespace only: several modules each
// answer one broadcast read from their own address, and a broadcast change of IP
// address reaches only the module with the MAC it names.
#include <gtest/gtest.h>

#include <set>

#include "emulator_client.h"
#include "netpod_emulator/emulator.h"
#include "netpod_emulator/frame.h"
#include "support/netns_guard.h"

namespace netpod::emu {
namespace {

using test::Bytes;

TEST(EmulatorBroadcast, EveryModuleAnswersFromItsOwnAddress) {
    NETPOD_REQUIRE_PRIVATE_NETNS();
    ModuleConfig base;
    base.address = "127.0.0.2";
    std::vector<ModuleConfig> configs{NthModule(base, 0), NthModule(base, 1), NthModule(base, 2)};
    Emulator first({configs[0], configs[1]}, true);
    Emulator second({configs[2]}, true);  // another process would do the same
    std::string error;
    ASSERT_TRUE(first.start(&error)) << error;
    ASSERT_TRUE(second.start(&error)) << error;

    test::UdpClient client;
    ASSERT_TRUE(client.send("255.255.255.255", BuildFrame(kCodeReadRegisters, 0, Bytes{0x00, 0x01, 0x15, 0x11})));
    std::set<std::string> senders;
    Bytes answer;
    std::string from;
    while (client.receive(&answer, 300, &from)) {
        EXPECT_EQ(answer.size(), 42u);
        senders.insert(from);
    }
    EXPECT_EQ(senders, (std::set<std::string>{"127.0.0.2", "127.0.0.3", "127.0.0.4"}));

    Bytes body(configs[2].mac.begin(), configs[2].mac.end());
    body.insert(body.end(), {192, 168, 7, 9, 255, 255, 255, 0});
    ASSERT_TRUE(client.send("255.255.255.255", BuildFrame(kCodeSetIpConfiguration, 1, body)));
    ASSERT_TRUE(client.receive(&answer, 1000, &from));
    EXPECT_EQ(from, "127.0.0.4");
    EXPECT_FALSE(client.receive(&answer, 300));
    EXPECT_EQ(second.registers(0).ip, (std::array<std::uint8_t, 4>{192, 168, 7, 9}));
    EXPECT_EQ(first.counters(0).udpChangeIpIgnored, 1u);
    EXPECT_EQ(first.counters(1).udpChangeIpIgnored, 1u);
}

}  // namespace
}  // namespace netpod::emu
