// A worker thread with cooperative suspension and a terminate request.
#pragma once

#include <pthread.h>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include <string_view>

namespace netpod::platform {

class Event;

// Starts routine(arg) on a plain OS thread (joinable, the system's default stack,
// every asynchronous signal blocked), created the way Thread creates its own, so
// that a test can refuse it too. Returns 0 or pthread_create's error.
int StartSystemThread(pthread_t* handle, void* (*routine)(void*), void* arg);

// A thread whose run routine receives the Thread itself, so that it can poll
// terminateRequested(). It can be created suspended (the run routine does not start
// until resume()).
//
// Suspension is cooperative: suspend() marks the thread suspended at once (so
// isSuspended() is true immediately), and the thread parks at its next suspension
// point: every Event wait, Thread::suspensionPoint(), and the entry of a
// NoSuspendSection. suspend() called from another thread waits until the thread is
// outside any NoSuspendSection, so once suspend() has returned the thread does not
// enter such a section (and so does not send) until resume(). A thread may suspend
// itself; it then parks at once. Inside a NoSuspendSection nothing parks (another
// thread may be waiting in suspend() for the section to end), so waits inside a
// section must be bounded.
//
// A terminate request lets a parked thread go (it does not park again), so that the
// owner can always end it.
//
// The destructor requests termination, resumes the thread and waits for the run
// routine to return. Callers that must wake the routine from a wait (by setting its
// events) do so before destroying the Thread. A thread whose termination was
// requested before its routine started (always the case for one created suspended
// and destroyed without ever being resumed) does not run its routine at all.
class Thread {
public:
    using Routine = std::function<void(Thread&)>;

    // The thread has a 256 KiB stack, so that a process can hold thousands of them,
    // and blocks every asynchronous signal, which belong to the application's own
    // threads. Throws std::system_error when the system refuses a new thread.
    Thread(Routine routine, bool createSuspended);
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    void suspend();
    // Called by the thread itself: suspends it when `condition` holds, judged under
    // the same lock as resume(), so that a resume() racing with the decision is
    // never lost (the condition is typically a flag that the resumer clears first).
    void suspendSelfIf(const std::function<bool()>& condition);
    void resume();
    bool isSuspended() const;
    // How many times the thread has parked so far. A routine compares two readings
    // to learn that it was suspended in between (to drop work it had begun).
    std::uint64_t parkCount() const { return parks_.load(); }

    void requestTerminate();
    bool terminateRequested() const;

    // Waits until the run routine has returned (idempotent; returns at once when
    // called by the thread itself).
    void join();

    // The platform::Thread running the calling code, or nullptr for other threads.
    static Thread* current();
    // Parks the calling thread while it is marked suspended (no-op on other threads).
    static void suspensionPoint();

    // Where an exception that escaped a run routine is reported (the thread itself
    // goes on to end normally). Set once by the layer that owns the error log; until
    // then such an exception is written to standard error.
    using ExceptionReporter = void (*)(std::string_view what);
    static void SetExceptionReporter(ExceptionReporter reporter);

    // Tests only: how the OS thread is created (pthread_create by default), so that
    // a test can refuse the n-th creation. Not for concurrent use with new threads.
    using Creator = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static void SetCreatorForTesting(Creator creator);

    // While one of these exists on a platform::Thread, suspend() from another thread
    // waits for it to end. Entering it first parks the thread if it is suspended.
    // Sections may nest.
    class NoSuspendSection {
    public:
        NoSuspendSection();
        ~NoSuspendSection();
        NoSuspendSection(const NoSuspendSection&) = delete;
        NoSuspendSection& operator=(const NoSuspendSection&) = delete;

    private:
        Thread* thread_;
    };

private:
    friend class Event;

    static void* entry(void* self);
    void parkWhileSuspended(std::unique_lock<std::mutex>& lock);
    // Wakes whatever the thread blocks in (its park, or the event it waits in) after
    // suspended_ or terminate_ changed. Called with mutex_ held.
    void wakeLocked();

    // For Event waits on this thread (called by the thread itself only).
    bool waitsMayPark() const { return sectionDepth_ == 0; }
    bool holdsOff() const { return suspended_.load() && !terminate_.load(); }
    void enterWait(Event* event);
    void leaveWait();  // clears the wait and parks while suspended

    Routine routine_;
    mutable std::mutex mutex_;      // guards the fields below (atomics: writes only)
    std::condition_variable cond_;  // park, section end and routine end
    // Written by suspend()/resume() under mutex_; read by the thread, also without the
    // lock while it decides in an Event wait whether it may take the signal.
    std::atomic<bool> suspended_;
    // Written by requestTerminate() under mutex_; read by anyone.
    std::atomic<bool> terminate_{false};
    std::atomic<std::uint64_t> parks_{0};  // written by the thread when it parks
    int sectionDepth_ = 0;                 // written by the thread, read by suspend()
    Event* waitingIn_ = nullptr;           // written by the thread, read by resume()/requestTerminate()
    bool finished_ = false;                // set by the thread when the routine returned
    bool joined_ = false;                  // written by join()
    pthread_t handle_{};                   // written by the constructor only
};

}  // namespace netpod::platform
