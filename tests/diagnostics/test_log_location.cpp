// The folder of the error log: the rules with a writability check the test decides,
// then the built library and the netpod tool in the three situations (a writable
// library folder, a read-only one for an ordinary user, the variable).
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>

#include "diagnostics/log_location.h"

namespace netpod {
namespace {

namespace fs = std::filesystem;

std::function<bool(const std::string&)> WritableAre(std::set<std::string> paths) {
    return [paths = std::move(paths)](const std::string& path) { return paths.count(path) != 0; };
}

TEST(LogLocationRules, TheVariableChoosesTheFolderOutright) {
    LogEnvironment environment;
    environment.logFolder = "/srv/logs/netpod/";
    environment.home = "/home/ada";
    const LogLocation location = ChooseLogLocation("/usr/lib/x86_64-linux-gnu", true, environment, WritableAre({}));
    EXPECT_EQ(location.reason, LogFolderReason::Variable);
    EXPECT_EQ(location.file(), "/srv/logs/netpod/Error_Qorvi-NETPOD_DLLInterface.log");
    EXPECT_TRUE(location.createdOnFirstUse());
    EXPECT_NE(location.why().find("QORVI_NETPOD_LOG_DIR"), std::string::npos);
}

TEST(LogLocationRules, AWritableLibraryFolderKeepsTheLogBesideTheLibrary) {
    LogEnvironment environment;
    environment.home = "/home/ada";
    LogLocation location = ChooseLogLocation("/opt/netpod/lib", true, environment, WritableAre({"/opt/netpod/lib"}));
    EXPECT_EQ(location.reason, LogFolderReason::LibraryFolder);
    EXPECT_EQ(location.file(), "/opt/netpod/lib/Error_Qorvi-NETPOD_DLLInterface.log");
    EXPECT_FALSE(location.createdOnFirstUse());

    location = ChooseLogLocation("/opt/app/bin", false, environment, WritableAre({"/opt/app/bin"}));
    EXPECT_EQ(location.reason, LogFolderReason::ExecutableFolder);
    EXPECT_EQ(location.folder, "/opt/app/bin");

    // A read-only folder whose log file was left writable keeps its log.
    location = ChooseLogLocation("/usr/lib", true, environment,
                                 WritableAre({"/usr/lib/Error_Qorvi-NETPOD_DLLInterface.log"}));
    EXPECT_EQ(location.reason, LogFolderReason::LibraryLogFile);
    EXPECT_EQ(location.folder, "/usr/lib");
}

TEST(LogLocationRules, AReadOnlyLibraryFolderFallsBackToTheUserStateFolder) {
    LogEnvironment environment;
    environment.home = "/home/ada/";
    LogLocation location = ChooseLogLocation("/usr/lib/x86_64-linux-gnu", true, environment, WritableAre({}));
    EXPECT_EQ(location.reason, LogFolderReason::UserStateFolder);
    EXPECT_EQ(location.file(), "/home/ada/.local/state/qorvi-netpod/Error_Qorvi-NETPOD_DLLInterface.log");
    EXPECT_TRUE(location.createdOnFirstUse());
    EXPECT_NE(location.why().find("/usr/lib/x86_64-linux-gnu"), std::string::npos);

    environment.xdgStateHome = "/var/state/ada";
    location = ChooseLogLocation("/usr/lib", true, environment, WritableAre({}));
    EXPECT_EQ(location.folder, "/var/state/ada/qorvi-netpod");

    environment.xdgStateHome = "relative/state";   // not a valid base folder: ignored
    location = ChooseLogLocation("/usr/lib", true, environment, WritableAre({}));
    EXPECT_EQ(location.folder, "/home/ada/.local/state/qorvi-netpod");

    environment = LogEnvironment{};   // no home folder known at all
    location = ChooseLogLocation("/usr/lib", true, environment, WritableAre({}));
    EXPECT_EQ(location.reason, LogFolderReason::NoWritableFolder);
    EXPECT_EQ(location.folder, "/usr/lib");
    EXPECT_FALSE(location.createdOnFirstUse());
}

TEST(LogLocationRules, FoldersAreCreatedWithTheirParents) {
    char pattern[] = "/tmp/netpod-mkdir-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path root = pattern;
    EXPECT_TRUE(CreateLogFolder((root / "a/b/qorvi-netpod").string()));
    EXPECT_TRUE(fs::is_directory(root / "a/b/qorvi-netpod"));
    EXPECT_EQ(fs::status(root / "a/b/qorvi-netpod").permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_TRUE(CreateLogFolder((root / "a/b/qorvi-netpod").string()));   // already there
    std::ofstream(root / "file") << "x";
    EXPECT_FALSE(CreateLogFolder((root / "file/qorvi-netpod").string()));
    fs::remove_all(root);
}

// The built library and tool, each run in a child process that may drop root's
// rights: root writes into read-only folders, an ordinary user does not.
constexpr std::uint32_t kNobody = 65534;
constexpr int kCannotDropRights = 77;

class LogFolders : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/netpod-folders-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        fs::create_directories(root_ / "lib");
        fs::create_directories(root_ / "state");
        fs::copy_file(NETPOD_LIBRARY_PATH, root_ / "lib" / "libqorvi-netpod.so.2");
        // The user of the child must reach the library and create its state folder.
        fs::permissions(root_, fs::perms::all);
        fs::permissions(root_ / "state", fs::perms::all);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::permissions(root_ / "lib", fs::perms::owner_all, ignored);
        fs::remove_all(root_, ignored);
    }

    // Runs `body` in a child with the environment given (nullptr unsets), as an
    // ordinary user when asked; returns its exit status.
    static int InChild(const std::vector<std::pair<const char*, const char*>>& environment, bool ordinaryUser,
                       const std::function<int()>& body) {
        const pid_t child = ::fork();
        if (child == 0) {
            for (const auto& [name, value] : environment) {
                if (value != nullptr)
                    ::setenv(name, value, 1);
                else
                    ::unsetenv(name);
            }
            if (ordinaryUser && ::geteuid() == 0 &&
                (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
                _exit(kCannotDropRights);
            _exit(body());
        }
        int status = 0;
        if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
            return -1;
        return WEXITSTATUS(status);
    }

    // A failure the library reports (a null buffer), from its copy in lib/.
    int ReportThroughTheLibrary() const {
        void* handle = ::dlopen((root_ / "lib" / "libqorvi-netpod.so.2").c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr)
            return 10;
        using TextExport = void (*)(char*, std::int32_t*);
        auto version = reinterpret_cast<TextExport>(::dlsym(handle, "Qorvi_NETPOD_VersionDLL"));
        if (version == nullptr)
            return 11;
        std::int32_t count = 0;
        version(nullptr, &count);
        return 0;
    }

    static bool HoldsTheEntry(const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream all;
        all << in.rdbuf();
        // The same header and entry wherever the file lies.
        const std::string text = all.str();
        const std::string header =
            "Error Log File for the \"Qorvi-NETPOD_DLLInterface.dll\"\t\tQorvi-NETPOD host library - diagnostics of "
            "every process that loads it\r\n\r\nDate\t\tHour\t\tIP Address\tError description\r\n\r\n";
        const std::string entry =
            "\tNone           \tPointer on buffer to get Version = NULL\t(Qorvi_NETPOD_VersionDLL)\r\n\r\n";
        if (!text.starts_with(header) || !text.ends_with(entry))
            return false;
        // Between them: the date, a tab and the time, nothing else.
        const std::string stamp = text.substr(header.size(), text.size() - header.size() - entry.size());
        return std::count(stamp.begin(), stamp.end(), '\t') == 1 && stamp.find('\r') == std::string::npos &&
               stamp.find('\n') == std::string::npos && stamp.front() != '\t' && stamp.back() != '\t';
    }

    // `netpod log` in a child (the tool at `tool`), its standard output.
    static std::string ToolLog(const std::vector<std::pair<const char*, const char*>>& environment,
                               bool ordinaryUser, int* status, const std::string& tool = NETPOD_TOOL_PATH) {
        char pattern[] = "/tmp/netpod-tool-out-XXXXXX";
        const int out = ::mkstemp(pattern);
        ::fchmod(out, 0666);
        *status = InChild(environment, ordinaryUser, [&] {
            ::dup2(out, STDOUT_FILENO);
            ::execl(tool.c_str(), tool.c_str(), "log", "--lines", "1", static_cast<char*>(nullptr));
            return 127;
        });
        ::close(out);
        std::ifstream in(pattern);
        std::ostringstream all;
        all << in.rdbuf();
        ::unlink(pattern);
        return all.str();
    }

    fs::path root_;
    static constexpr const char* kLogFile = "Error_Qorvi-NETPOD_DLLInterface.log";
};

TEST_F(LogFolders, AWritableLibraryFolderHoldsTheLog) {
    const std::string state = (root_ / "state").string();
    ASSERT_EQ(InChild({{"QORVI_NETPOD_LOG_DIR", nullptr}, {"XDG_STATE_HOME", state.c_str()}}, false,
                      [&] { return ReportThroughTheLibrary(); }),
              0);
    EXPECT_TRUE(HoldsTheEntry(root_ / "lib" / kLogFile));
    EXPECT_FALSE(fs::exists(root_ / "state" / "qorvi-netpod"));

    int status = 0;
    const std::string out = ToolLog({{"QORVI_NETPOD_LOG_DIR", nullptr}}, false, &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("why: the folder of the library file, which this user may write\n"), std::string::npos) << out;
}

TEST_F(LogFolders, AReadOnlyLibraryFolderSendsAnOrdinaryUserToTheStateFolder) {
    fs::permissions(root_ / "lib", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                       fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    const std::string state = (root_ / "state").string();
    const int status = InChild({{"QORVI_NETPOD_LOG_DIR", nullptr}, {"XDG_STATE_HOME", state.c_str()}}, true,
                               [&] { return ReportThroughTheLibrary(); });
    if (status == kCannotDropRights)
        GTEST_SKIP() << "cannot run a child as an ordinary user (no right to change user ids)";
    ASSERT_EQ(status, 0);
    EXPECT_FALSE(fs::exists(root_ / "lib" / kLogFile));
    EXPECT_TRUE(HoldsTheEntry(root_ / "state" / "qorvi-netpod" / kLogFile));
    EXPECT_EQ(fs::status(root_ / "state" / "qorvi-netpod").permissions() & fs::perms::all, fs::perms::owner_all);

    // The tool as the same user, on a library in a folder that user may not write,
    // with HOME as the only hint. A copy of the tool and the library above, since
    // the build tree may lie in a folder that only its owner can enter.
    if (::geteuid() != 0)
        GTEST_SKIP() << "the tool's own library folder is writable for the user who built it";
    fs::create_directories(root_ / "bin");
    fs::copy_file(NETPOD_TOOL_PATH, root_ / "bin" / "netpod");
    fs::permissions(root_ / "bin", fs::perms::all);
    const std::string libraryFolder = (root_ / "lib").string();
    int toolStatus = 0;
    const std::string home = (root_ / "state").string();
    const std::string out = ToolLog({{"QORVI_NETPOD_LOG_DIR", nullptr},
                                     {"XDG_STATE_HOME", nullptr},
                                     {"HOME", home.c_str()},
                                     {"LD_LIBRARY_PATH", libraryFolder.c_str()}},
                                    true, &toolStatus, (root_ / "bin" / "netpod").string());
    EXPECT_EQ(toolStatus, 0);
    EXPECT_NE(out.find("error log: " + home + "/.local/state/qorvi-netpod/" + kLogFile + "\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("so the user's state folder"), std::string::npos) << out;
}

TEST_F(LogFolders, TheVariableNamesTheFolderWhichIsCreated) {
    const std::string chosen = (root_ / "chosen" / "logs").string();
    const std::string state = (root_ / "state").string();
    ASSERT_EQ(InChild({{"QORVI_NETPOD_LOG_DIR", chosen.c_str()}, {"XDG_STATE_HOME", state.c_str()}}, false,
                      [&] { return ReportThroughTheLibrary(); }),
              0);
    EXPECT_TRUE(HoldsTheEntry(fs::path(chosen) / kLogFile));
    EXPECT_FALSE(fs::exists(root_ / "lib" / kLogFile));

    int status = 0;
    const std::string out = ToolLog({{"QORVI_NETPOD_LOG_DIR", chosen.c_str()}}, false, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out.substr(0, out.find('\n', out.find('\n') + 1) + 1),
              "error log: " + chosen + "/" + kLogFile + "\nwhy: the folder named by QORVI_NETPOD_LOG_DIR\n");
}

}  // namespace
}  // namespace netpod
