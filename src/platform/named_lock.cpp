#include "platform/named_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <thread>

namespace netpod::platform {
namespace {

enum : std::uint32_t { kUninitialised = 0, kInitialising = 1, kReady = 2 };

// The block every process maps. A robust mutex: when its owner dies, the next
// locker learns it (EOWNERDEAD), which is the "abandoned" state of the lock.
struct SharedBlock {
    std::atomic<std::uint32_t> state;
    pthread_mutex_t mutex;
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

}  // namespace

struct NamedLock::Shared {
    SharedBlock* block = nullptr;
};

NamedLock::NamedLock(const std::string& name) {
    const std::string shmName = "/" + name;
    const int fd = ::shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return;
    ::fchmod(fd, 0666);  // shared by every user's processes, whatever the umask
    struct stat st {};
    if (::fstat(fd, &st) != 0 ||
        (st.st_size < static_cast<off_t>(sizeof(SharedBlock)) && ::ftruncate(fd, sizeof(SharedBlock)) != 0)) {
        ::close(fd);
        return;
    }
    void* map = ::mmap(nullptr, sizeof(SharedBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED)
        return;
    auto* block = static_cast<SharedBlock*>(map);

    // The first process to arrive initialises the mutex; the others wait for it.
    std::uint32_t expected = kUninitialised;
    if (block->state.compare_exchange_strong(expected, kInitialising)) {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        const int rc = pthread_mutex_init(&block->mutex, &attr);
        pthread_mutexattr_destroy(&attr);
        if (rc != 0) {
            block->state.store(kUninitialised);
            ::munmap(map, sizeof(SharedBlock));
            return;
        }
        block->state.store(kReady);
    } else {
        for (int i = 0; i < 1000 && block->state.load() != kReady; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (block->state.load() != kReady) {
            ::munmap(map, sizeof(SharedBlock));
            return;
        }
    }
    shared_ = new Shared{block};
}

NamedLock::~NamedLock() {
    if (shared_ != nullptr) {
        ::munmap(shared_->block, sizeof(SharedBlock));
        delete shared_;
    }
}

bool NamedLock::valid() const {
    return shared_ != nullptr;
}

LockResult NamedLock::acquire(std::chrono::milliseconds timeout) {
    if (shared_ == nullptr)
        return LockResult::Failed;
    // Polled with trylock against steady_clock rather than a timed lock: the wait
    // stays immune to wall-clock steps, and every tool that follows pthread mutexes
    // (the thread sanitizer among them) understands trylock. The lock is held only
    // for one log entry, so the poll rarely runs more than once.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto pause = std::chrono::microseconds(20);
    for (;;) {
        const int rc = pthread_mutex_trylock(&shared_->block->mutex);
        switch (rc) {
        case 0:
            return LockResult::Acquired;
        case EOWNERDEAD:
            // We own it now; mark it usable again for everyone after us.
            pthread_mutex_consistent(&shared_->block->mutex);
            return LockResult::Abandoned;
        case EBUSY:
            break;
        default:
            return LockResult::Failed;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return LockResult::TimedOut;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(1000));
    }
}

void NamedLock::release() {
    if (shared_ != nullptr)
        pthread_mutex_unlock(&shared_->block->mutex);
}

}  // namespace netpod::platform
