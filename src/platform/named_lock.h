// A lock shared by every process of the machine under one name.
#pragma once

#include <chrono>
#include <string>

namespace netpod::platform {

enum class LockResult { Acquired, Abandoned, TimedOut, Failed };

// A cross-process mutex identified by a name. An owner that died while holding it
// leaves it "abandoned": the next acquirer gets it with LockResult::Abandoned and
// owns it (it must release it).
class NamedLock {
public:
    explicit NamedLock(const std::string& name);  // opens or creates; never throws
    ~NamedLock();
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;

    bool valid() const;  // false when the lock could not be created or opened
    LockResult acquire(std::chrono::milliseconds timeout);
    void release();

private:
    struct Shared;
    Shared* shared_ = nullptr;
};

}  // namespace netpod::platform
