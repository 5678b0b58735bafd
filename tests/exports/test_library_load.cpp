// The library as an application meets it: loaded from its file, called through the
// C interface only.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using TextExport = void (*)(char*, std::int32_t*);

constexpr const char* kLogName = "Error_Qorvi-NETPOD_DLLInterface.log";
constexpr const char* kHeaderLines =
    "Error Log File for the \"Qorvi-NETPOD_DLLInterface.dll\"\t\t"
    "Qorvi-NETPOD host library - diagnostics of every process that loads it\r\n\r\n"
    "Date\t\tHour\t\tIP Address\tError description\r\n\r\n";

// A private copy of the library in a folder of its own: fresh process-wide state,
// and an error log of its own.
class LoadedCopy {
public:
    LoadedCopy() {
        char pattern[] = "/tmp/netpod-load-XXXXXX";
        dir_ = ::mkdtemp(pattern);
        fs::copy_file(NETPOD_LIBRARY_PATH, dir_ / "libqorvi-netpod.so.2");
        handle_ = ::dlopen((dir_ / "libqorvi-netpod.so.2").c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    // The library stays loaded: it may hold process-wide state until exit.
    ~LoadedCopy() { fs::remove_all(dir_); }

    template <class Fn>
    Fn get(const char* name) const {
        return reinterpret_cast<Fn>(::dlsym(handle_, name));
    }
    bool loaded() const { return handle_ != nullptr; }
    fs::path log() const { return dir_ / kLogName; }
    const fs::path& dir() const { return dir_; }

private:
    fs::path dir_;
    void* handle_ = nullptr;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string CallText(TextExport fn, std::int32_t capacity, std::int32_t* count) {
    std::string buffer(128, '#');
    *count = capacity;
    fn(buffer.data(), count);
    return buffer;
}

TEST(LibraryTexts, VersionTextFollowsTheCapacity) {
    LoadedCopy lib;
    ASSERT_TRUE(lib.loaded()) << ::dlerror();
    auto version = lib.get<TextExport>("Qorvi_NETPOD_VersionDLL");
    ASSERT_NE(version, nullptr);
    std::int32_t count = 0;
    std::string out = CallText(version, 100, &count);
    EXPECT_EQ(count, 38);
    EXPECT_EQ(out.substr(0, 39), "Qorvi-NETPOD_DLLInterface_v2.00_021111#");   // nothing written behind
    out = CallText(version, 38, &count);
    EXPECT_EQ(count, 38);
    EXPECT_EQ(out.substr(0, 39), "Qorvi-NETPOD_DLLInterface_v2.00_021111#");
    out = CallText(version, 12, &count);
    EXPECT_EQ(count, 12);
    EXPECT_EQ(out.substr(0, 13), "Qorvi-NETPOD#");
    out = CallText(version, 0, &count);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(out[0], '#');
    EXPECT_EQ(lib.get<TextExport>("_Qorvi_NETPOD_VersionDLL"), version);   // the decorated alias
}

TEST(LibraryTexts, LastErrorStartsAsNoErrorAndNullBuffersAreReported) {
    LoadedCopy lib;
    ASSERT_TRUE(lib.loaded()) << ::dlerror();
    auto lastError = lib.get<TextExport>("Qorvi_NETPOD_GetLastError");
    auto version = lib.get<TextExport>("Qorvi_NETPOD_VersionDLL");
    std::int32_t count = 0;
    EXPECT_EQ(CallText(lastError, 100, &count).substr(0, count), "No Error");
    EXPECT_FALSE(fs::exists(lib.log()));   // nothing is created before the first failure

    count = 77;
    version(nullptr, &count);
    EXPECT_EQ(count, 77);   // untouched
    EXPECT_EQ(CallText(lastError, 200, &count).substr(0, count),
              "Pointer on buffer to get Version = NULL\t(Qorvi_NETPOD_VersionDLL)");
    lastError(nullptr, &count);
    lastError(nullptr, &count);
    EXPECT_EQ(CallText(lastError, 200, &count).substr(0, count),
              "Pointer on buffer to get Last Error = NULL\t(Qorvi_NETPOD_GetLastError)");

    // The file: the header once, then one entry per report, each followed by an
    // empty line; CR LF line ends throughout. The second null buffer of
    // GetLastError, a repeat within seconds, is counted rather than written.
    const std::string log = ReadFile(lib.log());
    ASSERT_EQ(log.compare(0, std::strlen(kHeaderLines), kHeaderLines), 0) << log;
    const std::string entries = log.substr(std::strlen(kHeaderLines));
    const std::regex entry(
        "[^\t\r\n]+\t[^\t\r\n]+\tNone           \t"
        "(Pointer on buffer to get Version = NULL\t\\(Qorvi_NETPOD_VersionDLL\\)|"
        "Pointer on buffer to get Last Error = NULL\t\\(Qorvi_NETPOD_GetLastError\\))\r\n\r\n");
    std::smatch m;
    std::string rest = entries;
    std::vector<std::string> seen;
    while (std::regex_search(rest, m, entry, std::regex_constants::match_continuous)) {
        seen.push_back(m[1]);
        rest = m.suffix();
    }
    EXPECT_TRUE(rest.empty()) << "unparsed: " << rest;
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_NE(seen[0].find("VersionDLL"), std::string::npos);
    EXPECT_NE(seen[1].find("GetLastError"), std::string::npos);
}

// Two processes report 1,000 failures each into one log at the same time: every
// entry arrives whole, none interleaved with another. Each process writes its first
// report, counts the other 999, and writes their summary when it exits.
TEST(LibraryTexts, TwoProcessesWritingAtOnceLeaveWholeEntries) {
    LoadedCopy lib;
    ASSERT_TRUE(lib.loaded()) << ::dlerror();
    const std::string path = (lib.dir() / "libqorvi-netpod.so.2").string();
    pid_t children[2];
    for (pid_t& child : children) {
        child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            auto version = reinterpret_cast<TextExport>(::dlsym(h, "Qorvi_NETPOD_VersionDLL"));
            std::int32_t count = 0;
            for (int i = 0; i < 1000; ++i)
                version(nullptr, &count);
            std::exit(0);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::string log = ReadFile(lib.log());
    ASSERT_EQ(log.compare(0, std::strlen(kHeaderLines), kHeaderLines), 0);
    std::string rest = log.substr(std::strlen(kHeaderLines));
    const std::regex entry(
        "[^\t\r\n]+\t[^\t\r\n]+\tNone           \t(Previous message repeated ([0-9]+) times?: )?"
        "Pointer on buffer to get Version = NULL\t\\(Qorvi_NETPOD_VersionDLL\\)\r\n\r\n");
    std::size_t reports = 0;
    std::size_t summaries = 0;
    std::smatch m;
    while (std::regex_search(rest, m, entry, std::regex_constants::match_continuous)) {
        reports += m[1].matched ? std::stoul(m[2]) : 1;
        summaries += m[1].matched ? 1 : 0;
        rest = m.suffix();
    }
    EXPECT_EQ(reports, 2000u);
    EXPECT_GE(summaries, 2u);
    EXPECT_TRUE(rest.empty());
}

// A log that cannot be written (a folder in its place, a full disk) never reaches
// the caller: the export returns normally and the last-error text is set.
TEST(LibraryTexts, UnwritableLogIsSurvived) {
    LoadedCopy lib;
    ASSERT_TRUE(lib.loaded()) << ::dlerror();
    auto version = lib.get<TextExport>("Qorvi_NETPOD_VersionDLL");
    auto lastError = lib.get<TextExport>("Qorvi_NETPOD_GetLastError");
    std::int32_t count = 0;

    fs::create_directory(lib.log());
    version(nullptr, &count);
    EXPECT_EQ(CallText(lastError, 200, &count).substr(0, count),
              "Pointer on buffer to get Version = NULL\t(Qorvi_NETPOD_VersionDLL)");
    fs::remove(lib.log());

    if (fs::exists("/dev/full")) {
        fs::create_symlink("/dev/full", lib.log());
        lastError(nullptr, &count);
        EXPECT_EQ(CallText(lastError, 200, &count).substr(0, count),
                  "Pointer on buffer to get Last Error = NULL\t(Qorvi_NETPOD_GetLastError)");
        fs::remove(lib.log());
    }
    // The lock was released on each path: the next report is written at once.
    version(nullptr, &count);
    EXPECT_NE(ReadFile(lib.log()).find("(Qorvi_NETPOD_VersionDLL)"), std::string::npos);
}

// Every export the header declares is exported, also under its decorated name, and
// nothing else is visible.
TEST(LibrarySymbols, ExactlyTheHeaderExportsAndTheirAliases) {
    std::set<std::string> expected;
    const std::string header = ReadFile(NETPOD_PUBLIC_HEADER);
    const std::regex declared("QORVI_NETPOD_API[^;]*?\\b(Qorvi_NETPOD_\\w+)\\(");
    for (auto it = std::sregex_iterator(header.begin(), header.end(), declared); it != std::sregex_iterator(); ++it) {
        expected.insert((*it)[1]);
        expected.insert("_" + (*it)[1].str());
    }
    ASSERT_EQ(expected.size(), 2u * 54u);   // the whole export table

    std::set<std::string> exported;
    const std::string command = std::string("nm -D --defined-only ") + NETPOD_LIBRARY_PATH;
    FILE* nm = ::popen(command.c_str(), "r");
    ASSERT_NE(nm, nullptr);
    char line[512];
    while (std::fgets(line, sizeof line, nm) != nullptr) {
        std::istringstream fields(line);
        std::string address, type, name;
        fields >> address >> type >> name;
        if (!name.empty())
            exported.insert(name);
    }
    ASSERT_EQ(::pclose(nm), 0);
    std::vector<std::string> missing, extra;
    for (const auto& n : expected)
        if (!exported.count(n))
            missing.push_back(n);
    for (const auto& n : exported)
        if (!expected.count(n))
            extra.push_back(n);
    EXPECT_TRUE(missing.empty()) << "missing: " << ::testing::PrintToString(missing);
    EXPECT_TRUE(extra.empty()) << "not an export: " << ::testing::PrintToString(extra);
}

}  // namespace
