// The repetitive ask: polling on the timer, its controls, and its recovery.
#include "connection_fixture.h"

namespace netpod::test {
namespace {

int Answers() { return Recorder::instance().read([](Recorder& r) { return r.answers; }); }

int AnswersDuring(std::chrono::milliseconds span) {
    const int before = Answers();
    std::this_thread::sleep_for(span);
    return Answers() - before;
}

// True when `count` more answers arrive within `limit` (generous: the polling is
// checked, not its pace).
bool MoreAnswersArrive(int count, std::chrono::milliseconds limit = 3000ms) {
    const int before = Answers();
    return Recorder::instance().waitFor([&](Recorder& r) { return r.answers >= before + count; }, limit);
}

class RepetitiveAskTest : public ConnectionTest {
protected:
    void SetUp() override {
        ConnectionTest::SetUp();
        StartModule({}, true);
        ASSERT_TRUE(OpenMain());
        WaitConnected();
        ASSERT_TRUE(Qorvi_NETPOD_Read_INPUTS(true, com_));
        ASSERT_TRUE(Qorvi_NETPOD_Read_ALL_INPUTVOLTAGEVALUE(true, com_));
    }
};

TEST_F(RepetitiveAskTest, PollsAtTheDefaultPeriodOnlyOnceStarted) {
    EXPECT_EQ(AnswersDuring(400ms), 0);   // created suspended
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskStart(com_));
    const int n = AnswersDuring(1000ms);
    EXPECT_GE(n, 5);    // about ten at 100 ms
    EXPECT_LE(n, 13);   // ticks do not pile up
    const RegisterValues v = LastValues();
    EXPECT_TRUE(v.InputsValid && v.InputVoltageValid[0] && v.InputVoltageValid[15]);
    EXPECT_FALSE(v.TypeValid || v.VoltageValid);
}

TEST_F(RepetitiveAskTest, FasterPeriodsPollFaster) {
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskSetTime(10, com_));
    EXPECT_EQ(AnswersDuring(200ms), 0);   // SetTime keeps a suspended thread suspended
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskStart(com_));
    EXPECT_GE(AnswersDuring(1000ms), 20);   // about a hundred; generous for loaded machines
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskSetTime(1, com_));   // on a running thread: it keeps running
    EXPECT_GE(AnswersDuring(1000ms), 40);
    EXPECT_FALSE(Qorvi_NETPOD_RepetitiveAskSetTime(0, com_));
    EXPECT_EQ(LastError(),
              "Bad value for TimeMiliSec. It's must be positive and bigger than zero\t(Qorvi_NETPOD_SetRepetitiveAskTime)");
}

TEST_F(RepetitiveAskTest, StopStartAndResetControlThePolling) {
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskSetTime(20, com_));
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskStart(com_));
    EXPECT_TRUE(MoreAnswersArrive(4));
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskStop(com_));
    std::this_thread::sleep_for(150ms);   // the exchange in progress and one tick
    EXPECT_EQ(AnswersDuring(300ms), 0);
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskStart(com_));
    EXPECT_TRUE(MoreAnswersArrive(4));

    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskReset(com_));   // stops at once
    std::this_thread::sleep_for(60ms);                      // an answer already under way
    EXPECT_EQ(AnswersDuring(300ms), 0);
    const auto requests = emulator_->counters(0).mainReads;
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskStart(com_));   // an empty list: nothing is sent
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(emulator_->counters(0).mainReads, requests);
    ASSERT_TRUE(Qorvi_NETPOD_Read_VOLTAGE(true, com_));
    EXPECT_TRUE(MoreAnswersArrive(4));
    EXPECT_TRUE(LastValues().VoltageValid);
    EXPECT_FALSE(LastValues().InputsValid);
}

TEST_F(RepetitiveAskTest, OnDemandExchangesInterleaveWithPolling) {
    std::atomic<int> names{0};
    Recorder::instance().read([&](Recorder& r) {
        r.onAnswer = [&](RegisterValues* v, ComID) {
            if (v->ModuleNameValid)
                names.fetch_add(1);
        };
        return 0;
    });
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskSetTime(10, com_));
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskStart(com_));
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(Qorvi_NETPOD_Read_MODULENAME(com_));
        // The gate reopens once the previous on-demand answer is in.
        bool sent = false;
        for (int t = 0; t < 5000 && !sent; ++t) {
            sent = Qorvi_NETPOD_SendData_MAINPORT(com_);
            if (!sent)
                std::this_thread::sleep_for(1ms);
        }
        ASSERT_TRUE(sent) << i;
        for (int t = 0; t < 5000 && names.load() <= i; ++t)
            std::this_thread::sleep_for(1ms);
        ASSERT_GT(names.load(), i) << "on-demand exchange " << i << " got no answer";
    }
    EXPECT_TRUE(MoreAnswersArrive(5));   // and the polling goes on
}

// A module that stops answering costs one answer wait; polling resumes as soon as it
// answers again, and on-demand exchanges go on meanwhile.
TEST_F(RepetitiveAskTest, PollingResumesWhenTheModuleAnswersAgain) {
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskSetTime(50, com_));
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskStart(com_));
    EXPECT_TRUE(MoreAnswersArrive(3));
    emu::Faults drop;
    drop.tcpDrop = true;
    emulator_->setFaults(0, drop);
    std::this_thread::sleep_for(500ms);
    emulator_->setFaults(0, emu::Faults{});
    std::this_thread::sleep_for(3000ms);   // the missed answer's wait runs out
    EXPECT_TRUE(MoreAnswersArrive(6));
    EXPECT_TRUE(LogEventuallyHas(IpColumn(ip_) + "Event HevAck Timeout reached\t(TThreadSendContinuous::Execute)"));
}

}  // namespace
}  // namespace netpod::test
