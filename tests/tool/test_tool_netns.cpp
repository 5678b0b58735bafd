// The broadcasting commands of `netpod`, only inside a private network namespace
// whose one interface is loopback (tests/run_in_netns.sh), so nothing leaves the host.
#include <gtest/gtest.h>

#include <string>

#include "support/netns_guard.h"
#include "tool_process.h"

using netpod::test::RunTool;

TEST(ToolInPrivateNetns, ScanListsTheEmulatedModule) {
    NETPOD_REQUIRE_PRIVATE_NETNS();
    const auto result = RunTool({"--emulate", "scan"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out.rfind("ADDRESS", 0), 0U) << result.out;
    EXPECT_NE(result.out.find("02:00:00:00:00:01  Qorvi-NETPOD 2  2.5"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("NETPOD-EMU-01"), std::string::npos) << result.out;
}
