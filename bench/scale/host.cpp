#include "host.h"

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace scalebench {
namespace {

bool WriteFile(const char* path, const std::string& text) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

bool BringLoopbackUp(std::string* error) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (ok) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        ok = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    if (!ok)
        *error = std::string("bringing loopback up: ") + std::strerror(errno);
    close(fd);
    return ok;
}

std::vector<pid_t> ThreadIds() {
    std::vector<pid_t> ids;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr)
        return ids;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ids.push_back(static_cast<pid_t>(std::atoi(entry->d_name)));
    }
    closedir(dir);
    return ids;
}

}  // namespace

NetworkPlace EnterPrivateNetwork() {
    NetworkPlace place;
    std::string error;
    if (unshare(CLONE_NEWNET) == 0) {
        place.isolated = BringLoopbackUp(&error);
        place.note = place.isolated ? "private network namespace (loopback only)" : error;
        return place;
    }
    const int netError = errno;
    // Without the privilege, a user namespace of our own grants it where the system
    // allows unprivileged ones. Our user and group map to root inside it, so that
    // files (the library's error log) are still written as ourselves.
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0) {
        const bool mapped = WriteFile("/proc/self/setgroups", "deny") &&
                            WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
                            WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
        place.isolated = mapped && BringLoopbackUp(&error);
        place.note = place.isolated ? "private user and network namespace (loopback only)"
                                    : (mapped ? error : "user namespace without an identity map");
        return place;
    }
    place.note = std::string("no private network namespace could be made (") + std::strerror(netError) + ")";
    return place;
}

std::size_t RaiseDescriptorLimit(std::size_t wanted) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur = limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= wanted ? wanted : limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    return static_cast<std::size_t>(limit.rlim_cur);
}

std::int64_t ProcessCpuNanoseconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

std::int64_t OtherProcessCpuNanoseconds(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    std::FILE* f = std::fopen(path.c_str(), "re");
    if (f == nullptr)
        return -1;
    char line[1024];
    const bool read = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    // The command name (field 2) may hold spaces; the fields after it start behind
    // its closing parenthesis. utime and stime are fields 14 and 15.
    const char* rest = read ? std::strrchr(line, ')') : nullptr;
    unsigned long long user = 0;
    unsigned long long system = 0;
    if (rest == nullptr ||
        std::sscanf(rest + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user, &system) != 2)
        return -1;
    return static_cast<std::int64_t>((user + system) *
                                     (1'000'000'000ULL / static_cast<unsigned long long>(sysconf(_SC_CLK_TCK))));
}

std::int64_t NowNanoseconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

std::int64_t ResidentBytes() {
    std::FILE* f = std::fopen("/proc/self/statm", "re");
    if (f == nullptr)
        return 0;
    long size = 0;
    long resident = 0;
    const int read = std::fscanf(f, "%ld %ld", &size, &resident);
    std::fclose(f);
    return read == 2 ? std::int64_t{resident} * sysconf(_SC_PAGESIZE) : 0;
}

ProcessPinning::ProcessPinning() {
    cpu_ = sched_getcpu();
    if (cpu_ < 0 || sched_getaffinity(0, sizeof before_, &before_) != 0)
        return;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu_, &one);
    pinned_ = true;
    for (const pid_t tid : ThreadIds())
        pinned_ = sched_setaffinity(tid, sizeof one, &one) == 0 && pinned_;
}

ProcessPinning::~ProcessPinning() {
    if (cpu_ < 0)
        return;
    for (const pid_t tid : ThreadIds())
        sched_setaffinity(tid, sizeof before_, &before_);
}

}  // namespace scalebench
