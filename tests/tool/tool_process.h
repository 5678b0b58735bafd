// Runs the built `netpod` as a child process, feeds its standard input and collects
// its output, so that the tests see exactly what a user sees.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace netpod::test {

struct ToolResult {
    int exitCode = -1;  // -1: did not end by itself
    std::string out;
    std::string err;
};

class ToolProcess {
public:
    // Runs `program` (the built tool unless said otherwise) with `args`.
    explicit ToolProcess(const std::vector<std::string>& args, const std::string& input = {},
                         const std::string& program = NETPOD_TOOL_PATH) {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            std::vector<char*> argv;
            std::string path = program;
            argv.push_back(path.data());
            std::vector<std::string> copy = args;
            for (auto& a : copy)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        outFd_ = out[0];
        errFd_ = err[0];
        if (!input.empty())
            [[maybe_unused]] auto n = ::write(in[1], input.data(), input.size());
        ::close(in[1]);  // end of input
    }
    ~ToolProcess() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);  // our own child, by its id
            ::waitpid(pid_, nullptr, 0);
        }
        if (outFd_ >= 0)
            ::close(outFd_);
        if (errFd_ >= 0)
            ::close(errFd_);
    }
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    pid_t pid() const { return pid_; }
    // What the process has written so far (WaitForOutput and Finish collect it).
    const std::string& out() const { return result_.out; }
    const std::string& err() const { return result_.err; }

    // Reads output until `text` has appeared on standard output or the time is up.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (result_.out.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !Pump(static_cast<int>(left.count())))
                return result_.out.find(text) != std::string::npos;
        }
        return true;
    }

    // Collects everything until the process ends, or kills it after `timeout`.
    ToolResult Finish(std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (outFd_ >= 0 || errFd_ >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            Pump(static_cast<int>(left.count()));
        }
        int status = 0;
        if (outFd_ >= 0 || errFd_ >= 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            reaped_ = true;
            result_.exitCode = -1;
            return result_;
        }
        ::waitpid(pid_, &status, 0);
        reaped_ = true;
        result_.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return result_;
    }

private:
    // One poll over both pipes; false when both are closed or nothing came in time.
    bool Pump(int timeoutMs) {
        pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
        if (outFd_ < 0 && errFd_ < 0)
            return false;
        if (::poll(fds, 2, timeoutMs) <= 0)
            return false;
        ReadFrom(fds[0], outFd_, result_.out);
        ReadFrom(fds[1], errFd_, result_.err);
        return true;
    }
    static void ReadFrom(const pollfd& p, int& fd, std::string& into) {
        if (fd < 0 || (p.revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            return;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
        } else {
            ::close(fd);
            fd = -1;
        }
    }

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    bool reaped_ = false;
    ToolResult result_;
};

inline ToolResult RunTool(const std::vector<std::string>& args, const std::string& input = {}) {
    ToolProcess process(args, input);
    return process.Finish();
}

}  // namespace netpod::test
