// What an application may do that the simple path does not: start polling in the
// middle of an exchange, close from inside a callback, run out of threads.
#include <pthread.h>

#include <atomic>
#include <stdexcept>

#include "connection_fixture.h"
#include "platform/thread.h"

namespace {

// Fails the n-th creation of the library's thread after being armed; other
// threads are created normally.
std::atomic<int> gFailThreadCreation{0};
std::atomic<int> gWorkerThreadsSeen{0};

}  // namespace

// Stands in for the creation of the library's thread.
int CreateWorkerThread(pthread_t* thread, const pthread_attr_t* attr, void* (*routine)(void*), void* arg) {
    const int failAt = gFailThreadCreation.load();
    if (failAt != 0 && ++gWorkerThreadsSeen == failAt)
        return EAGAIN;
    return pthread_create(thread, attr, routine, arg);
}

[[maybe_unused]] const bool kCreatorInstalled = [] {
    netpod::platform::SetThreadCreatorForTesting(&CreateWorkerThread);
    return true;
}();

namespace netpod::test {
namespace {

// A write is on the wire, its answer late, when the application starts the
// repetitive ask: the polling waits for the write's exchange to end, so the
// write's answer still reports it as written.
TEST_F(ConnectionTest, WriteAnswerKeepsItsWrittenFlagWhenPollingStartsMeanwhile) {
    StartModule();
    ASSERT_TRUE(OpenMain());
    WaitConnected();
    ASSERT_TRUE(Qorvi_NETPOD_Read_VOLTAGE(true, com_));
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskSetTime(1000, com_));
    std::vector<bool> writtenSeen;
    std::mutex m;
    Recorder::instance().read([&](Recorder& r) {
        r.onAnswer = [&](RegisterValues* v, ComID) {
            std::lock_guard g(m);
            writtenSeen.push_back(v->OutputsWritten);
        };
        return 0;
    });
    emu::Faults late;
    late.tcpDelayMs = 400;
    emulator_->setFaults(0, late);
    bool outputs[16] = {true};
    ASSERT_TRUE(Qorvi_NETPOD_Write_OUTPUTS(outputs, com_));
    ASSERT_TRUE(Qorvi_NETPOD_SendData_MAINPORT(com_));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskStart(com_));
    ASSERT_TRUE(Recorder::instance().waitFor([](Recorder& r) { return r.answers >= 2; }));
    Qorvi_NETPOD_RepetitiveAskReset(com_);
    Qorvi_NETPOD_CloseConnection(&com_);
    std::lock_guard g(m);
    ASSERT_GE(writtenSeen.size(), 2u);
    EXPECT_TRUE(writtenSeen[0]) << "the write's answer lost its Written flag";
    EXPECT_FALSE(writtenSeen[1]);  // the poll that followed wrote nothing
}

// The repetitive ask is reset while its answer is late, and the application then
// runs on-demand exchanges back to back from its callback: each waits for the
// answer before it, so the module never has two requests to answer at once.
TEST_F(ConnectionTest, ExchangesNeverOverlapAfterAResetDuringALateAnswer) {
    StartModule();
    ASSERT_TRUE(OpenMain());
    WaitConnected();
    ASSERT_TRUE(Qorvi_NETPOD_Read_INPUTS(true, com_));
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskSetTime(20, com_));
    emu::Faults late;
    late.tcpDelayMs = 300;
    emulator_->setFaults(0, late);
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskStart(com_));
    std::this_thread::sleep_for(100ms);  // a poll is on the wire, its answer late
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskReset(com_));
    std::atomic<int> launched{0};
    Recorder::instance().read([&](Recorder& r) {
        r.onAnswer = [&](RegisterValues*, ComID com) {
            if (launched.load() < 6 && Qorvi_NETPOD_Read_TYPE(com) && Qorvi_NETPOD_SendData_MAINPORT(com))
                launched.fetch_add(1);
        };
        return 0;
    });
    ASSERT_TRUE(Qorvi_NETPOD_Read_TYPE(com_));
    ASSERT_TRUE(Qorvi_NETPOD_SendData_MAINPORT(com_));
    // Launches made while an exchange is pending merge into the next one (its
    // request event is auto-reset), so count launches, then let the last answers land.
    for (int i = 0; i < 800 && launched.load() < 6; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(launched.load(), 6) << LastError();
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(emulator_->counters(0).mainRequestsWhileAnswerPending, 0u);
    EXPECT_TRUE(LastValues().TypeValid);
    EXPECT_FALSE(LastValues().InputsValid);
}

// Counts the answers whose TYPE is valid, on the notification thread.
void CountTypeAnswers(std::atomic<int>& count) {
    Recorder::instance().read([&](Recorder& r) {
        r.onAnswer = [&](RegisterValues* v, ComID) {
            if (v->TypeValid)
                count.fetch_add(1);
        };
        return 0;
    });
}

bool WaitForCount(const std::atomic<int>& count, int atLeast, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (count.load() < atLeast && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(2ms);
    return count.load() >= atLeast;
}

// An on-demand request waiting for the token when a Reset suspends the
// repetitive ask that holds it still goes out, at once.
TEST_F(ConnectionTest, RequestWaitingForTheTokenSurvivesAReset) {
    StartModule();
    ASSERT_TRUE(OpenMain());
    WaitConnected();
    std::atomic<int> types{0};
    CountTypeAnswers(types);
    ASSERT_TRUE(Qorvi_NETPOD_Read_INPUTS(true, com_));
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskSetTime(20, com_));
    emu::Faults late;
    late.tcpDelayMs = 200;  // the repetitive ask holds the token for a while
    emulator_->setFaults(0, late);
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskStart(com_));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(Qorvi_NETPOD_Read_TYPE(com_));
    ASSERT_TRUE(Qorvi_NETPOD_SendData_MAINPORT(com_));
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskReset(com_));
    EXPECT_TRUE(WaitForCount(types, 1, 1500ms)) << "the request was lost; last error: " << LastError();
    EXPECT_EQ(emulator_->counters(0).mainRequestsWhileAnswerPending, 0u);
}

// A Reset between the two slots of a repetitive exchange: once the first slot's
// answer is in, nothing more comes for that exchange, and an on-demand exchange
// goes out without waiting for it to go stale.
TEST_F(ConnectionTest, ResetBetweenSlotsDoesNotHoldTheNextExchange) {
    StartModule();
    ASSERT_TRUE(OpenMain());
    WaitConnected();
    std::atomic<int> types{0};
    CountTypeAnswers(types);
    ASSERT_TRUE(Qorvi_NETPOD_Read_INPUTS(true, com_));
    // A transfer longer than 172 bytes takes a slot of its own: two slots.
    std::vector<uint8_t> write(180, 0);
    write[0] = emu::kEepromAddress << 1;
    ASSERT_TRUE(Qorvi_NETPOD_ReadWriteI2C(write.data(), 180, true, 1, com_));
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskSetTime(1000, com_));
    emu::Faults late;
    late.tcpDelayMs = 300;
    emulator_->setFaults(0, late);
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskStart(com_));
    std::this_thread::sleep_for(100ms);  // slot 0 sent, its answer due at 300 ms
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskReset(com_));
    ASSERT_TRUE(Qorvi_NETPOD_Read_TYPE(com_));
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(Qorvi_NETPOD_SendData_MAINPORT(com_));
    ASSERT_TRUE(WaitForCount(types, 1, 4000ms));
    // The TYPE exchange waited for slot 0's answer (300 ms), then took its own 300 ms.
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 1500ms);
    EXPECT_EQ(emulator_->counters(0).mainRequestsWhileAnswerPending, 0u);
}

// An answer that the network cuts in two is one answer: the next request waits for
// its second part.
TEST_F(ConnectionTest, AnswerCutInTwoIsWaitedForWhole) {
    StartModule();
    ASSERT_TRUE(OpenMain());
    WaitConnected();
    emu::Faults split;
    split.tcpSplitAt = 5;  // five bytes, a 50 ms pause, the rest
    emulator_->setFaults(0, split);
    std::atomic<int> types{0};
    std::atomic<int> launched{1};
    Recorder::instance().read([&](Recorder& r) {
        // Every batch after an exchange's last slot reaches the application, the
        // first part of a cut answer too; the application launches at once.
        r.onAnswer = [&](RegisterValues* v, ComID com) {
            if (v->TypeValid)
                types.fetch_add(1);
            if (launched.load() < 6 && Qorvi_NETPOD_Read_TYPE(com) && Qorvi_NETPOD_SendData_MAINPORT(com))
                launched.fetch_add(1);
        };
        return 0;
    });
    ASSERT_TRUE(Qorvi_NETPOD_Read_TYPE(com_));
    ASSERT_TRUE(Qorvi_NETPOD_SendData_MAINPORT(com_));
    // Launches made while an exchange is pending merge into the next exchange.
    ASSERT_TRUE(WaitForCount(launched, 6, 5000ms));
    std::this_thread::sleep_for(300ms);  // the last answers land
    EXPECT_GE(types.load(), 3);
    EXPECT_GE(emulator_->counters(0).mainFaults.split, 3u);
    EXPECT_EQ(emulator_->counters(0).mainRequestsWhileAnswerPending, 0u);
}

// An answer that comes after its wait ran out carries its own exchange's Written
// flags, not those of the exchange before.
TEST_F(ConnectionTest, LateAnswerCarriesItsOwnWrittenFlags) {
    StartModule();
    ASSERT_TRUE(OpenMain());
    WaitConnected();
    bool outputs[16] = {true};
    ASSERT_TRUE(Qorvi_NETPOD_Write_OUTPUTS(outputs, com_));
    Exchange();
    EXPECT_TRUE(LastValues().OutputsWritten);
    emu::Faults late;
    late.tcpDelayMs = 3300;  // beyond the 3000 ms answer wait
    emulator_->setFaults(0, late);
    ASSERT_TRUE(Qorvi_NETPOD_Read_TYPE(com_));
    ASSERT_TRUE(Qorvi_NETPOD_SendData_MAINPORT(com_));
    ASSERT_TRUE(Recorder::instance().waitFor([](Recorder& r) { return r.answers >= 2; }, 6000ms));
    EXPECT_TRUE(LastValues().TypeValid);
    EXPECT_FALSE(LastValues().OutputsWritten);
}

// A Start and a SetTime from two threads at once leave the polling running,
// whichever comes first.
TEST_F(ConnectionTest, StartAndSetTimeAtOnceLeaveThePollingRunning) {
    StartModule();
    ASSERT_TRUE(OpenMain());
    WaitConnected();
    ASSERT_TRUE(Qorvi_NETPOD_Read_INPUTS(true, com_));
    for (int round = 0; round < 100; ++round) {
        ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskReset(com_));
        ASSERT_TRUE(Qorvi_NETPOD_Read_INPUTS(true, com_));
        std::thread other([this, round] { Qorvi_NETPOD_RepetitiveAskSetTime(5 + round % 3, com_); });
        Qorvi_NETPOD_RepetitiveAskStart(com_);
        other.join();
        const int before = Recorder::instance().read([](Recorder& r) { return r.answers; });
        ASSERT_TRUE(Recorder::instance().waitFor([&](Recorder& r) { return r.answers > before; }, 2000ms))
            << "polling stopped in round " << round;
    }
}

ComID* gClosingFromCallback = nullptr;
std::atomic<bool> gClosedInCallback{false};

TEST_F(ConnectionTest, ClosingFromInsideTheDataCallback) {
    StartModule();
    ASSERT_TRUE(OpenMain());
    WaitConnected();
    gClosingFromCallback = &com_;
    Recorder::instance().read([](Recorder& r) {
        r.onAnswer = [](RegisterValues*, ComID) {
            Qorvi_NETPOD_CloseConnection(gClosingFromCallback);
            gClosedInCallback.store(true);
        };
        return 0;
    });
    ASSERT_TRUE(Qorvi_NETPOD_Read_TYPE(com_));
    ASSERT_TRUE(Qorvi_NETPOD_SendData_MAINPORT(com_));
    // The close inside the callback reported 0 and cleared the handle.
    for (int i = 0; i < 500 && !gClosedInCallback.load(); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(gClosedInCallback.load());
    EXPECT_EQ(com_, nullptr);
    EXPECT_TRUE(Recorder::instance().read([](Recorder& r) { return r.events.size() == 2 && r.events[1].code == 0; }));
}

// An application callback that throws: the exception is recorded, and the thread
// that runs every callback goes on serving this connection and the others.
TEST_F(ConnectionTest, ACallbackThatThrowsIsRecordedAndTheConnectionGoesOn) {
    StartModule();
    ASSERT_TRUE(OpenMain());
    WaitConnected();
    std::atomic<bool> thrown{false};
    Recorder::instance().read([&](Recorder& r) {
        r.onAnswer = [&](RegisterValues*, ComID) {
            if (!thrown.exchange(true))
                throw std::runtime_error("thrown by the application");
        };
        return 0;
    });
    ASSERT_TRUE(Qorvi_NETPOD_Read_TYPE(com_));
    Exchange();
    for (int i = 0; i < 200 && !thrown.load(); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(thrown.load());
    ASSERT_TRUE(Qorvi_NETPOD_Read_TYPE(com_));
    ASSERT_TRUE(Qorvi_NETPOD_SendData_MAINPORT(com_));
    EXPECT_TRUE(Recorder::instance().waitFor([](Recorder& r) { return r.answers >= 2; }));
    EXPECT_TRUE(LogEventuallyHas("Unexpected exception in the notification thread: thrown by the application"));
}

ComID gHandleClosedOnZero = nullptr;
void CloseOnZero(int32_t code, ComID com) {
    Recorder::OnEvent(code, com);
    if (code == 0)
        Qorvi_NETPOD_CloseConnection(&gHandleClosedOnZero);  // the usual tidy-up
}

TEST_F(ConnectionTest, ClosingAgainFromComEventZeroOfTheClose) {
    StartModule();
    ASSERT_TRUE(
        Qorvi_NETPOD_OpenConnection_MAINPORT(address_.data(), &Recorder::OnValues, &CloseOnZero, &gHandleClosedOnZero));
    ASSERT_TRUE(Recorder::instance().waitFor([](Recorder& r) { return !r.events.empty(); }));
    EXPECT_TRUE(Qorvi_NETPOD_CloseConnection(&gHandleClosedOnZero));
    EXPECT_EQ(gHandleClosedOnZero, nullptr);
    EXPECT_EQ(Recorder::instance().read([](Recorder& r) { return r.events.size(); }), 2u);
}

// No thread left for the notification thread, the one thread that a first
// connection starts: the open fails with a reason instead of hanging, and nothing
// is left half made.
TEST_F(ConnectionTest, OpenFailsCleanlyWhenNoThreadCanBeCreated) {
    StartModule();
    gWorkerThreadsSeen = 0;
    gFailThreadCreation = 1;
    std::atomic<bool> returned{false};
    bool opened = true;
    std::thread opener([&] {
        opened = OpenMain();
        returned = true;
    });
    for (int i = 0; i < 250 && !returned; ++i)
        std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(returned.load()) << "the open hangs when the notification thread cannot be created";
    opener.join();
    gFailThreadCreation = 0;
    EXPECT_EQ(gWorkerThreadsSeen.load(), 1);
    EXPECT_FALSE(opened);
    EXPECT_EQ(com_, nullptr);
    EXPECT_EQ(LastError().rfind("Connection resources not available", 0), 0u) << LastError();
    EXPECT_TRUE(OpenMain()) << LastError();  // and the next open works
}

}  // namespace
}  // namespace netpod::test
