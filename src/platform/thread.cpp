#include "platform/thread.h"

#include "platform/event.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <system_error>

namespace netpod::platform {
namespace {

// Small enough that a process holds thousands of threads (two per connection), large
// enough for the send and log paths with room to spare.
constexpr std::size_t kStackSize = std::size_t{256} * 1024;

// The platform::Thread that runs on this OS thread; written once by entry().
thread_local Thread* currentThread = nullptr;

// Blocks every asynchronous signal of the calling thread while it lives, so that a
// thread created meanwhile inherits the blocked mask: the application's signals go to
// the application's threads.
class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        // Faults must stay deliverable; blocking them makes the kernel kill the process
        // without giving a handler a chance.
        for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT})
            sigdelset(&all, fault);
        pthread_sigmask(SIG_BLOCK, &all, &saved_);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t saved_{};
};

std::atomic<Thread::ExceptionReporter> gExceptionReporter{nullptr};
std::atomic<Thread::Creator> gCreator{&pthread_create};

void ReportException(std::string_view what) {
    if (const Thread::ExceptionReporter report = gExceptionReporter.load())
        report(what);
    else
        std::fprintf(stderr, "Unexpected exception in a worker thread: %.*s\n", static_cast<int>(what.size()),
                     what.data());
}

}  // namespace

void Thread::SetExceptionReporter(ExceptionReporter reporter) {
    gExceptionReporter.store(reporter);
}

void Thread::SetCreatorForTesting(Creator creator) {
    gCreator.store(creator != nullptr ? creator : &pthread_create);
}

int StartSystemThread(pthread_t* handle, void* (*routine)(void*), void* arg) {
    SignalsBlocked blocked;
    return gCreator.load()(handle, nullptr, routine, arg);
}

Thread::Thread(Routine routine, bool createSuspended) : routine_(std::move(routine)), suspended_(createSuspended) {
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0)
        throw std::system_error(rc, std::system_category(), "pthread_attr_init");
    pthread_attr_setstacksize(&attr, kStackSize);
    {
        SignalsBlocked blocked;
        rc = gCreator.load()(&handle_, &attr, &Thread::entry, this);
    }
    pthread_attr_destroy(&attr);
    if (rc != 0)
        throw std::system_error(rc, std::system_category(), "pthread_create");
}

Thread::~Thread() {
    requestTerminate();
    resume();
    join();
}

void* Thread::entry(void* self) {
    auto* thread = static_cast<Thread*>(self);
    currentThread = thread;
    bool run = false;
    {
        std::unique_lock lock(thread->mutex_);
        thread->parkWhileSuspended(lock);
        // A thread ended before its routine began has nothing to do; a routine that
        // begins with an unbounded wait could otherwise hold up the owner's destructor.
        run = !thread->terminate_.load();
    }
    if (run) {
        // An exception must not leave the thread (that would end the process); it is
        // recorded like any other failure of the library.
        try {
            thread->routine_(*thread);
        } catch (const std::exception& e) {
            ReportException(e.what());
        } catch (...) {
            ReportException("");
        }
    }
    {
        std::lock_guard lock(thread->mutex_);
        thread->finished_ = true;
        thread->cond_.notify_all();
    }
    // From here on the owner may be tearing the Thread down (it still waits for this
    // OS thread in pthread_join), so `thread` is not touched again.
    currentThread = nullptr;
    return nullptr;
}

void Thread::parkWhileSuspended(std::unique_lock<std::mutex>& lock) {
    if (suspended_.load() && !terminate_.load())
        parks_.fetch_add(1);
    cond_.wait(lock, [this] { return !suspended_.load() || terminate_.load(); });
}

void Thread::wakeLocked() {
    cond_.notify_all();
    // The thread may be blocked in an event wait, holding off the signal because it is
    // suspended. waitingIn_ stays valid while mutex_ is held: the thread clears it under
    // mutex_ before it leaves Event::wait. (Lock order: Thread::mutex_, then the
    // event's mutex; an event never takes a thread's mutex while holding its own.)
    if (waitingIn_ != nullptr)
        waitingIn_->wakeWaiters();
}

void Thread::suspend() {
    std::unique_lock lock(mutex_);
    suspended_ = true;
    if (currentThread == this) {
        // Suspending oneself parks at once, even inside a section: nobody else can
        // be waiting for this thread's section to end on its behalf.
        parkWhileSuspended(lock);
        return;
    }
    // Wait until the thread is outside every section; from then on it parks at the
    // entry of the next one. A resume() from a third thread, or the end of the
    // routine, also ends the wait.
    cond_.wait(lock, [this] { return sectionDepth_ == 0 || !suspended_.load() || finished_; });
}

void Thread::suspendSelfIf(const std::function<bool()>& condition) {
    std::unique_lock lock(mutex_);
    if (terminate_.load() || !condition())
        return;
    suspended_ = true;
    parkWhileSuspended(lock);
}

void Thread::resume() {
    std::lock_guard lock(mutex_);
    if (!suspended_.load())
        return;
    suspended_ = false;
    wakeLocked();
}

bool Thread::isSuspended() const {
    return suspended_.load();
}

void Thread::requestTerminate() {
    std::lock_guard lock(mutex_);
    if (terminate_.load())
        return;
    terminate_ = true;
    wakeLocked();
}

bool Thread::terminateRequested() const {
    return terminate_.load();
}

void Thread::join() {
    if (currentThread == this)
        return;
    {
        std::unique_lock lock(mutex_);
        cond_.wait(lock, [this] { return finished_; });
        if (joined_)
            return;
        joined_ = true;
    }
    // The routine has returned; this only waits for the OS thread to finish leaving
    // entry(), so that the Thread may be destroyed.
    pthread_join(handle_, nullptr);
}

Thread* Thread::current() {
    return currentThread;
}

void Thread::suspensionPoint() {
    Thread* const self = currentThread;
    if (self == nullptr || self->sectionDepth_ != 0)
        return;
    std::unique_lock lock(self->mutex_);
    self->parkWhileSuspended(lock);
}

void Thread::enterWait(Event* event) {
    std::lock_guard lock(mutex_);
    waitingIn_ = event;
}

void Thread::leaveWait() {
    std::unique_lock lock(mutex_);
    waitingIn_ = nullptr;
    parkWhileSuspended(lock);
}

Thread::NoSuspendSection::NoSuspendSection() : thread_(currentThread) {
    if (thread_ == nullptr)
        return;
    std::unique_lock lock(thread_->mutex_);
    if (thread_->sectionDepth_ == 0)
        thread_->parkWhileSuspended(lock);
    ++thread_->sectionDepth_;
}

Thread::NoSuspendSection::~NoSuspendSection() {
    if (thread_ == nullptr)
        return;
    std::lock_guard lock(thread_->mutex_);
    if (--thread_->sectionDepth_ == 0)
        thread_->cond_.notify_all();  // a suspend() may be waiting for this
}

}  // namespace netpod::platform
