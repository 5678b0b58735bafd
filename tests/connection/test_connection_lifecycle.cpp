// Opening and closing connections: argument checks, the initial test, the callbacks,
// the state, and Com_Event 0 on close.
#include "connection_fixture.h"

namespace netpod::test {
namespace {

TEST_F(ConnectionTest, OpenRefusesBadAddressesBeforeTheNetwork) {
    StartModule();
    const int32_t high[4] = {192, 168, 1, 256};
    EXPECT_FALSE(Qorvi_NETPOD_OpenConnection_MAINPORT(high, &Recorder::OnValues, &Recorder::OnEvent, &com_));
    EXPECT_EQ(LastError(), "Address IP not valid\t(Qorvi_NETPOD_OpenConnection_MAINPORT)");
    EXPECT_EQ(com_, nullptr);
    const int32_t negative[4] = {-1, 0, 0, 0};
    EXPECT_FALSE(Qorvi_NETPOD_OpenConnection_RS232(negative, &Recorder::OnRs232, &Recorder::OnEvent, &com_));
    EXPECT_EQ(LastError(), "Address IP not valid\t(Qorvi_NETPOD_OpenConnection_RS232)");
    const std::string log = LogText();
    EXPECT_NE(log.find(IpColumn("192.168.1.256") + "Address IP not valid\t(Qorvi_NETPOD_OpenConnection_MAINPORT)"),
              std::string::npos);
    EXPECT_NE(log.find(IpColumn("-1.0.0.0") + "Address IP not valid\t(Qorvi_NETPOD_OpenConnection_RS232)"),
              std::string::npos);
    EXPECT_FALSE(Qorvi_NETPOD_OpenConnection_MAINPORT(nullptr, &Recorder::OnValues, &Recorder::OnEvent, &com_));
    EXPECT_EQ(LastError(), "Address IP not valid (NULL)\t(Qorvi_NETPOD_OpenConnection_MAINPORT)");
    EXPECT_EQ(emulator_->counters(0).udpDatagrams, 0u);   // nothing reached the module
}

TEST_F(ConnectionTest, OpenOfAnAbsentModuleFailsAfterTheInitialTest) {
    StartModule();
    emu::Faults silent;
    silent.udpNoAnswer = true;
    emulator_->setFaults(0, silent);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(OpenMain());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1900ms);
    EXPECT_EQ(com_, nullptr);
    EXPECT_EQ(LastError(), "Initial Test failed\t(Qorvi_NETPOD_OpenConnection_MAINPORT)");
    const std::string log = LogText();
    const auto test = log.find(IpColumn(ip_) + "Address IP not found on the network\t(MakeInitialTYPETest)");
    const auto open = log.find(IpColumn(ip_) + "Initial Test failed\t(Qorvi_NETPOD_OpenConnection_MAINPORT)");
    ASSERT_NE(test, std::string::npos);
    ASSERT_NE(open, std::string::npos);
    EXPECT_LT(test, open);
    EXPECT_EQ(emulator_->counters(0).mainConnections, 0u);
}

TEST_F(ConnectionTest, OpenOfAnIncompatibleModuleIsRefused) {
    emu::ModuleConfig other;
    other.typeLow = 1;
    StartModule(other);
    EXPECT_FALSE(OpenMain());
    EXPECT_EQ(LastError(), "Initial Test failed\t(Qorvi_NETPOD_OpenConnection_MAINPORT)");
    EXPECT_NE(LogText().find(IpColumn(ip_) + "This module is not compatible with this DLL\t(MakeInitialTYPETest)"),
              std::string::npos);
}

TEST_F(ConnectionTest, NullCallbacksMakeAndDestroyARecord) {
    StartModule();
    EXPECT_FALSE(Qorvi_NETPOD_OpenConnection_MAINPORT(address_.data(), nullptr, nullptr, &com_));
    EXPECT_EQ(LastError(), "Data_Received_MAINPORT function not valid (NULL)\t(Qorvi_NETPOD_OpenConnection_MAINPORT)");
    EXPECT_EQ(com_, nullptr);
    // With both null only the data callback is reported.
    EXPECT_EQ(LogText().find(IpColumn(ip_) + "Com_Event function not valid (NULL)\t(Qorvi_NETPOD_OpenConnection_MAINPORT)"),
              std::string::npos);
    EXPECT_FALSE(Qorvi_NETPOD_OpenConnection_RS232(address_.data(), &Recorder::OnRs232, nullptr, &com_));
    EXPECT_EQ(LastError(), "Com_Event function not valid (NULL)\t(Qorvi_NETPOD_OpenConnection_RS232)");
    EXPECT_EQ(com_, nullptr);
    EXPECT_EQ(emulator_->counters(0).udpReads, 2u);          // each open made its initial test
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(emulator_->counters(0).mainConnections, 0u);   // and no transport was made
}

TEST_F(ConnectionTest, StateBeforeAndAfterTheConnectionAndCloseReportsZeroOnce) {
    StartModule();
    ASSERT_TRUE(OpenMain());
    ASSERT_NE(com_, nullptr);
    const int32_t early = Qorvi_NETPOD_GetStateCommunication(com_);
    const bool sawOne = Recorder::instance().read([this](Recorder& r) {
        for (auto& e : r.events)
            if (e.code == 1 && e.com == com_)
                return true;
        return false;
    });
    if (!sawOne) {
        EXPECT_TRUE(early == 0 || early == 3 || early == 1) << early;
    }
    WaitConnected();
    EXPECT_TRUE(Recorder::instance().read([](Recorder& r) { return r.handleKnownAtEvent[0]; }))
        << "Com_Event 1 came before the open had returned the handle";
    EXPECT_EQ(Qorvi_NETPOD_GetStateCommunication(com_), 1);
    EXPECT_NE(Recorder::instance().read([](Recorder& r) { return r.eventThreads[0]; }), std::this_thread::get_id());

    ComID closed = com_;
    EXPECT_TRUE(Qorvi_NETPOD_CloseConnection(&com_));
    EXPECT_EQ(com_, nullptr);
    const auto events = Recorder::instance().read([](Recorder& r) { return std::make_pair(r.events, r.eventThreads); });
    ASSERT_EQ(events.first.size(), 2u);
    EXPECT_EQ(events.first[1].code, 0);
    EXPECT_EQ(events.first[1].com, closed);
    EXPECT_EQ(events.second[1], std::this_thread::get_id());   // on the closing thread
    EXPECT_TRUE(Qorvi_NETPOD_CloseConnection(&com_));          // again: nothing happens
    EXPECT_EQ(Qorvi_NETPOD_GetStateCommunication(nullptr), 0);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(Recorder::instance().read([](Recorder& r) { return r.events.size(); }), 2u);
}

TEST_F(ConnectionTest, ReopenOnALiveHandleEndsTheOldConnectionFirst) {
    StartModule();
    ASSERT_TRUE(OpenMain());
    WaitConnected();
    ComID first = com_;
    ASSERT_TRUE(OpenMain());
    ASSERT_NE(com_, nullptr);
    // The new record may reuse the old one's address: wait for the third event.
    ASSERT_TRUE(Recorder::instance().waitFor([](Recorder& r) { return r.events.size() >= 3; }));
    const auto events = Recorder::instance().read([](Recorder& r) { return r.events; });
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[1].code, 0);
    EXPECT_EQ(events[1].com, first);
    // A failing open on a live handle still ends it.
    const int32_t bad[4] = {10, 0, 0, 256};
    EXPECT_FALSE(Qorvi_NETPOD_OpenConnection_MAINPORT(bad, &Recorder::OnValues, &Recorder::OnEvent, &com_));
    EXPECT_EQ(com_, nullptr);
    EXPECT_TRUE(Recorder::instance().waitFor([](Recorder& r) { return r.events.size() == 4 && r.events[3].code == 0; }));
}

TEST_F(ConnectionTest, ConnectionThatNeverConnectedClosesSilently) {
    StartModule();
    emu::Faults refuse;
    refuse.refuseConnections = true;
    emulator_->setFaults(0, refuse);
    ASSERT_TRUE(OpenMain());   // the initial test still answers over UDP
    ASSERT_TRUE(Recorder::instance().waitFor([](Recorder& r) { return !r.events.empty(); }));
    EXPECT_EQ(Qorvi_NETPOD_GetStateCommunication(com_), 2);
    EXPECT_TRUE(Qorvi_NETPOD_CloseConnection(&com_));
    const auto events = Recorder::instance().read([](Recorder& r) { return r.events; });
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, 2);
}

}  // namespace
}  // namespace netpod::test
