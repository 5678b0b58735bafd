// The error log's pieces that do not need a library file of their own: the IP
// column, the caller-buffer copy, the cross-process lock and its failure paths.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/error_log.h"
#include "platform/named_lock.h"
#include "platform/thread.h"

namespace netpod {
namespace {

using namespace std::chrono_literals;

// A lock name of this process; its shared-memory object is removed when the process
// ends, so that test runs leave nothing behind in /dev/shm.
std::string UniqueLockName(const char* what) {
    struct Names {
        std::set<std::string> names;
        ~Names() {
            for (const std::string& name : names)
                ::shm_unlink(("/" + name).c_str());
        }
    };
    static Names created;
    std::string name = std::string("NETPOD_TEST_") + what + "_" + std::to_string(::getpid());
    created.names.insert(name);
    return name;
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

// A lock held elsewhere for more than 500 ms: the report does not reach the file,
// but the last-error text still changes (applications read it after every failed
// call); an abandoned lock fails one report, is released, and the next report goes
// through.
TEST(WriteErrorLog, LockProblemsStillSetTheLastErrorAndReleaseTheLock) {
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
    EXPECT_EQ(LastErrorText(), "second message\t(Test)");

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        platform::NamedLock lock(name);
        _exit(lock.acquire(500ms) == platform::LockResult::Acquired ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_FALSE(WriteErrorLog("third message\t(Test)", "0"));   // abandoned
    EXPECT_EQ(LastErrorText(), "third message\t(Test)");
    EXPECT_TRUE(WriteErrorLog("fourth message\t(Test)", "0"));   // and released again
    EXPECT_EQ(LastErrorText(), "fourth message\t(Test)");
}

std::string LogFileText() {
    std::ifstream in(ErrorLogPath(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Reports on the notification thread while another process holds the log's lock:
// they return at once with the last-error text set, and their entries reach the
// file once the lock is free, before those reported after them on other threads.
TEST(WriteErrorLog, ReportsOnTheNotificationThreadNeverWaitForTheLock) {
    const std::string name = UniqueLockName("deferred");
    SetErrorLogLockNameForTesting(name);
    const std::string marker = "deferred-" + std::to_string(::getpid()) + "-" +
                               std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    const std::string one = "first " + marker + "\t(Test)";
    const std::string two = "second " + marker + "\t(Test)";
    const std::string after = "after " + marker + "\t(Test)";

    platform::NamedLock holder(name);
    ASSERT_EQ(holder.acquire(500ms), platform::LockResult::Acquired);
    bool queued = false;
    std::thread notification([&] {
        platform::MarkThreadThatMustNotBlock();
        queued = WriteErrorLog(one, "0") && WriteErrorLog(two, "10.0.0.7");
    });
    notification.join();  // with the lock still held elsewhere
    EXPECT_TRUE(queued);
    EXPECT_EQ(LastErrorText(), two);
    EXPECT_EQ(LogFileText().find(marker), std::string::npos);
    holder.release();

    ASSERT_TRUE(WriteErrorLog(after, "0"));  // an application thread: those waiting go first
    const std::string log = LogFileText();
    const auto first = log.find(one), second = log.find(two), last = log.find(after);
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    ASSERT_NE(last, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_LT(second, last);
}

// Two processes report 1,000 different failures each into one log at the same time:
// every entry arrives whole, none interleaved with another.
TEST(WriteErrorLog, TwoProcessesWritingAtOnceLeaveWholeEntries) {
    const std::string marker = "interleave " + std::to_string(::getpid());
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = ::fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            for (int i = 0; i < 1000; ++i)
                WriteErrorLog(marker + " child " + std::to_string(c) + " report " + std::to_string(i) + "\t(Test)",
                              "127.0.0." + std::to_string(c + 1));
            _exit(0);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::ifstream in(ErrorLogPath(), std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    const std::string log = all.str();
    // Other test processes write into the same file: only this test's entries count,
    // but every one of them must be whole, with its own IP column.
    std::size_t whole[2] = {0, 0};
    for (std::size_t start = log.find("\r\n\r\n"); start != std::string::npos;) {
        start += 4;
        const std::size_t end = log.find("\r\n\r\n", start);
        const std::string entry = log.substr(start, end == std::string::npos ? end : end - start);
        start = end;
        const std::size_t at = entry.find(marker + " child ");
        if (at == std::string::npos)
            continue;
        const int c = entry[at + marker.size() + 7] - '0';
        ASSERT_TRUE(c == 0 || c == 1) << entry;
        const std::size_t time = entry.find('\t') + 1;
        const std::size_t column = entry.find('\t', time) + 1;
        EXPECT_EQ(entry.substr(column, at - column), FormatIpColumn("127.0.0." + std::to_string(c + 1))) << entry;
        const std::string rest = entry.substr(at + marker.size() + 8);
        EXPECT_TRUE(rest.starts_with(" report ") && rest.ends_with("\t(Test)")) << entry;
        EXPECT_EQ(rest.find_first_not_of("0123456789", 8), rest.size() - 7) << entry;
        ++whole[c];
    }
    std::size_t mentions = 0;
    for (std::size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1))
        ++mentions;
    EXPECT_EQ(mentions, 2000u);
}

// Opens /dev/null until the process has no descriptor left; returns what it opened.
std::vector<int> ExhaustFileDescriptors() {
    std::vector<int> fds;
    for (;;) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return fds;
        fds.push_back(fd);
    }
}
void CloseAll(std::vector<int>& fds) {
    for (int fd : fds)
        ::close(fd);
    fds.clear();
}

// With no file descriptor left, a report reaches neither the lock nor the file, but
// the last-error text changes; once descriptors are free again, the next report is
// written, also one of the same message (it was never in the log). First with a lock
// that the process never had, then with a lock already open but no file.
TEST(WriteErrorLog, RecoversOnceFileDescriptorsAreFreeAgain) {
    const std::string marker = "descriptors " + std::to_string(::getpid());
    const std::string noLock = "no lock " + marker + "\t(Test)";
    const std::string noFile = "no file " + marker + "\t(Test)";
    const std::string after = "after " + marker + "\t(Test)";
    const std::string lockName = UniqueLockName("descriptors");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A lock name of its own, not opened yet in this process; a small descriptor
        // table, so that filling it is quick.
        SetErrorLogLockNameForTesting(lockName);
        const rlimit small{64, 64};
        if (::setrlimit(RLIMIT_NOFILE, &small) != 0)
            _exit(100);
        int failures = 0;
        std::vector<int> fds = ExhaustFileDescriptors();
        failures |= WriteErrorLog(noLock, "0") ? 1 : 0;
        failures |= LastErrorText() == noLock ? 0 : 2;
        failures |= WriteErrorLog(noLock, "0") ? 1 : 0;   // still none: tried again, not counted
        CloseAll(fds);
        failures |= WriteErrorLog(after, "0") ? 0 : 4;
        failures |= WriteErrorLog(noLock, "0") ? 0 : 8;   // written now

        fds = ExhaustFileDescriptors();   // the lock is open; the file cannot be
        failures |= WriteErrorLog(noFile, "10.0.0.1") ? 16 : 0;
        failures |= LastErrorText() == noFile ? 0 : 32;
        CloseAll(fds);
        failures |= WriteErrorLog(noFile, "10.0.0.1") ? 0 : 64;
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed checks (bits): " << WEXITSTATUS(status);

    std::ifstream in(ErrorLogPath(), std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    const std::string log = all.str();
    const auto at = [&](const std::string& column) { return log.find(column); };
    const auto afterAt = at("None           \t" + after + "\r\n");
    const auto noLockAt = at("None           \t" + noLock + "\r\n");
    const auto noFileAt = at("10.0.0.1       \t" + noFile + "\r\n");
    ASSERT_NE(afterAt, std::string::npos);
    ASSERT_NE(noLockAt, std::string::npos);
    ASSERT_NE(noFileAt, std::string::npos);
    EXPECT_LT(afterAt, noLockAt);
    EXPECT_LT(noLockAt, noFileAt);
    EXPECT_EQ(log.find(noLock, noLockAt + noLock.size()), std::string::npos);   // once only
}

TEST(WriteErrorLog, DescriptorShortageHasAText) {
    EXPECT_EQ(FileDescriptorShortageText(EMFILE),
              "No file descriptor left (the limit of open files of the process is reached)");
    EXPECT_EQ(FileDescriptorShortageText(ENFILE),
              "No file descriptor left (the limit of open files of the system is reached)");
    EXPECT_TRUE(FileDescriptorShortageText(ENOENT).empty());
}

}  // namespace
}  // namespace netpod
