// Sending blocks and fetching received batches.
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <atomic>
#include <future>

#include "diagnostics/error_log.h"
#include "transport/transport_test_support.h"

namespace netpod::test {
namespace {

constexpr std::string_view kNotActive = "Socket Not active\r\nCall first : Qorvi_OpenConnection().\t(Qorvi_Send)";
constexpr std::string_view kCannotSend = "Cannot Send all Bytes.\t(Qorvi_Send)";

// A transport connected to a peer socket that the test holds.
struct ConnectedPair {
    LoopbackEndpoint listener{/*listen=*/true};
    Recorder recorder;
    std::unique_ptr<CEthernetCom> transport;
    int peer = -1;

    ConnectedPair() {
        transport = recorder.Open(listener.ip(), listener.port());
        peer = listener.Accept();
        EXPECT_GE(peer, 0);
        EXPECT_TRUE(recorder.WaitForEvents(1));
        EXPECT_EQ(transport->ComState(), kComConnected);
    }
    ~ConnectedPair() {
        transport.reset();
        if (peer >= 0)
            close(peer);
    }

    std::vector<Recorder::Entry> DataEntries() {
        std::vector<Recorder::Entry> data;
        for (auto& entry : recorder.Entries())
            if (!entry.isEvent)
                data.push_back(std::move(entry));
        return data;
    }
    bool WaitForReceived(std::size_t total) {
        return recorder.WaitFor([&](const auto& entries) {
            std::size_t sum = 0;
            for (const auto& entry : entries)
                sum += entry.isEvent ? 0 : entry.bytes.size();
            return sum >= total;
        });
    }
};

std::vector<std::uint8_t> Pattern(std::size_t count, std::size_t start = 0) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>((start + i) % 251);
    return bytes;
}

TEST(TransportData, SendsBlocksUnchanged) {
    ConnectedPair pair;
    // Zero bytes: success, nothing on the wire.
    EXPECT_TRUE(pair.transport->SendData(nullptr, 0));
    const auto block = Pattern(300);
    EXPECT_TRUE(pair.transport->SendData(block.data(), static_cast<std::int32_t>(block.size())));
    EXPECT_EQ(ReadFromPeer(pair.peer, block.size()), block);

    // A negative length or a missing buffer sends nothing and fails.
    EXPECT_FALSE(pair.transport->SendData(block.data(), -1));
    EXPECT_EQ(LastErrorText(), kCannotSend);
    EXPECT_FALSE(pair.transport->SendData(nullptr, 4));
    EXPECT_EQ(LastErrorText(), kCannotSend);
    EXPECT_TRUE(ReadFromPeer(pair.peer, 1, 100ms).empty());
    EXPECT_EQ(pair.transport->ComState(), kComConnected);
}

// A peer that does not read fills the socket: the send is refused, not retried, and
// the connection stays up because would-block is no failure of the connection.
TEST(TransportData, SendThatWouldBlockFailsWithoutBreakingTheConnection) {
    ConnectedPair pair;
    const auto block = Pattern(60000);
    int accepted = 0;
    while (pair.transport->SendData(block.data(), static_cast<std::int32_t>(block.size())) && accepted < 10000)
        ++accepted;
    EXPECT_EQ(LastErrorText(), kCannotSend);
    EXPECT_LT(accepted, 10000);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(pair.recorder.EventCodes(), std::vector<std::int32_t>{kComConnected});
    EXPECT_EQ(pair.transport->ComState(), kComConnected);
}

// The peer resets the connection while the notification thread is busy elsewhere, so
// the send is the first to notice: it fails, and the break is reported afterwards from
// the notification thread, 2 then 0, once.
TEST(TransportData, HardSendFailureReportsErrorThenDisconnection) {
    ConnectedPair pair;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    Recorder blocker;
    blocker.onEvent = [released](std::int32_t code, CEthernetCom*) {
        if (code == kComConnected)
            released.wait();
    };
    auto blocking = blocker.Open(pair.listener.ip(), pair.listener.port());
    ASSERT_TRUE(blocker.WaitForEvents(1));   // the notification thread now waits

    const linger resetOnClose{1, 0};
    setsockopt(pair.peer, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose);
    close(pair.peer);
    pair.peer = -1;

    const std::uint8_t byte = 7;
    bool sent = true;
    for (int i = 0; i < 100 && sent; ++i) {
        sent = pair.transport->SendData(&byte, 1);
        if (sent)
            std::this_thread::sleep_for(5ms);
    }
    EXPECT_FALSE(sent);
    EXPECT_EQ(LastErrorText(), kCannotSend);
    EXPECT_FALSE(pair.transport->SendData(&byte, 1));
    EXPECT_EQ(LastErrorText(), kNotActive);
    EXPECT_EQ(pair.recorder.EventCodes(), std::vector<std::int32_t>{kComConnected});

    release.set_value();
    ASSERT_TRUE(pair.recorder.WaitForEvents(3));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(pair.recorder.EventCodes(), (std::vector<std::int32_t>{kComConnected, kComError, kComNotConnected}));
    EXPECT_EQ(pair.transport->ComState(), kComNotConnected);
}

TEST(TransportData, GetDataCopiesTheLatestBatchWithoutConsumingIt) {
    ConnectedPair pair;
    std::array<std::uint8_t, 100> buffer{};
    std::int32_t length = 100;
    EXPECT_TRUE(pair.transport->GetData(buffer.data(), &length));
    EXPECT_EQ(length, 0) << "nothing received yet";

    const auto batch = Pattern(40, 7);
    SendFromPeer(pair.peer, batch);
    ASSERT_TRUE(pair.WaitForReceived(40));
    const auto data = pair.DataEntries();
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(data[0].value, 40);
    EXPECT_EQ(data[0].bytes, batch) << "GetData from inside the data callback";

    length = 10;
    pair.transport->GetData(buffer.data(), &length);
    EXPECT_EQ(length, 10);
    EXPECT_TRUE(std::equal(batch.begin(), batch.begin() + 10, buffer.begin()));
    for (int call = 0; call < 2; ++call) {
        buffer.fill(0);
        length = 100;
        pair.transport->GetData(buffer.data(), &length);
        ASSERT_EQ(length, 40);
        EXPECT_TRUE(std::equal(batch.begin(), batch.end(), buffer.begin()));
    }
    length = -5;
    pair.transport->GetData(buffer.data(), &length);
    EXPECT_EQ(length, 0);

    // The batch outlives the connection's end.
    close(pair.peer);
    pair.peer = -1;
    ASSERT_TRUE(pair.recorder.WaitForEvents(2));
    length = 100;
    pair.transport->GetData(buffer.data(), &length);
    EXPECT_EQ(length, 40);
}

// With 90000 bytes waiting at one notification, the first batch holds 65000 and the
// next the remaining 25000.
TEST(TransportData, LargeArrivalIsCutInto65000ByteBatches) {
    LoopbackEndpoint listener(/*listen=*/true);
    Recorder recorder;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    recorder.onEvent = [released](std::int32_t code, CEthernetCom*) {
        if (code == kComConnected)
            released.wait();   // holds the notification thread until all bytes wait
    };
    auto transport = recorder.Open(listener.ip(), listener.port());
    const int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(recorder.WaitForEvents(1));

    const auto stream = Pattern(90000);
    SendFromPeer(peer, stream);
    int unacknowledged = 1;
    for (int i = 0; i < 500 && unacknowledged != 0; ++i) {
        ioctl(peer, SIOCOUTQ, &unacknowledged);
        if (unacknowledged != 0)
            std::this_thread::sleep_for(2ms);
    }
    ASSERT_EQ(unacknowledged, 0) << "the bytes did not all reach the transport's socket";
    release.set_value();

    ASSERT_TRUE(recorder.WaitFor([](const auto& entries) { return entries.size() >= 3; }));
    const auto entries = recorder.Entries();
    ASSERT_FALSE(entries[1].isEvent);
    ASSERT_FALSE(entries[2].isEvent);
    EXPECT_EQ(entries[1].value, kMaxReceivedBatch);
    EXPECT_EQ(entries[2].value, 90000 - kMaxReceivedBatch);
    std::vector<std::uint8_t> joined = entries[1].bytes;
    joined.insert(joined.end(), entries[2].bytes.begin(), entries[2].bytes.end());
    EXPECT_EQ(joined, stream);
    close(peer);
}

// Batches keep arriving while another thread fetches them: nothing is lost on the
// notification side, and every fetched copy is one whole batch, never a mix of two.
TEST(TransportData, GetDataFromAnotherThreadNeverSeesATornBatch) {
    ConnectedPair pair;
    constexpr std::size_t kTotal = 2'000'000;
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread fetcher([&] {
        std::vector<std::uint8_t> copy(kMaxReceivedBatch);
        while (!done.load()) {
            std::int32_t length = kMaxReceivedBatch;
            pair.transport->GetData(copy.data(), &length);
            for (std::int32_t i = 1; i < length; ++i)
                if (copy[i] != (copy[i - 1] + 1) % 251) {
                    ++torn;
                    break;
                }
        }
    });
    std::thread sender([&] { SendFromPeer(pair.peer, Pattern(kTotal)); });
    const bool all = pair.WaitForReceived(kTotal);
    done.store(true);
    sender.join();
    fetcher.join();
    ASSERT_TRUE(all);
    std::vector<std::uint8_t> joined;
    for (const auto& entry : pair.DataEntries()) {
        EXPECT_EQ(static_cast<std::size_t>(entry.value), entry.bytes.size());
        joined.insert(joined.end(), entry.bytes.begin(), entry.bytes.end());
    }
    EXPECT_EQ(joined, Pattern(kTotal));
    EXPECT_EQ(torn.load(), 0);
}

// Sender threads keep sending while another thread closes: once Close has returned,
// every send fails as "not active", and nothing crashes or races.
TEST(TransportData, SendsRacingCloseStopWhenCloseReturns) {
    for (int round = 0; round < 10; ++round) {
        ConnectedPair pair;
        std::atomic<bool> stop{false};
        std::thread drain([&] {
            std::uint8_t sink[8192];
            while (recv(pair.peer, sink, sizeof sink, 0) > 0) {
            }
        });
        std::atomic<bool> closeReturned{false};
        std::atomic<int> sendsAfterClose{0};
        std::vector<std::thread> senders;
        // Each sender stops at its first refusal, so the error log gets a few entries,
        // not thousands.
        for (int s = 0; s < 3; ++s)
            senders.emplace_back([&] {
                const auto block = Pattern(64);
                while (!stop.load()) {
                    const bool after = closeReturned.load();
                    if (!pair.transport->SendData(block.data(), 64))
                        break;
                    if (after)
                        ++sendsAfterClose;
                }
            });
        std::this_thread::sleep_for(10ms);
        pair.transport->Close();
        closeReturned.store(true);
        std::this_thread::sleep_for(10ms);
        stop.store(true);
        for (auto& sender : senders)
            sender.join();
        EXPECT_EQ(sendsAfterClose.load(), 0);
        EXPECT_EQ(LastErrorText(), kNotActive);
        drain.join();   // the close ended the connection, so the peer sees its end
    }
}

}  // namespace
}  // namespace netpod::test
