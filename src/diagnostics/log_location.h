// Which folder the error log goes to, and why. The library writes there, and the
// netpod tool applies the same rules to say where the log is: this unit therefore
// uses nothing but the standard library and the system.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace netpod {

inline constexpr std::string_view kLogFileName = "Error_Qorvi-NETPOD_DLLInterface.log";
// Names the log folder outright when set and not empty.
inline constexpr std::string_view kLogFolderVariable = "QORVI_NETPOD_LOG_DIR";

enum class LogFolderReason {
    Variable,          // named by QORVI_NETPOD_LOG_DIR
    LibraryFolder,     // the library file's folder, which this user may write
    LibraryLogFile,    // that folder is read-only, but the log file in it is writable
    ExecutableFolder,  // no library file found: the executable's folder, writable
    UserStateFolder,   // the library's folder is read-only: the user's state folder
    NoWritableFolder,  // read-only, and the user has no home folder: entries go to stderr
};

struct LogLocation {
    std::string folder;
    LogFolderReason reason = LogFolderReason::LibraryFolder;
    std::string libraryFolder;  // the folder of the library file (or executable) itself

    std::string file() const;  // the folder and the log's file name
    std::string why() const;   // the reason, as a sentence for people
    // Whether the folder is ours to create when it does not exist yet.
    bool createdOnFirstUse() const {
        return reason == LogFolderReason::Variable || reason == LogFolderReason::UserStateFolder;
    }
};

// What the rules read from the process's environment.
struct LogEnvironment {
    std::string logFolder;     // QORVI_NETPOD_LOG_DIR
    std::string xdgStateHome;  // XDG_STATE_HOME
    std::string home;          // HOME, else the home folder of the user database

    static LogEnvironment OfProcess();
};

// The rules. `libraryFolder` is the folder of the library file, or of the executable
// when `libraryFound` is false; `isWritable` says whether this user may create or
// write files at a path (a folder or a file).
LogLocation ChooseLogLocation(const std::string& libraryFolder, bool libraryFound, const LogEnvironment& environment,
                              const std::function<bool(const std::string&)>& isWritable);

// The rules applied to the file that holds `address` (a function of the library),
// the process's environment and this user's access rights. An empty folder when
// neither the library file nor the executable can be found.
LogLocation LogLocationOf(const void* address);

// Creates `folder` and its missing parents, the new ones readable by this user
// only; true when the folder exists afterwards.
bool CreateLogFolder(const std::string& folder);

}  // namespace netpod
