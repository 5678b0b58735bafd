#include "platform/thread.h"

#include <atomic>
#include <csignal>
#include <cstdio>

namespace netpod::platform {
namespace {

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

thread_local bool tMustNotBlock = false;
std::atomic<ExceptionReporter> gExceptionReporter{nullptr};
std::atomic<ThreadCreator> gCreator{&pthread_create};

}  // namespace

int StartSystemThread(pthread_t* handle, void* (*routine)(void*), void* arg) {
    SignalsBlocked blocked;
    return gCreator.load()(handle, nullptr, routine, arg);
}

void MarkThreadThatMustNotBlock() {
    tMustNotBlock = true;
}

bool ThreadMustNotBlock() {
    return tMustNotBlock;
}

void SetThreadCreatorForTesting(ThreadCreator creator) {
    gCreator.store(creator != nullptr ? creator : &pthread_create);
}

void SetExceptionReporter(ExceptionReporter reporter) {
    gExceptionReporter.store(reporter);
}

void ReportException(std::string_view what) {
    if (const ExceptionReporter report = gExceptionReporter.load())
        report(what);
    else
        std::fprintf(stderr, "Unexpected exception in the notification thread: %.*s\n", static_cast<int>(what.size()),
                     what.data());
}

}  // namespace netpod::platform
