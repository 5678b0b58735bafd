#include "diagnostics/log_location.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace netpod {
namespace {

std::string Environment(const char* name) {
    // The library reads the environment and never changes it.
    const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
    return value != nullptr ? std::string(value) : std::string();
}

std::string HomeOfUser() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        found->pw_dir == nullptr)
        return {};
    return found->pw_dir;
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string FolderOf(const std::string& file) {
    const auto slash = file.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return file.substr(0, slash);
}

std::string Resolved(const std::string& path) {
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
        std::string result = resolved;
        std::free(resolved);
        return result;
    }
    return path;
}

// Whether this user (its effective ids, as for the open that follows) may create
// files in a folder, or write a file.
bool MayWrite(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    const int wanted = S_ISDIR(st.st_mode) ? (W_OK | X_OK) : W_OK;
    return ::faccessat(AT_FDCWD, path.c_str(), wanted, AT_EACCESS) == 0;
}

}  // namespace

std::string LogLocation::file() const {
    if (folder.empty())
        return {};
    std::string path = folder;
    if (path.back() != '/')
        path.push_back('/');
    return path.append(kLogFileName);
}

std::string LogLocation::why() const {
    switch (reason) {
    case LogFolderReason::Variable:
        return "the folder named by " + std::string(kLogFolderVariable);
    case LogFolderReason::LibraryFolder:
        return "the folder of the library file, which this user may write";
    case LogFolderReason::LibraryLogFile:
        return "the folder of the library file, which is read-only, but the log file in it is writable";
    case LogFolderReason::ExecutableFolder:
        return "the folder of the program, which this user may write (the library file was not found)";
    case LogFolderReason::UserStateFolder:
        return "this user may not write the library's folder " + libraryFolder + ", so the user's state folder";
    case LogFolderReason::NoWritableFolder:
        return "this user may not write the library's folder and has no home folder: entries go to standard error";
    }
    return {};
}

LogEnvironment LogEnvironment::OfProcess() {
    LogEnvironment environment;
    environment.logFolder = Environment(std::string(kLogFolderVariable).c_str());
    environment.xdgStateHome = Environment("XDG_STATE_HOME");
    environment.home = Environment("HOME");
    if (environment.home.empty())
        environment.home = HomeOfUser();
    return environment;
}

LogLocation ChooseLogLocation(const std::string& libraryFolder, bool libraryFound, const LogEnvironment& environment,
                              const std::function<bool(const std::string&)>& isWritable) {
    LogLocation location;
    location.libraryFolder = libraryFolder;
    if (!environment.logFolder.empty()) {
        location.folder = WithoutTrailingSlashes(environment.logFolder);
        location.reason = LogFolderReason::Variable;
        return location;
    }
    location.folder = libraryFolder;
    if (libraryFolder.empty())
        return location;
    if (isWritable(libraryFolder)) {
        location.reason = libraryFound ? LogFolderReason::LibraryFolder : LogFolderReason::ExecutableFolder;
        return location;
    }
    // A log file that an administrator left writable keeps the entries where they
    // have always been.
    if (isWritable(location.file())) {
        location.reason = LogFolderReason::LibraryLogFile;
        return location;
    }
    // The state folder of the XDG base directories; a relative XDG_STATE_HOME is
    // invalid there and is ignored.
    std::string state;
    if (!environment.xdgStateHome.empty() && environment.xdgStateHome.front() == '/')
        state = WithoutTrailingSlashes(environment.xdgStateHome);
    else if (!environment.home.empty())
        state = WithoutTrailingSlashes(environment.home) + "/.local/state";
    if (state.empty()) {
        location.reason = LogFolderReason::NoWritableFolder;
        return location;
    }
    location.folder = (state == "/" ? "" : state) + "/qorvi-netpod";
    location.reason = LogFolderReason::UserStateFolder;
    return location;
}

LogLocation LogLocationOf(const void* address) {
    std::string file;
    bool libraryFound = false;
    Dl_info info{};
    link_map* map = nullptr;
    // The main program's link map has an empty name (dladdr would give argv[0]);
    // its file is found through /proc below.
    if (::dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) != 0 && map != nullptr &&
        map->l_name != nullptr && map->l_name[0] != '\0') {
        // The loader may name the file through a relative path ("bin/../lib").
        file = Resolved(map->l_name);
        libraryFound = true;
    } else {
        char exe[4096];
        const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n > 0)
            file.assign(exe, static_cast<std::size_t>(n));
    }
    const std::string folder = file.empty() ? std::string() : FolderOf(file);
    return ChooseLogLocation(folder, libraryFound, LogEnvironment::OfProcess(), &MayWrite);
}

bool CreateLogFolder(const std::string& folder) {
    struct stat st {};
    if (folder.empty())
        return false;
    if (::stat(folder.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    const std::string parent = FolderOf(folder);
    if (parent != folder && !CreateLogFolder(parent))
        return false;
    return ::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace netpod
