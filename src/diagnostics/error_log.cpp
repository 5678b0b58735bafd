#include "diagnostics/error_log.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/named_lock.h"
#include "platform/thread.h"

namespace netpod {
namespace {

// An exception that escaped a worker thread is recorded like any other failure.
void ReportWorkerException(std::string_view what) {
    std::string message = "Unexpected exception in a worker thread";
    if (!what.empty())
        message.append(": ").append(what);
    message.append("\t(platform::Thread)");
    WriteErrorLog(message, "0");   // the IP text of no particular address
}

// Installed when the library is loaded, before any worker thread exists.
[[maybe_unused]] const bool kWorkerExceptionsReported = [] {
    platform::Thread::SetExceptionReporter(&ReportWorkerException);
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
    static std::string* text = new std::string("No Error");   // lives as long as the process
    return *text;
}

// Opened at the first report and kept for the life of the process (a test may
// swap it before reporting anything concurrently).
std::atomic<platform::NamedLock*> gLogLock{nullptr};
std::mutex gLogLockOpenMutex;
platform::NamedLock* LogLock() {
    platform::NamedLock* lock = gLogLock.load(std::memory_order_acquire);
    if (lock == nullptr) {
        std::lock_guard guard(gLogLockOpenMutex);
        lock = gLogLock.load(std::memory_order_acquire);
        if (lock == nullptr) {
            lock = new platform::NamedLock(std::string(kLogLockName));
            gLogLock.store(lock, std::memory_order_release);
        }
    }
    return lock;
}

void ShowMessageBox(std::string_view text) {
    // One whole line in one write, so that concurrent reports do not mix.
    std::string line;
    line.append(kMessageBoxCaption).append(": ").append(text).append("\n");
    [[maybe_unused]] auto written = ::write(STDERR_FILENO, line.data(), line.size());
}

std::string Directory(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
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

// Appends one entry, writing the header first when this call creates the file.
bool AppendEntry(const std::string& path, std::string_view ipText, std::string_view message) {
    bool created = true;
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    }
    if (fd < 0)
        return false;
    std::string entry;
    entry.append(FormatNow("%x")).append("\t");
    entry.append(FormatNow("%X")).append("\t");   // a second clock read, as the format prescribes
    entry.append(FormatIpColumn(ipText));
    entry.append(message).append("\r\n\r\n");
    bool ok = true;
    if (created)
        ok = WriteAll(fd, kHeader);
    // The entry goes out in one write so that a reader never sees half of it.
    ok = ok && WriteAll(fd, entry);
    ok = (::close(fd) == 0) && ok;
    return ok;
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

std::string ErrorLogPath() {
    Dl_info info{};
    std::string file;
    if (::dladdr(reinterpret_cast<void*>(&ErrorLogPath), &info) != 0 && info.dli_fname != nullptr &&
        info.dli_fname[0] == '/')
        file = info.dli_fname;
    if (file.empty()) {
        char exe[4096];
        const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n <= 0)
            return {};
        file.assign(exe, static_cast<std::size_t>(n));
    }
    return Directory(file) + "/" + std::string(kLogFileName);
}

bool WriteErrorLog(std::string_view message, std::string_view ipText) {
    try {
        platform::NamedLock* lock = LogLock();
        if (!lock->valid()) {
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
        // From here the lock is released on every path.
        struct Release {
            platform::NamedLock* lock;
            ~Release() { lock->release(); }
        } release{lock};
        {
            std::lock_guard guard(gLastErrorMutex);
            LastErrorStorage().assign(message);
        }
        const std::string path = ErrorLogPath();
        if (path.empty()) {
            ShowMessageBox("Unable to get entire module path of the DLL");
            return false;
        }
        if (!AppendEntry(path, ipText, message)) {
            std::string why = "Unable to write the Error log file ";
            why.append(path).append(": ").append(std::strerror(errno));
            ShowMessageBox(why);
            return false;
        }
        return true;
    } catch (...) {
        // Out of memory while composing the entry: the caller's own result stands.
        return false;
    }
}

void SetErrorLogLockNameForTesting(std::string_view name) {
    std::lock_guard guard(gLogLockOpenMutex);
    // The previous lock stays alive (and reachable): a report on another thread may
    // still be using it.
    static auto* retired = new std::vector<platform::NamedLock*>;
    if (platform::NamedLock* old = gLogLock.load(std::memory_order_acquire))
        retired->push_back(old);
    gLogLock.store(new platform::NamedLock(std::string(name)), std::memory_order_release);
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
