// Many connections: nothing of a closed connection is left behind.
#include <dirent.h>
#include <malloc.h>
#include <sys/resource.h>

#include "connection_fixture.h"

namespace netpod::test {
namespace {

std::size_t CountEntries(const char* dir) {
    std::size_t n = 0;
    if (DIR* d = ::opendir(dir)) {
        while (::readdir(d) != nullptr)
            ++n;
        ::closedir(d);
    }
    return n;
}

std::size_t ThreadsNow() { return CountEntries("/proc/self/task"); }
std::size_t FdsNow() { return CountEntries("/proc/self/fd"); }

// Lets the library's process-wide threads (notification, timers) wind down.
bool SettlesTo(std::size_t threads, std::size_t fds) {
    for (int i = 0; i < 200; ++i) {
        if (ThreadsNow() <= threads && FdsNow() <= fds)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// Bytes the process has allocated and not freed (0 where a sanitizer replaces
// the allocator; its leak check covers that build instead).
std::size_t HeapInUse() { return mallinfo2().uordblks; }

TEST_F(ConnectionTest, ThousandOpenCloseCyclesLeaveNothingBehind) {
    StartModule();
    // One cycle first, so that lasting process-wide state (the log lock, the
    // last-error text) exists before counting.
    ASSERT_TRUE(OpenMain());
    WaitConnected();
    ASSERT_TRUE(Qorvi_NETPOD_CloseConnection(&com_));
    ASSERT_TRUE(SettlesTo(ThreadsNow(), FdsNow()));
    const std::size_t threads = ThreadsNow();
    const std::size_t fds = FdsNow();
    const std::size_t heap = HeapInUse();
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(OpenMain()) << i << ": " << LastError();
        if (i % 10 == 0)
            WaitConnected();
        ASSERT_TRUE(Qorvi_NETPOD_CloseConnection(&com_));
    }
    EXPECT_TRUE(SettlesTo(threads, fds)) << ThreadsNow() << " threads, " << FdsNow() << " fds";
    // A connection holds well over 100 KiB (two 65000-byte batch buffers): a leak of
    // even one record per cycle would show as many megabytes.
    EXPECT_LT(HeapInUse(), heap + 512 * 1024) << "heap grew from " << heap << " to " << HeapInUse();
}

TEST_F(ConnectionTest, TwoHundredConnectionsAtOnce) {
    StartModule();
    const std::size_t threads = ThreadsNow();
    const std::size_t fds = FdsNow();
    std::vector<ComID> handles(200, nullptr);
    for (auto& h : handles)
        ASSERT_TRUE(Qorvi_NETPOD_OpenConnection_MAINPORT(address_.data(), &Recorder::OnValues, &Recorder::OnEvent, &h))
            << LastError();
    // The senders keep no thread: one notification thread serves every connection.
    EXPECT_LE(ThreadsNow(), threads + 1);
    ASSERT_TRUE(Recorder::instance().waitFor([](Recorder& r) { return r.events.size() >= 200; }, 10000ms));
    for (auto& h : handles) {
        ASSERT_TRUE(Qorvi_NETPOD_Read_TYPE(h));
        ASSERT_TRUE(Qorvi_NETPOD_SendData_MAINPORT(h));
    }
    EXPECT_TRUE(Recorder::instance().waitFor([](Recorder& r) { return r.answers >= 200; }, 10000ms));
    for (auto& h : handles)
        ASSERT_TRUE(Qorvi_NETPOD_CloseConnection(&h));
    EXPECT_EQ(Recorder::instance().read([](Recorder& r) { return r.events.size(); }), 400u);
    EXPECT_TRUE(SettlesTo(threads, fds)) << ThreadsNow() << " threads, " << FdsNow() << " fds";
}

// The design's goal: a process holds 1,000 connections. Each needs a socket here and
// one in the emulator of this same process, above the usual limit of 1,024 files,
// so the test raises its own limit first (as such an application must).
TEST_F(ConnectionTest, AThousandConnectionsAtOnce) {
    rlimit files{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_max < 2200)
        GTEST_SKIP() << "the hard limit of open files (" << files.rlim_max << ") is below 2,200";
    files.rlim_cur = std::max<rlim_t>(files.rlim_cur, 2200);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &files), 0);
    StartModule();
    std::vector<ComID> handles(1000, nullptr);
    for (auto& h : handles)
        ASSERT_TRUE(Qorvi_NETPOD_OpenConnection_MAINPORT(address_.data(), &Recorder::OnValues, &Recorder::OnEvent, &h))
            << LastError();
    ASSERT_TRUE(Recorder::instance().waitFor([](Recorder& r) { return r.events.size() >= 1000; }, 30000ms));
    for (auto& h : handles) {
        ASSERT_TRUE(Qorvi_NETPOD_Read_TYPE(h));
        ASSERT_TRUE(Qorvi_NETPOD_SendData_MAINPORT(h));
    }
    EXPECT_TRUE(Recorder::instance().waitFor([](Recorder& r) { return r.answers >= 1000; }, 30000ms));
    EXPECT_TRUE(Recorder::instance().read([](Recorder& r) {
        for (const auto& e : r.events)
            if (e.code != 1)
                return false;
        return true;
    }));
    for (auto& h : handles)
        ASSERT_TRUE(Qorvi_NETPOD_CloseConnection(&h));
}

}  // namespace
}  // namespace netpod::test
