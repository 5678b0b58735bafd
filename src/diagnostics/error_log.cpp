#include "diagnostics/error_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

#include "diagnostics/repeat_filter.h"
#include "platform/named_lock.h"
#include "platform/thread.h"

namespace netpod {
namespace {

// An exception that escaped the work of the notification thread (an application
// callback that threw) is recorded like any other failure.
void ReportWorkerException(std::string_view what) {
    std::string message = "Unexpected exception in the notification thread";
    if (!what.empty())
        message.append(": ").append(what);
    message.append("\t(NotificationLoop::Dispatch)");
    WriteErrorLog(message, "0");  // the IP text of no particular address
}

// Installed when the library is loaded, before the notification thread exists.
[[maybe_unused]] const bool kWorkerExceptionsReported = [] {
    platform::SetExceptionReporter(&ReportWorkerException);
    return true;
}();

constexpr std::string_view kHeader =
    "Error Log File for the \"Qorvi-NETPOD_DLLInterface.dll\"\t\t"
    "Qorvi-NETPOD host library - diagnostics of every process that loads it\r\n\r\n"
    "Date\t\tHour\t\tIP Address\tError description\r\n\r\n";

// The last-error text. Written by WriteErrorLog (also under the named lock), read by
// LastErrorText; the process-local mutex makes every read see one whole message.
std::mutex gLastErrorMutex;
std::string& LastErrorStorage() {
    static std::string* text = new std::string("No Error");  // lives as long as the process
    return *text;
}

// Opened at the first report that can open it, and kept for the life of the
// process (a test may swap it before reporting anything concurrently). A lock that
// could not be opened (no file descriptor left, no shared memory) is not kept, so
// that the next report tries again. gLogLockOpenMutex guards the opening and the
// name; the pointer is read without it.
std::atomic<platform::NamedLock*> gLogLock{nullptr};
std::mutex gLogLockOpenMutex;
std::string& LogLockName() {
    static auto* name = new std::string(kLogLockName);  // lives as long as the process
    return *name;
}
platform::NamedLock* LogLock() {
    platform::NamedLock* lock = gLogLock.load(std::memory_order_acquire);
    if (lock != nullptr)
        return lock;
    std::lock_guard guard(gLogLockOpenMutex);
    lock = gLogLock.load(std::memory_order_acquire);
    if (lock == nullptr) {
        auto opened = std::make_unique<platform::NamedLock>(LogLockName());
        if (!opened->valid())
            return nullptr;
        lock = opened.release();
        gLogLock.store(lock, std::memory_order_release);
    }
    return lock;
}

void ShowMessageBox(std::string_view text) {
    // One whole line in one write, so that concurrent reports do not mix.
    std::string line;
    line.append(kMessageBoxCaption).append(": ").append(text).append("\n");
    [[maybe_unused]] auto written = ::write(STDERR_FILENO, line.data(), line.size());
}

std::string FormatNow(const char* format) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[128];
    const std::size_t n = std::strftime(text, sizeof text, format, &local);
    return std::string(text, n);
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string FormatEntry(const LogRecord& record) {
    std::string entry;
    entry.append(FormatNow("%x")).append("\t");
    entry.append(FormatNow("%X")).append("\t");  // a second clock read, as the format prescribes
    entry.append(FormatIpColumn(record.ipText));
    entry.append(record.message).append("\r\n\r\n");
    return entry;
}

// Appends the records, writing the header first when this call creates the file.
bool AppendEntries(const std::string& path, const std::vector<LogRecord>& records) {
    bool created = true;
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    }
    if (fd < 0)
        return false;
    bool ok = true;
    if (created)
        ok = WriteAll(fd, kHeader);
    // Each entry goes out in one write so that a reader never sees half of it.
    for (const LogRecord& record : records)
        ok = ok && WriteAll(fd, FormatEntry(record));
    const int savedErrno = errno;
    ok = (::close(fd) == 0) && ok;
    errno = savedErrno;
    return ok;
}

// Appends the records under the named lock. The lock is released on every path
// that obtained it.
bool WriteRecords(const std::vector<LogRecord>& records) {
    platform::NamedLock* lock = LogLock();
    if (lock == nullptr) {
        ShowMessageBox("Unable to Create Mutex for Log File writing");
        return false;
    }
    const platform::LockResult got = lock->acquire(std::chrono::milliseconds(500));
    if (got != platform::LockResult::Acquired) {
        ShowMessageBox("Unable to write the Error log file (Mutex error)");
        if (got == platform::LockResult::Abandoned)
            lock->release();
        return false;
    }
    struct Release {
        platform::NamedLock* lock;
        ~Release() { lock->release(); }
    } release{lock};
    const LogLocation location = ErrorLogLocation();
    const std::string path = location.file();
    if (path.empty()) {
        ShowMessageBox("Unable to get entire module path of the DLL");
        return false;
    }
    if (location.createdOnFirstUse())
        CreateLogFolder(location.folder);  // a failure shows in the open below
    if (!AppendEntries(path, records)) {
        std::string why = "Unable to write the Error log file ";
        // strerror_r (the GNU form, which returns the text) is safe with other threads.
        char reason[128];
        why.append(path).append(": ").append(strerror_r(errno, reason, sizeof reason));
        ShowMessageBox(why);
        return false;
    }
    return true;
}

// Which reports reach the file. The filter has a mutex of its own, short and never
// held while waiting for the named lock, so that a counted repeat costs no
// cross-process lock and no file access.
struct Repeats {
    std::mutex mutex;
    RepeatFilter filter;       // guarded by mutex
    bool flushAtExit = false;  // guarded by mutex
};
Repeats& RepeatState() {
    static auto* state = new Repeats;  // lives as long as the process, for the exit flush
    return *state;
}

// The time source of the filter: steady_clock, or a test's own.
std::atomic<ErrorLogClock> gClock{nullptr};
RepeatFilter::Clock::time_point Now() {
    const ErrorLogClock clock = gClock.load(std::memory_order_acquire);
    return clock != nullptr ? clock() : RepeatFilter::Clock::now();
}

// Writes records, and forgets those that could not be written, so that their next
// report is written rather than counted against an entry the log never got.
bool WriteOrForget(const std::vector<LogRecord>& records) {
    if (WriteRecords(records))
        return true;
    Repeats& repeats = RepeatState();
    std::lock_guard guard(repeats.mutex);
    for (const LogRecord& record : records)
        repeats.filter.Forget(record.message, record.ipText);
    return false;
}

// Entries reported on a thread that must not block (the notification thread) wait
// here for a writer thread of their own, started when the first of them comes and
// ended once none is left. Every other report writes those waiting first, so that
// the file keeps the order of the reports.
class DeferredEntries {
public:
    // Waits for the last writer thread to end, so that no library code still runs on
    // it when the library is unloaded.
    void JoinWriter() {
        std::lock_guard start(startMutex_);
        if (writerJoinable_)
            pthread_join(writer_, nullptr);
        writerJoinable_ = false;
    }

    // On the thread that must not block: queues them, and starts the writer when
    // none runs.
    void Queue(std::vector<LogRecord>&& records) {
        bool start = false;
        {
            std::lock_guard guard(mutex_);
            for (LogRecord& record : records)
                pending_.push_back(std::move(record));
            start = !writerRunning_;
            writerRunning_ = true;
        }
        if (!start)
            return;
        std::lock_guard startGuard(startMutex_);
        if (writerJoinable_)
            pthread_join(writer_, nullptr);  // the one before has finished its work
        writerJoinable_ = platform::StartSystemThread(&writer_, &DrainOnWriter, this) == 0;
        if (!writerJoinable_)
            Drain();  // no thread to be had: late rather than never
    }

    // Before any other write: the entries waiting are written first. The caller
    // then holds the order until its own records are written.
    std::unique_lock<std::mutex> WriteWaitingFirst() {
        std::unique_lock order(order_);
        std::vector<LogRecord> waiting;
        {
            std::lock_guard guard(mutex_);
            waiting.swap(pending_);
        }
        if (!waiting.empty())
            WriteOrForget(waiting);
        return order;
    }

private:
    static void* DrainOnWriter(void* self) {
        static_cast<DeferredEntries*>(self)->Drain();
        return nullptr;
    }

    void Drain() {
        const std::lock_guard order(order_);
        for (;;) {
            std::vector<LogRecord> batch;
            {
                std::lock_guard guard(mutex_);
                batch.swap(pending_);
                if (batch.empty()) {
                    writerRunning_ = false;
                    return;
                }
            }
            WriteOrForget(batch);
        }
    }

    std::mutex order_;  // held while records go to the file; taken before mutex_
    std::mutex mutex_;  // guards pending_ and writerRunning_
    std::vector<LogRecord> pending_;
    bool writerRunning_ = false;
    std::mutex startMutex_;  // guards writer_ and writerJoinable_
    pthread_t writer_{};
    bool writerJoinable_ = false;
};

DeferredEntries& Deferred() {
    // Never destroyed: a notification thread still running while the process exits
    // may report. Only the writer thread is waited for, at exit or unload.
    static auto* deferred = new DeferredEntries;
    struct JoinAtExit {
        ~JoinAtExit() { deferred->JoinWriter(); }
    };
    static JoinAtExit joinAtExit;
    return *deferred;
}

// Counts still pending when the process ends are written as their summaries. Runs
// from exit(), or when the library is unloaded.
void FlushRepeatsAtExit() {
    std::vector<LogRecord> records;
    {
        Repeats& repeats = RepeatState();
        std::lock_guard guard(repeats.mutex);
        records = repeats.filter.Flush(Now());
    }
    const auto order = Deferred().WriteWaitingFirst();
    if (!records.empty())
        WriteRecords(records);
}

}  // namespace

std::string FormatIpColumn(std::string_view ipText) {
    if (ipText == "0")
        return "None           \t";
    std::string column(ipText);
    if (column.size() < 15)
        column.append(15 - column.size(), ' ');
    column.push_back('\t');
    return column;
}

LogLocation ErrorLogLocation() {
    return LogLocationOf(reinterpret_cast<const void*>(&ErrorLogLocation));
}

std::string ErrorLogPath() {
    return ErrorLogLocation().file();
}

bool WriteErrorLog(std::string_view message, std::string_view ipText) {
    try {
        // Applications read the last-error text after every failed call, so it
        // changes at every report, whether or not the log takes an entry.
        {
            std::lock_guard guard(gLastErrorMutex);
            LastErrorStorage().assign(message);
        }
        DeferredEntries& deferred = Deferred();
        std::vector<LogRecord> records;
        {
            Repeats& repeats = RepeatState();
            std::lock_guard guard(repeats.mutex);
            records = repeats.filter.Report(message, ipText, Now());
            if (!repeats.flushAtExit)
                repeats.flushAtExit = std::atexit(&FlushRepeatsAtExit) == 0;
        }
        if (records.empty())
            return true;  // counted against an entry that the log already has
        if (platform::ThreadMustNotBlock()) {
            // The notification thread never waits for the log's lock or the file:
            // every connection would wait with it.
            deferred.Queue(std::move(records));
            return true;
        }
        const auto order = deferred.WriteWaitingFirst();
        return WriteOrForget(records);
    } catch (...) {
        // Out of memory while composing the entry: the caller's own result stands.
        return false;
    }
}

void SetErrorLogClockForTesting(ErrorLogClock clock) {
    gClock.store(clock, std::memory_order_release);
}

void SetErrorLogLockNameForTesting(std::string_view name) {
    std::lock_guard guard(gLogLockOpenMutex);
    // The previous lock stays alive (and reachable): a report on another thread may
    // still be using it. The new one is opened by the next report.
    static auto* retired = new std::vector<platform::NamedLock*>;
    if (platform::NamedLock* old = gLogLock.exchange(nullptr, std::memory_order_acq_rel))
        retired->push_back(old);
    LogLockName().assign(name);
}

std::string_view FileDescriptorShortageText(int error) {
    switch (error) {
    case EMFILE:
        return "No file descriptor left (the limit of open files of the process is reached)";
    case ENFILE:
        return "No file descriptor left (the limit of open files of the system is reached)";
    default:
        return {};
    }
}

std::string LastErrorText() {
    std::lock_guard guard(gLastErrorMutex);
    return LastErrorStorage();
}

void CopyTextToCallerBuffer(std::string_view text, char* buffer, std::int32_t* length) {
    if (*length <= 0)
        return;
    if (text.size() <= static_cast<std::size_t>(*length))
        *length = static_cast<std::int32_t>(text.size());
    std::memcpy(buffer, text.data(), static_cast<std::size_t>(*length));
}

}  // namespace netpod
