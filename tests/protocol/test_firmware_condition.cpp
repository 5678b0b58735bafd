// The counters' firmware condition, judged on the type and version a connection
// took from its initial test. The initial test reads TYPE only, so a module's answer
// rarely carries a version: each combination is judged here directly. (The export's
// refusal and its message are tested end to end in tests/connection.)
#include <gtest/gtest.h>

#include "protocol/register_map.h"

namespace netpod {
namespace {

struct Case {
    std::int32_t type[2];
    std::int32_t version[4];
    bool accepted;
};

TEST(FirmwareCondition, CountersNeedVersionTwoOnTheFirstTypeAndAnySecondType) {
    const Case cases[] = {
        {{8, 0}, {2, 0, 0, 0}, true},    // first type, firmware 2.0
        {{8, 0}, {3, 1, 0, 0}, true},
        {{8, 0}, {1, 9, 0, 0}, false},   // first type, firmware 1.9
        {{8, 0}, {0, 0, 0, 0}, false},   // no version in the initial answer
        {{8, 2}, {0, 0, 0, 0}, true},    // second type, whatever the version
        {{8, 1}, {5, 0, 0, 0}, false},
        {{7, 2}, {5, 0, 0, 0}, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FirmwareHasCounters(c.type, c.version), c.accepted)
            << c.type[0] << "." << c.type[1] << " v" << c.version[0];
}

}  // namespace
}  // namespace netpod
