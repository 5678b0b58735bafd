// Faults that once cost an application its connection or its data: the answer and
// the acknowledge of one exchange in two segments, and a close from the serial
// callback while the application sends on another thread.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "connection_fixture.h"

namespace netpod::test {
namespace {

// The read answer and the write's acknowledge of one send arrive 50 ms apart: every
// callback of the exchange still shows TYPE as answered.
TEST_F(ConnectionTest, ValidFlagsHoldAcrossTheSegmentsOfOneExchange) {
    StartModule();
    ASSERT_TRUE(OpenMain());
    WaitConnected();
    emu::Faults split;
    split.tcpSplitAt = 13;   // the 13-byte TYPE answer, a pause, then the acknowledge
    emulator_->setFaults(0, split);
    ASSERT_TRUE(Qorvi_NETPOD_Read_TYPE(com_));
    bool outputs[16] = {};
    outputs[4] = true;
    ASSERT_TRUE(Qorvi_NETPOD_Write_OUTPUTS(outputs, com_));
    ASSERT_TRUE(Qorvi_NETPOD_SendData_MAINPORT(com_));
    ASSERT_TRUE(Recorder::instance().waitFor([](Recorder& r) { return r.answers >= 2; }));
    const RegisterValues last = LastValues();
    EXPECT_TRUE(last.TypeValid);
    EXPECT_TRUE(last.OutputsWritten);
    EXPECT_GE(emulator_->counters(0).mainFaults.split, 1u);

    // The next exchange starts afresh: TYPE was not asked for, so it is not valid.
    emulator_->setFaults(0, {});
    ASSERT_TRUE(Qorvi_NETPOD_Read_TCPTIMEOUT(com_));
    const int before = Recorder::instance().read([](Recorder& r) { return r.answers; });
    ASSERT_TRUE(Qorvi_NETPOD_SendData_MAINPORT(com_)) << LastError();
    ASSERT_TRUE(Recorder::instance().waitFor([&](Recorder& r) { return r.answers > before; }));
    EXPECT_FALSE(LastValues().TypeValid);
    EXPECT_TRUE(LastValues().TCPTimeoutValid);
}

// A module vanishes during a 1 ms repetitive ask: the ask logs its failure once and
// stops, instead of two entries at every tick for as long as the process lives.
TEST_F(ConnectionTest, RepetitiveAskStopsOnceTheModuleIsGone) {
    StartModule();
    ASSERT_TRUE(OpenMain());
    WaitConnected();
    ASSERT_TRUE(Qorvi_NETPOD_Read_INPUTS(true, com_));
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskSetTime(1, com_));
    ASSERT_TRUE(Qorvi_NETPOD_RepetitiveAskStart(com_));
    ASSERT_TRUE(Recorder::instance().waitFor([](Recorder& r) { return r.answers >= 20; }));
    emulator_.reset();
    const std::string failed = "EthernetCom->SendData Failed\t(TThreadProcess::Execute)";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (LastError() != failed && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(LastError(), failed);
    EXPECT_EQ(Qorvi_NETPOD_GetStateCommunication(com_), 0);

    // Another failure's text stays the last one: no tick of the ask replaces it.
    EXPECT_FALSE(Qorvi_NETPOD_Read_INPUTVOLTAGEVALUE(16, false, com_));
    const std::string mine = LastError();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(LastError(), mine);
}

std::atomic<ComID> gSerial{nullptr};
std::atomic<int> gSerialCallbacks{0};

void CloseOnSerialData(int32_t, ComID com) {
    ++gSerialCallbacks;
    ComID handle = com;
    Qorvi_NETPOD_CloseConnection(&handle);
}
void IgnoreEvent(int32_t, ComID) {}

// The serial callback closes the connection while the application's own send is
// still returning on another thread: the send completes or fails cleanly, and
// nothing is touched after the close (the sanitizer builds watch).
TEST_F(ConnectionTest, CloseFromTheSerialCallbackWhileAnotherThreadSends) {
    StartModule();
    for (int round = 0; round < 10; ++round) {
        gSerialCallbacks = 0;
        ComID serial = nullptr;
        ASSERT_TRUE(Qorvi_NETPOD_OpenConnection_RS232(address_.data(), &CloseOnSerialData, &IgnoreEvent, &serial));
        gSerial = serial;
        std::atomic<bool> stop{false};
        std::thread sender([&] {
            const uint8_t byte = 'x';
            while (!stop.load())
                Qorvi_NETPOD_SendData_RS232(&byte, 1, gSerial.load());
        });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (gSerialCallbacks.load() == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        // Closed from the callback: the handle becomes unknown (its state 0) while
        // the sender goes on using it.
        while (Qorvi_NETPOD_GetStateCommunication(serial) != 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stop.store(true);
        sender.join();
        EXPECT_GE(gSerialCallbacks.load(), 1);
        EXPECT_EQ(Qorvi_NETPOD_GetStateCommunication(serial), 0);
    }
}

// An open in a process that has no file descriptor left says so, instead of
// blaming the module. Run in a child process, whose descriptor table it fills.
TEST(OpenWithoutDescriptors, SaysSo) {
#ifdef __SANITIZE_ADDRESS__
    // UndefinedBehaviorSanitizer's type checks, built in with AddressSanitizer, need
    // a descriptor of their own and report a false error without one.
    GTEST_SKIP() << "the sanitizer runtime needs file descriptors itself";
#endif
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlimit limit{64, 64};
        setrlimit(RLIMIT_NOFILE, &limit);
        std::vector<int> held;
        for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;)
            held.push_back(fd);
        const int32_t address[4] = {127, 0, 0, 1};
        ComID com = nullptr;
        const bool opened =
            Qorvi_NETPOD_OpenConnection_MAINPORT(address, &Recorder::OnValues, &Recorder::OnEvent, &com);
        const std::string error = LastError();
        for (int fd : held)
            close(fd);
        if (opened)
            _exit(1);
        _exit(error.rfind("No file descriptor left", 0) == 0 &&
                      error.find("\t(Qorvi_NETPOD_OpenConnection_MAINPORT)") != std::string::npos
                  ? 0
                  : 2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the open succeeded; 2: its text does not name the shortage";
}

}  // namespace
}  // namespace netpod::test
