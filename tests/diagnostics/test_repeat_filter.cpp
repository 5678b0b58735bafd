// Repeated failures are counted instead of written: the filter on its own with a
// clock the test moves, then the error log that uses it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/error_log.h"
#include "diagnostics/repeat_filter.h"

namespace netpod {
namespace {

using namespace std::chrono_literals;
using Clock = RepeatFilter::Clock;

// The two failures a vanished module reports at every tick of a repetitive ask.
constexpr std::string_view kNotActive = "Socket Not active\r\nCall first : Qorvi_OpenConnection().\t(Qorvi_Send)";
constexpr std::string_view kSendFailed = "EthernetCom->SendData Failed\t(TThreadSendContinuous::Execute)";

// Adds up what reached the log per (IP text, message): entries count one each,
// summaries the number they carry.
struct Tally {
    std::map<std::pair<std::string, std::string>, std::size_t> reports;
    std::size_t records = 0;
    std::size_t summaries = 0;

    void add(const std::vector<LogRecord>& out) {
        constexpr std::string_view kPrefix = "Previous message repeated ";
        for (const LogRecord& r : out) {
            ++records;
            const std::string_view m = r.message;
            if (m.starts_with(kPrefix)) {
                ++summaries;
                const std::size_t number = kPrefix.size();
                const std::size_t colon = m.find(": ");
                reports[{r.ipText, std::string(m.substr(colon + 2))}] +=
                    std::stoul(std::string(m.substr(number, m.find(' ', number) - number)));
            } else {
                ++reports[{r.ipText, r.message}];
            }
        }
    }
    std::size_t of(std::string_view ip, std::string_view message) const {
        const auto it = reports.find({std::string(ip), std::string(message)});
        return it == reports.end() ? 0 : it->second;
    }
};

TEST(RepeatFilter, OneMessageIsWrittenOnceThenSummarisedOncePerInterval) {
    RepeatFilter filter(5s);
    const Clock::time_point t0{};
    ASSERT_EQ(filter.Report("lost\t(F)", "10.0.0.1", t0), (std::vector<LogRecord>{{"lost\t(F)", "10.0.0.1"}}));
    for (int ms = 1; ms < 5000; ++ms)
        ASSERT_TRUE(filter.Report("lost\t(F)", "10.0.0.1", t0 + std::chrono::milliseconds(ms)).empty()) << ms;
    // The report that ends the window is counted into the summary it triggers.
    EXPECT_EQ(filter.Report("lost\t(F)", "10.0.0.1", t0 + 5000ms),
              (std::vector<LogRecord>{{"Previous message repeated 5000 times: lost\t(F)", "10.0.0.1"}}));
    EXPECT_TRUE(filter.Report("lost\t(F)", "10.0.0.1", t0 + 5001ms).empty());
    EXPECT_EQ(filter.Flush(t0 + 5002ms),
              (std::vector<LogRecord>{{"Previous message repeated 1 time: lost\t(F)", "10.0.0.1"}}));
    EXPECT_TRUE(filter.Flush(t0 + 5003ms).empty());
    // After a quiet window the message is written again as it is.
    EXPECT_EQ(filter.Report("lost\t(F)", "10.0.0.1", t0 + 10003ms),
              (std::vector<LogRecord>{{"lost\t(F)", "10.0.0.1"}}));
}

TEST(RepeatFilter, AlternatingPairIsBoundedAndCountedExactly) {
    // 2,000 reports at 1 ms: two entries, and the exit flush carries the rest.
    {
        RepeatFilter filter(5s);
        Tally tally;
        for (int i = 0; i < 2000; ++i)
            tally.add(filter.Report(i % 2 == 0 ? kNotActive : kSendFailed, "127.0.0.9",
                                    Clock::time_point{} + std::chrono::milliseconds(i)));
        EXPECT_EQ(tally.records, 2u);
        tally.add(filter.Flush(Clock::time_point{} + 2s));
        EXPECT_EQ(tally.records, 4u);
        EXPECT_EQ(tally.of("127.0.0.9", kNotActive), 1000u);
        EXPECT_EQ(tally.of("127.0.0.9", kSendFailed), 1000u);
    }
    // 2,000 reports 25 ms apart (50 s): at most one summary per key and interval.
    {
        RepeatFilter filter(5s);
        Tally tally;
        for (int i = 0; i < 2000; ++i)
            tally.add(filter.Report(i % 2 == 0 ? kNotActive : kSendFailed, "127.0.0.9",
                                    Clock::time_point{} + std::chrono::milliseconds(25 * i)));
        EXPECT_LE(tally.records, 2u + 2u * 10u);
        EXPECT_GE(tally.summaries, 2u * 9u);   // repeats keep being reported while they go on
        tally.add(filter.Flush(Clock::time_point{} + 60s));
        EXPECT_EQ(tally.of("127.0.0.9", kNotActive), 1000u);
        EXPECT_EQ(tally.of("127.0.0.9", kSendFailed), 1000u);
    }
}

TEST(RepeatFilter, DifferentIpTextsAreNeverMerged) {
    RepeatFilter filter(5s);
    Tally tally;
    const Clock::time_point t0{};
    for (int i = 0; i < 300; ++i) {
        tally.add(filter.Report(kNotActive, "127.0.0.9", t0 + std::chrono::milliseconds(i)));
        if (i % 3 == 0)
            tally.add(filter.Report(kNotActive, "127.0.0.10", t0 + std::chrono::milliseconds(i)));
    }
    EXPECT_EQ(tally.records, 2u);
    // A new failure of a third connection leaves the others' counts to their windows.
    EXPECT_EQ(filter.Report(kNotActive, "127.0.0.11", t0 + 400ms),
              (std::vector<LogRecord>{{std::string(kNotActive), "127.0.0.11"}}));
    filter.Forget(kNotActive, "127.0.0.11");
    const std::vector<LogRecord> summaries = filter.Flush(t0 + 1s);
    EXPECT_EQ(summaries, (std::vector<LogRecord>{
                             {RepeatSummaryText(299, kNotActive), "127.0.0.9"},
                             {RepeatSummaryText(99, kNotActive), "127.0.0.10"},
                         }));
}

// A network outage: 200 connections lose their modules one after the other, each
// then alternating its pair at every 1 ms tick. Two entries per connection, however
// the failures interleave.
TEST(RepeatFilter, ManyConnectionsFailingAtOnceStayBounded) {
    RepeatFilter filter(5s);
    Tally tally;
    constexpr int kConnections = 200;
    constexpr int kTicks = 400;
    const Clock::time_point t0{};
    for (int tick = 0; tick < kConnections + kTicks; ++tick)
        for (int c = 0; c < kConnections && c <= tick; ++c)
            if (tick - c < kTicks)
                for (std::string_view message : {kNotActive, kSendFailed})
                    tally.add(filter.Report(message, "10.1." + std::to_string(c / 100) + "." + std::to_string(c % 100),
                                            t0 + std::chrono::milliseconds(tick)));
    EXPECT_EQ(tally.records, 2u * kConnections);
    tally.add(filter.Flush(t0 + 1s));
    EXPECT_EQ(tally.records, 4u * kConnections);
    EXPECT_EQ(tally.of("10.1.1.99", kSendFailed), static_cast<std::size_t>(kTicks));
}

TEST(RepeatFilter, NewMessageWritesPendingCountsBeforeItself) {
    RepeatFilter filter(5s);
    const Clock::time_point t0{};
    filter.Report("A\t(F)", "0", t0);
    filter.Report("A\t(F)", "0", t0 + 1ms);
    filter.Report("A\t(F)", "0", t0 + 2ms);
    EXPECT_EQ(filter.Report("B\t(F)", "0", t0 + 3ms), (std::vector<LogRecord>{
                                                           {"Previous message repeated 2 times: A\t(F)", "0"},
                                                           {"B\t(F)", "0"},
                                                       }));
    // A keeps its key: its next repeat is counted again, not written.
    EXPECT_TRUE(filter.Report("A\t(F)", "0", t0 + 4ms).empty());
    // Any report after the interval writes what is due, even a counted one.
    filter.Report("B\t(F)", "0", t0 + 4ms);
    EXPECT_EQ(filter.Report("B\t(F)", "0", t0 + 5004ms), (std::vector<LogRecord>{
                                                              {"Previous message repeated 1 time: A\t(F)", "0"},
                                                              {"Previous message repeated 2 times: B\t(F)", "0"},
                                                          }));
}

TEST(RepeatFilter, MemoryIsBoundedAndForgottenKeysAreWrittenAgain) {
    RepeatFilter filter(5s, 4);
    const Clock::time_point t0{};
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(filter.Report("m" + std::to_string(i), "0", t0).size(), 1u);
    EXPECT_EQ(filter.size(), 4u);
    EXPECT_EQ(filter.Report("m0", "0", t0).size(), 1u);   // pushed out: new again
    EXPECT_TRUE(filter.Report("m9", "0", t0).empty());    // still known: counted

    // A key that makes room for another writes its count first (other addresses,
    // so that nothing else would write it).
    for (const char* other : {"x", "y", "z"})
        EXPECT_EQ(filter.Report(other, "10.0.0.1", t0).size(), 1u);
    EXPECT_EQ(filter.Report("w", "10.0.0.1", t0), (std::vector<LogRecord>{
                                                      {"Previous message repeated 1 time: m9", "0"},
                                                      {"w", "10.0.0.1"},
                                                  }));
    EXPECT_EQ(filter.size(), 4u);

    filter.Report("k", "0", t0);
    EXPECT_TRUE(filter.Report("k", "0", t0).empty());
    filter.Forget("k", "0");
    EXPECT_EQ(filter.Report("k", "0", t0), (std::vector<LogRecord>{{"k", "0"}}));
    EXPECT_TRUE(filter.Flush(t0).empty());   // the forgotten count went with its key
}

// The error log itself, with a clock the test moves.
std::atomic<std::int64_t> gFakeNanoseconds{0};
Clock::time_point FakeNow() { return Clock::time_point{std::chrono::nanoseconds(gFakeNanoseconds.load())}; }
void Advance(Clock::duration d) { gFakeNanoseconds += std::chrono::duration_cast<std::chrono::nanoseconds>(d).count(); }

std::string ReadLog() {
    std::ifstream in(ErrorLogPath(), std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// Lines of the log that carry `marker`, without their date and time.
std::vector<std::string> EntriesWith(const std::string& log, const std::string& marker) {
    std::vector<std::string> found;
    std::size_t start = 0;
    while ((start = log.find("\r\n\r\n", start)) != std::string::npos) {
        start += 4;
        const std::size_t end = log.find("\r\n\r\n", start);
        const std::string entry = log.substr(start, end - start);
        if (entry.find(marker) != std::string::npos) {
            const std::size_t ip = entry.find('\t', entry.find('\t') + 1) + 1;
            found.push_back(entry.substr(ip));
        }
    }
    return found;
}

class ErrorLogRepeats : public ::testing::Test {
protected:
    void SetUp() override {
        gFakeNanoseconds = Clock::now().time_since_epoch().count();
        SetErrorLogClockForTesting(&FakeNow);
        // Tests of other processes write into the same file: each looks for its own.
        marker_ = "pid " + std::to_string(::getpid()) + " " +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    void TearDown() override { SetErrorLogClockForTesting(nullptr); }
    std::string marker_;
};

TEST_F(ErrorLogRepeats, RepeatsAreCountedWhileTheLastErrorFollowsEveryReport) {
    const std::string a = "Socket Not active " + marker_ + "\t(Qorvi_Send)";
    const std::string b = "SendData Failed " + marker_ + "\t(TThreadSendContinuous::Execute)";
    for (int i = 0; i < 500; ++i) {
        ASSERT_TRUE(WriteErrorLog(a, "127.0.0.9"));
        EXPECT_EQ(LastErrorText(), a);
        ASSERT_TRUE(WriteErrorLog(b, "127.0.0.9"));
        EXPECT_EQ(LastErrorText(), b);
        Advance(1ms);
    }
    EXPECT_EQ(EntriesWith(ReadLog(), marker_), (std::vector<std::string>{
                                                     "127.0.0.9      \t" + a,
                                                     "127.0.0.9      \t" + b,
                                                 }));
    Advance(5s);
    ASSERT_TRUE(WriteErrorLog(a, "127.0.0.9"));
    EXPECT_EQ(EntriesWith(ReadLog(), marker_), (std::vector<std::string>{
                                                     "127.0.0.9      \t" + a,
                                                     "127.0.0.9      \t" + b,
                                                     "127.0.0.9      \tPrevious message repeated 500 times: " + a,
                                                     "127.0.0.9      \tPrevious message repeated 499 times: " + b,
                                                 }));
}

TEST_F(ErrorLogRepeats, CountsStillPendingAreWrittenAtExit) {
    const std::string a = "Event HevAck Timeout reached " + marker_ + "\t(TThreadSend::Execute)";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (int i = 0; i < 7; ++i)
            WriteErrorLog(a, "0");
        std::exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(EntriesWith(ReadLog(), marker_), (std::vector<std::string>{
                                                     "None           \t" + a,
                                                     "None           \tPrevious message repeated 6 times: " + a,
                                                 }));
}

// Threads of many connections report at once: each connection's pair is written
// once, and the counts of its summaries are exact.
TEST_F(ErrorLogRepeats, ThreadsReportingAtOnceAreCountedExactly) {
    constexpr int kThreads = 4;
    constexpr int kReports = 1000;
    const std::string a = "Socket Not active " + marker_ + "\t(Qorvi_Send)";
    const std::string b = "SendData Failed " + marker_ + "\t(TThreadSendContinuous::Execute)";
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            const std::string ip = "127.0.1." + std::to_string(t);
            for (int i = 0; i < kReports; ++i)
                WriteErrorLog(i % 2 == 0 ? a : b, ip);
        });
    for (std::thread& t : threads)
        t.join();
    const std::string last = LastErrorText();
    EXPECT_TRUE(last == a || last == b);
    Advance(5s);
    WriteErrorLog("after the threads " + marker_, "0");   // writes every summary due

    const std::vector<std::string> entries = EntriesWith(ReadLog(), marker_);
    for (int t = 0; t < kThreads; ++t) {
        const std::string column = FormatIpColumn("127.0.1." + std::to_string(t));
        for (const std::string& message : {a, b}) {
            const std::string summary = column + RepeatSummaryText(kReports / 2 - 1, message);
            EXPECT_EQ(std::count(entries.begin(), entries.end(), column + message), 1) << column;
            EXPECT_EQ(std::count(entries.begin(), entries.end(), summary), 1) << summary;
        }
    }
    EXPECT_EQ(entries.size(), 4u * kThreads + 1u);
}

}  // namespace
}  // namespace netpod
