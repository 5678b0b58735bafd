// The counters' firmware condition, judged on the type and version a connection
// took from its initial test. The initial test reads TYPE only, so a module's answer
// rarely carries a version: the records here are made with each combination directly.
#include <gtest/gtest.h>

#include "connection/com_management.h"
#include "diagnostics/error_log.h"
#include "qorvi_netpod.h"

namespace netpod {
namespace {

struct Case {
    DetectedModule detected;
    bool accepted;
};

TEST(FirmwareCondition, CountersNeedVersionTwoOnTheFirstTypeAndAnySecondType) {
    const Case cases[] = {
        {{{8, 0}, {2, 0, 0, 0}}, true},    // first type, firmware 2.0
        {{{8, 0}, {3, 1, 0, 0}}, true},
        {{{8, 0}, {1, 9, 0, 0}}, false},   // first type, firmware 1.9
        {{{8, 0}, {0, 0, 0, 0}}, false},   // no version in the initial answer
        {{{8, 2}, {0, 0, 0, 0}}, true},    // second type, whatever the version
        {{{8, 1}, {5, 0, 0, 0}}, false},
        {{{7, 2}, {5, 0, 0, 0}}, false},
    };
    for (const Case& c : cases) {
        CComManagement connection(c.detected);
        connection.IPText = "127.9.9.9";
        EXPECT_EQ(Qorvi_NETPOD_Read_NBPOWERUP(&connection), c.accepted)
            << c.detected.type[0] << "." << c.detected.type[1] << " v" << c.detected.version[0];
        EXPECT_EQ(Qorvi_NETPOD_Read_TIMEINSERVICE(&connection), c.accepted);
        if (!c.accepted) {
            EXPECT_EQ(LastErrorText(),
                      "The register TIMEINSERVICE is available on Qorvi-NETPOD from firmware version 2.0 and on "
                      "Qorvi-NETPOD 2.\t(Qorvi_NETPOD_Read_TIMEINSERVICE)");
        }
        // The whole read list takes them whatever the firmware.
        EXPECT_TRUE(Qorvi_NETPOD_Read_AllRegister(&connection));
    }
}

}  // namespace
}  // namespace netpod
