// Connection states, the events that report them, and closing.
#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "diagnostics/error_log.h"
#include "transport/transport_test_support.h"

namespace netpod::test {
namespace {

constexpr std::string_view kNotActive = "Socket Not active\r\nCall first : Qorvi_OpenConnection().\t(Qorvi_Send)";

TEST(TransportConnection, RefusedAttemptReportsOneErrorAndNeverRetries) {
    LoopbackEndpoint closedPort(/*listen=*/false);
    Recorder recorder;
    auto transport = recorder.Open(closedPort.ip(), closedPort.port());
    EXPECT_EQ(transport->IPText(), closedPort.ip());

    ASSERT_TRUE(recorder.WaitForEvents(1));
    std::this_thread::sleep_for(300ms);   // room for a retry that must not happen
    EXPECT_EQ(recorder.EventCodes(), std::vector<std::int32_t>{kComError});
    EXPECT_EQ(transport->ComState(), kComError);

    const std::uint8_t byte = 0x55;
    EXPECT_FALSE(transport->SendData(&byte, 1));
    EXPECT_EQ(LastErrorText(), kNotActive);

    // Never connected: the close reports nothing.
    transport->Close();
    EXPECT_EQ(transport->ComState(), kComClosedByLibrary);
    EXPECT_EQ(recorder.EventCodes().size(), 1u);
}

TEST(TransportConnection, AddressThatCannotBeUsedIsReportedLikeAFailedAttempt) {
    for (const char* text : {"127.0.0.300", "localhost", ""}) {
        Recorder recorder;
        auto transport = recorder.Open(text, 8010);
        ASSERT_TRUE(recorder.WaitForEvents(1)) << text;
        EXPECT_EQ(recorder.EventCodes(), std::vector<std::int32_t>{kComError}) << text;
        EXPECT_NE(recorder.Entries()[0].thread, std::this_thread::get_id()) << text;
        EXPECT_EQ(transport->ComState(), kComError);
    }
}

TEST(TransportConnection, ConnectsFromTheNotificationThreadThenSeesTheRemoteClose) {
    LoopbackEndpoint listener(/*listen=*/true);
    Recorder recorder;
    auto transport = recorder.Open(listener.ip(), listener.port());
    const std::int32_t stateAfterOpen = transport->ComState();
    EXPECT_TRUE(stateAfterOpen == kComConnecting || stateAfterOpen == kComConnected) << stateAfterOpen;

    const int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(recorder.WaitForEvents(1));
    EXPECT_EQ(transport->ComState(), kComConnected);
    // Never reported from inside the constructor: the open returns first.
    const auto connectEntry = recorder.Entries()[0];
    EXPECT_NE(connectEntry.thread, std::this_thread::get_id());
    EXPECT_EQ(connectEntry.transport, transport.get());

    close(peer);
    ASSERT_TRUE(recorder.WaitForEvents(2));
    EXPECT_EQ(recorder.EventCodes(), (std::vector<std::int32_t>{kComConnected, kComNotConnected}));
    EXPECT_EQ(recorder.Entries()[1].thread, connectEntry.thread);
    EXPECT_EQ(transport->ComState(), kComNotConnected);

    // The connection stays down: no reconnect, sends refused, and the close reports
    // nothing more.
    const std::uint8_t byte = 1;
    EXPECT_FALSE(transport->SendData(&byte, 1));
    EXPECT_EQ(LastErrorText(), kNotActive);
    EXPECT_EQ(listener.Accept(200ms), -1);
    transport->Close();
    EXPECT_EQ(recorder.EventCodes().size(), 2u);
    EXPECT_EQ(transport->ComState(), kComClosedByLibrary);
}

// The close of a connected transport reports 0 on the closing thread before it
// returns, and nothing after, even while data keep arriving.
TEST(TransportConnection, CloseReportsDisconnectionOnClosingThreadAndNothingAfter) {
    LoopbackEndpoint listener(/*listen=*/true);
    for (int round = 0; round < 20; ++round) {
        Recorder recorder;
        std::atomic<bool> closeReturned{false};
        std::atomic<int> lateCallbacks{0};
        recorder.onEvent = [&](std::int32_t, CEthernetCom*) {
            if (closeReturned.load())
                ++lateCallbacks;
        };
        // Slow data callbacks make it likely that the close meets one in progress.
        recorder.onData = [&] {
            if (closeReturned.load())
                ++lateCallbacks;
            std::this_thread::sleep_for(1ms);
        };
        auto transport = recorder.Open(listener.ip(), listener.port());
        const int peer = listener.Accept();
        ASSERT_GE(peer, 0);
        ASSERT_TRUE(recorder.WaitForEvents(1));

        std::atomic<bool> stopFlood{false};
        std::thread flood([&] {
            const std::vector<std::uint8_t> chunk(512, 0xA5);
            while (!stopFlood.load() && send(peer, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT) != -1) {
            }
        });
        recorder.WaitFor([](const auto& entries) { return entries.size() > 3; });

        transport->Close();
        closeReturned.store(true);
        const auto entries = recorder.Entries();
        ASSERT_TRUE(entries.back().isEvent);
        EXPECT_EQ(entries.back().value, kComNotConnected);
        EXPECT_EQ(entries.back().thread, std::this_thread::get_id());
        EXPECT_EQ(transport->ComState(), kComNotConnected);

        std::this_thread::sleep_for(20ms);
        stopFlood.store(true);
        flood.join();
        EXPECT_EQ(recorder.Entries().size(), entries.size()) << "a callback ran after Close returned";
        EXPECT_EQ(lateCallbacks.load(), 0);
        EXPECT_EQ(recorder.EventCodes(), (std::vector<std::int32_t>{kComConnected, kComNotConnected}));
        close(peer);
    }
}

TEST(TransportConnection, CloseDuringTheAttemptReportsNothing) {
    LoopbackEndpoint listener(/*listen=*/true);
    LoopbackEndpoint closedPort(/*listen=*/false);
    for (int round = 0; round < 50; ++round) {
        Recorder recorder;
        auto transport = recorder.Open(round % 2 ? listener.ip() : closedPort.ip(),
                                       round % 2 ? listener.port() : closedPort.port());
        transport->Close();
        const auto codes = recorder.EventCodes();
        // A report that came before the close is fine; after it, nothing.
        std::this_thread::sleep_for(5ms);
        EXPECT_EQ(recorder.EventCodes(), codes);
        if (codes.empty() || codes.back() == kComError)
            EXPECT_EQ(transport->ComState(), kComClosedByLibrary);
        else
            EXPECT_EQ(codes, (std::vector<std::int32_t>{kComConnected, kComNotConnected}));
        transport->Close();   // a second close is harmless
        EXPECT_EQ(recorder.EventCodes(), codes);
    }
}

TEST(TransportConnection, ManyTransportsLeaveNoThreadOrDescriptorBehind) {
    LoopbackEndpoint listener(/*listen=*/true);
    {
        // Whatever the process starts once with its first thread or first transport
        // (a sanitizer's helper thread, say) is not counted against the transports.
        Recorder warmUp;
        auto transport = warmUp.Open(listener.ip(), listener.port());
        warmUp.WaitForEvents(1);
    }
    const int fdsBefore = CountEntries("/proc/self/fd");
    const int threadsBefore = CountEntries("/proc/self/task");

    constexpr int kCount = 200;
    Recorder recorder;
    std::vector<std::unique_ptr<CEthernetCom>> transports;
    for (int i = 0; i < kCount; ++i)
        transports.push_back(recorder.Open(listener.ip(), listener.port()));
    ASSERT_TRUE(recorder.WaitForEvents(kCount, 10000ms));
    EXPECT_EQ(CountEntries("/proc/self/task"), threadsBefore + 1) << "one notification thread for all";
    for (auto& transport : transports)
        EXPECT_EQ(transport->ComState(), kComConnected);
    transports.clear();
    EXPECT_EQ(recorder.EventCodes().size(), 2u * kCount);

    // And one after another, as a long-running program would.
    for (int i = 0; i < 300; ++i) {
        Recorder single;
        auto transport = single.Open(listener.ip(), listener.port());
        if (i % 3 == 0)
            single.WaitForEvents(1);
    }
    EXPECT_EQ(CountEntries("/proc/self/fd"), fdsBefore);
    EXPECT_EQ(CountEntries("/proc/self/task"), threadsBefore);
}

// The application closes one connection from a callback of another; the notification
// thread must not wait for itself.
TEST(TransportConnection, ClosingOneTransportFromAnothersCallback) {
    LoopbackEndpoint listener(/*listen=*/true);
    Recorder recorderA;
    auto transportA = recorderA.Open(listener.ip(), listener.port());
    ASSERT_TRUE(recorderA.WaitForEvents(1));

    Recorder recorderB;
    std::unique_ptr<CEthernetCom> toDestroy = std::move(transportA);
    recorderB.onEvent = [&](std::int32_t code, CEthernetCom*) {
        if (code == kComConnected)
            toDestroy.reset();
    };
    auto transportB = recorderB.Open(listener.ip(), listener.port());
    ASSERT_TRUE(recorderA.WaitForEvents(2));
    EXPECT_EQ(recorderA.EventCodes(), (std::vector<std::int32_t>{kComConnected, kComNotConnected}));
    EXPECT_EQ(recorderA.Entries()[1].thread, recorderB.Entries()[0].thread);
    EXPECT_EQ(transportB->ComState(), kComConnected);
}

// Forbidden to applications, but it must neither deadlock nor run the transport's
// notification on after it.
TEST(TransportConnection, ClosingATransportFromItsOwnCallbackDoesNotDeadlock) {
    LoopbackEndpoint listener(/*listen=*/true);
    Recorder recorder;
    std::unique_ptr<CEthernetCom> transport;
    std::mutex transportMutex;
    std::promise<void> hookDone;
    recorder.onEvent = [&](std::int32_t code, CEthernetCom*) {
        if (code == kComConnected) {
            {
                std::lock_guard lock(transportMutex);
                transport.reset();
            }
            hookDone.set_value();
        }
    };
    {
        std::lock_guard lock(transportMutex);
        transport = recorder.Open(listener.ip(), listener.port());
    }
    ASSERT_EQ(hookDone.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(recorder.EventCodes(), (std::vector<std::int32_t>{kComConnected, kComNotConnected}));
}

}  // namespace
}  // namespace netpod::test
