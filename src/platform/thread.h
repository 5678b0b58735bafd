// A worker thread with cooperative suspension and a terminate request.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <pthread.h>

namespace netpod::platform {

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
// itself; it then parks at once.
//
// The destructor requests termination, resumes the thread and waits for the run
// routine to return. Callers that must wake the routine from a wait (by setting its
// events) do so before destroying the Thread.
class Thread {
public:
    using Routine = std::function<void(Thread&)>;

    Thread(Routine routine, bool createSuspended);
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    void suspend();
    void resume();
    bool isSuspended() const;

    void requestTerminate();
    bool terminateRequested() const;

    // Waits until the run routine has returned (idempotent).
    void join();

    // The platform::Thread running the calling code, or nullptr for other threads.
    static Thread* current();
    // Parks the calling thread while it is marked suspended (no-op on other threads).
    static void suspensionPoint();

    // While one of these exists on a platform::Thread, suspend() from another thread
    // waits for it to end. Entering it first parks the thread if it is suspended.
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
    static void* entry(void* self);
    void parkWhileSuspended(std::unique_lock<std::mutex>& lock);

    Routine routine_;
    mutable std::mutex mutex_;           // guards the fields below
    std::condition_variable cond_;
    bool suspended_;                     // written by suspend()/resume(), read by the thread
    bool terminate_ = false;             // written by requestTerminate(), read by the thread
    bool inNoSuspendSection_ = false;    // written by the thread, read by suspend()
    bool finished_ = false;              // set by the thread when the routine returned
    bool joined_ = false;
    pthread_t handle_{};
};

}  // namespace netpod::platform
