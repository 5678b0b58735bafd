// Handles that an application misuses: closed, copied and used after the close,
// never opened, or closed on one thread while others use them.
#include <atomic>
#include <thread>
#include <vector>

#include "connection_fixture.h"

namespace netpod::test {
namespace {

constexpr const char* kUnknown = "Pointer on ethernet communication not valid. ComID unknown or closed\t(";

std::string UnknownHandleText(const char* exportName) { return std::string(kUnknown) + exportName + ")"; }

// A copy of a closed handle acts on nothing, not even on a connection opened after
// the close (which may live where the old one did).
TEST_F(ConnectionTest, StaleAndGarbageHandlesAreRefusedAndTouchNothing) {
    StartModule();
    ASSERT_TRUE(OpenMain());
    WaitConnected();
    ComID stale = com_;
    ASSERT_TRUE(Qorvi_NETPOD_CloseConnection(&com_));
    ASSERT_EQ(com_, nullptr);
    ASSERT_TRUE(OpenMain());
    WaitConnected();

    EXPECT_FALSE(Qorvi_NETPOD_Read_TYPE(stale));
    EXPECT_EQ(LastError(), UnknownHandleText("Qorvi_NETPOD_Read_TYPE"));
    EXPECT_FALSE(Qorvi_NETPOD_SendData_MAINPORT(stale));
    EXPECT_EQ(Qorvi_NETPOD_GetStateCommunication(stale), 0);
    EXPECT_EQ(LastError(), UnknownHandleText("Qorvi_NETPOD_GetStateCommunication"));
    EXPECT_FALSE(Qorvi_NETPOD_CloseConnection(&stale));
    EXPECT_NE(stale, nullptr);   // left as it was

    // The live connection was not touched by any of it.
    EXPECT_EQ(Qorvi_NETPOD_GetStateCommunication(com_), 1);
    ASSERT_TRUE(Qorvi_NETPOD_Read_TYPE(com_));
    Exchange();
    EXPECT_TRUE(LastValues().TypeValid);

    ComID garbage = reinterpret_cast<ComID>(0x1234);
    EXPECT_FALSE(Qorvi_NETPOD_Write_TCPTIMEOUT(10, garbage));
    EXPECT_FALSE(Qorvi_NETPOD_RepetitiveAskStart(garbage));
    EXPECT_FALSE(Qorvi_NETPOD_CloseConnection(&garbage));
    EXPECT_EQ(LastError(), UnknownHandleText("Qorvi_NETPOD_CloseConnection"));

    // An open into a variable that holds a dead handle replaces it.
    ComID reused = stale;
    EXPECT_TRUE(Qorvi_NETPOD_OpenConnection_MAINPORT(address_.data(), &Recorder::OnValues, &Recorder::OnEvent,
                                                     &reused));
    EXPECT_NE(reused, stale);
    EXPECT_TRUE(Qorvi_NETPOD_CloseConnection(&reused));
    EXPECT_TRUE(Qorvi_NETPOD_CloseConnection(&reused));   // a null handle: nothing to do
}

// Threads keep using a handle while another closes it: every call either works or
// fails cleanly, and nothing touches freed memory (the sanitizer builds watch).
TEST_F(ConnectionTest, ExportsRacingWithACloseEndCleanly) {
    StartModule();
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(OpenMain());
        const ComID shared = com_;
        std::atomic<bool> stop{false};
        std::vector<std::thread> users;
        for (int t = 0; t < 2; ++t) {
            users.emplace_back([&, t] {
                while (!stop.load()) {
                    Qorvi_NETPOD_Read_TYPE(shared);
                    Qorvi_NETPOD_SendData_MAINPORT(shared);
                    Qorvi_NETPOD_GetStateCommunication(shared);
                    if (t == 0) {
                        Qorvi_NETPOD_RepetitiveAskSetTime(5, shared);
                        Qorvi_NETPOD_RepetitiveAskStart(shared);
                    } else {
                        Qorvi_NETPOD_Read_INPUTS(true, shared);
                        Qorvi_NETPOD_RepetitiveAskReset(shared);
                    }
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 5 * 3));
        EXPECT_TRUE(Qorvi_NETPOD_CloseConnection(&com_));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stop.store(true);
        for (auto& u : users)
            u.join();
        EXPECT_FALSE(Qorvi_NETPOD_Read_TYPE(shared));
    }
}

}  // namespace
}  // namespace netpod::test
