// The library's thread: created through the replaceable creator, with the
// application's signals blocked.
#include "platform/thread.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>

namespace netpod::platform {
namespace {

struct SignalsSeen {
    bool interruptBlocked = false;
    bool faultBlocked = true;
};

void* RecordMask(void* out) {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    auto* seen = static_cast<SignalsSeen*>(out);
    seen->interruptBlocked = sigismember(&mask, SIGINT) == 1;
    seen->faultBlocked = sigismember(&mask, SIGSEGV) == 1;
    return nullptr;
}

int gCreations = 0;
int RefuseCreation(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) {
    ++gCreations;
    return EAGAIN;
}

// The application's signals are left to its own threads, faults are not blocked,
// and the creating thread's mask is as it was.
TEST(SystemThread, BlocksTheApplicationsSignalsButNotFaults) {
    SignalsSeen seen;
    pthread_t thread;
    ASSERT_EQ(StartSystemThread(&thread, &RecordMask, &seen), 0);
    pthread_join(thread, nullptr);
    EXPECT_TRUE(seen.interruptBlocked);
    EXPECT_FALSE(seen.faultBlocked);
    sigset_t mine;
    pthread_sigmask(SIG_BLOCK, nullptr, &mine);
    EXPECT_EQ(sigismember(&mine, SIGINT), 0);
}

// A refused creation is reported as the creator's error, and resetting the creator
// brings pthread_create back.
TEST(SystemThread, CreationGoesThroughTheCreatorATestInstalls) {
    SetThreadCreatorForTesting(&RefuseCreation);
    SignalsSeen seen;
    pthread_t thread;
    EXPECT_EQ(StartSystemThread(&thread, &RecordMask, &seen), EAGAIN);
    EXPECT_EQ(gCreations, 1);
    SetThreadCreatorForTesting(nullptr);
    ASSERT_EQ(StartSystemThread(&thread, &RecordMask, &seen), 0);
    pthread_join(thread, nullptr);
    EXPECT_EQ(gCreations, 1);
}

}  // namespace
}  // namespace netpod::platform
