// The error log's pieces that do not need a library file of their own: the IP
// column, the caller-buffer copy, the cross-process lock and its failure paths.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "diagnostics/error_log.h"
#include "platform/named_lock.h"

namespace netpod {
namespace {

using namespace std::chrono_literals;

std::string UniqueLockName(const char* what) {
    return std::string("NETPOD_TEST_") + what + "_" + std::to_string(::getpid());
}

TEST(ErrorLogFormat, IpColumnPadsToFifteenAndNeverCuts) {
    EXPECT_EQ(FormatIpColumn("0"), "None           \t");
    EXPECT_EQ(FormatIpColumn("10.0.0.1"), "10.0.0.1       \t");   // eight characters, seven blanks
    EXPECT_EQ(FormatIpColumn("192.168.100.200"), "192.168.100.200\t");
    EXPECT_EQ(FormatIpColumn("10.0.300.1.long.text"), "10.0.300.1.long.text\t");
    EXPECT_EQ(FormatIpColumn("00"), "00             \t");   // only the exact text "0" means none
}

TEST(ErrorLogFormat, CallerBufferCopyFollowsTheCapacity) {
    char buffer[16];
    std::int32_t length = 16;
    std::fill(std::begin(buffer), std::end(buffer), '#');
    CopyTextToCallerBuffer("No Error", buffer, &length);
    EXPECT_EQ(length, 8);
    EXPECT_EQ(std::string(buffer, 9), "No Error#");   // no terminator written

    length = 3;
    CopyTextToCallerBuffer("No Error", buffer, &length);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(std::string(buffer, 3), "No ");

    for (std::int32_t capacity : {0, -5}) {
        std::fill(std::begin(buffer), std::end(buffer), '#');
        length = capacity;
        CopyTextToCallerBuffer("No Error", buffer, &length);
        EXPECT_EQ(length, capacity);
        EXPECT_EQ(buffer[0], '#');
    }
}

TEST(NamedLock, ExcludesOtherThreadsAndTimesOut) {
    platform::NamedLock a(UniqueLockName("excl"));
    platform::NamedLock b(UniqueLockName("excl"));
    ASSERT_TRUE(a.valid() && b.valid());
    ASSERT_EQ(a.acquire(500ms), platform::LockResult::Acquired);
    platform::LockResult other{};
    std::chrono::steady_clock::duration waited{};
    std::thread t([&] {
        const auto start = std::chrono::steady_clock::now();
        other = b.acquire(100ms);
        waited = std::chrono::steady_clock::now() - start;
    });
    t.join();
    EXPECT_EQ(other, platform::LockResult::TimedOut);
    EXPECT_GE(waited, 95ms);
    a.release();
    EXPECT_EQ(b.acquire(100ms), platform::LockResult::Acquired);
    b.release();
}

TEST(NamedLock, OwnerThatDiedLeavesItAbandonedOnceThenUsable) {
    const std::string name = UniqueLockName("abandon");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        platform::NamedLock lock(name);
        _exit(lock.acquire(500ms) == platform::LockResult::Acquired ? 0 : 1);   // dies holding it
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    platform::NamedLock lock(name);
    EXPECT_EQ(lock.acquire(500ms), platform::LockResult::Abandoned);
    lock.release();
    EXPECT_EQ(lock.acquire(500ms), platform::LockResult::Acquired);
    lock.release();
}

// A lock held elsewhere for more than 500 ms: the report fails and the last-error
// text keeps its previous value; an abandoned lock fails one report, is released,
// and the next report goes through.
TEST(WriteErrorLog, LockProblemsLeaveTheLastErrorAloneAndReleaseTheLock) {
    const std::string name = UniqueLockName("writer");
    SetErrorLogLockNameForTesting(name);
    ASSERT_TRUE(WriteErrorLog("first message\t(Test)", "0"));
    EXPECT_EQ(LastErrorText(), "first message\t(Test)");

    platform::NamedLock holder(name);
    ASSERT_EQ(holder.acquire(500ms), platform::LockResult::Acquired);
    bool written = true;
    std::thread t([&] { written = WriteErrorLog("second message\t(Test)", "0"); });
    t.join();
    holder.release();
    EXPECT_FALSE(written);
    EXPECT_EQ(LastErrorText(), "first message\t(Test)");

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        platform::NamedLock lock(name);
        _exit(lock.acquire(500ms) == platform::LockResult::Acquired ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_FALSE(WriteErrorLog("third message\t(Test)", "0"));   // abandoned
    EXPECT_EQ(LastErrorText(), "first message\t(Test)");
    EXPECT_TRUE(WriteErrorLog("fourth message\t(Test)", "0"));   // and released again
    EXPECT_EQ(LastErrorText(), "fourth message\t(Test)");
}

}  // namespace
}  // namespace netpod
