// What the benchmark asks of the system: a private network, descriptors, CPU time,
// resident memory and the placement of threads on cores.
#pragma once

#include <sched.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace scalebench {

struct NetworkPlace {
    bool isolated = false;  // in a private network namespace of our own
    std::string note;       // how, or why not
};

// Moves this process into a new network namespace that holds only loopback, and
// brings loopback up; with no privilege for that, tries a user namespace too. Must
// run before any thread is started. The namespace ends with the last process in it.
NetworkPlace EnterPrivateNetwork();

// Raises the soft limit on open descriptors towards `wanted` (at most the hard
// limit); returns the limit now in force.
std::size_t RaiseDescriptorLimit(std::size_t wanted);

// CPU time of the whole process (every thread), in nanoseconds.
std::int64_t ProcessCpuNanoseconds();

// CPU time (user and system) of another process of ours, in nanoseconds; -1 when it
// cannot be read.
std::int64_t OtherProcessCpuNanoseconds(pid_t pid);

// Resident set size of the process, in bytes.
std::int64_t ResidentBytes();

// Monotonic time in nanoseconds.
std::int64_t NowNanoseconds();

// Puts every thread of the process on one CPU, and gives every thread the placement
// the process had back at the end. Threads started while pinned inherit the CPU of
// their creator.
class ProcessPinning {
public:
    // Pins to the CPU the calling thread runs on. pinned() says whether it worked.
    ProcessPinning();
    ~ProcessPinning();
    ProcessPinning(const ProcessPinning&) = delete;
    ProcessPinning& operator=(const ProcessPinning&) = delete;

    bool pinned() const { return pinned_; }
    int cpu() const { return cpu_; }

private:
    cpu_set_t before_{};
    int cpu_ = -1;
    bool pinned_ = false;
};

}  // namespace scalebench
