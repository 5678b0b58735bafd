// run_with_emulator: runs a program against an emulated module on a free loopback
// address, so that the examples (and the tests that build them) need no hardware.
//
//     run_with_emulator [--timeout SECONDS] PROGRAM ARGUMENTS...
//
// Every argument "@ADDRESS@" is replaced by the module's address. The exit status is
// the program's, or 124 when it ran longer than the time-out (60 s by default) and
// was ended.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "netpod_emulator/emulator.h"

int main(int argc, char** argv) {
    int first = 1;
    long timeoutSeconds = 60;
    if (argc > 2 && std::string(argv[1]) == "--timeout") {
        timeoutSeconds = std::strtol(argv[2], nullptr, 10);
        first = 3;
    }
    if (first >= argc || timeoutSeconds <= 0) {
        std::fprintf(stderr, "usage: run_with_emulator [--timeout SECONDS] PROGRAM ARGUMENTS...\n");
        return 2;
    }
    std::string error;
    auto emulator = netpod::emu::StartOnFreeLoopback({}, 1, &error);
    if (!emulator) {
        std::fprintf(stderr, "run_with_emulator: cannot start the emulated module: %s\n", error.c_str());
        return 1;
    }
    const std::string address = emulator->config(0).address;

    std::vector<std::string> args(argv + first, argv + argc);
    for (std::string& arg : args)
        if (arg == "@ADDRESS@")
            arg = address;
    std::vector<char*> childArgv;
    for (std::string& arg : args)
        childArgv.push_back(arg.data());
    childArgv.push_back(nullptr);

    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("run_with_emulator: fork");
        return 1;
    }
    if (child == 0) {
        ::execvp(childArgv[0], childArgv.data());
        std::perror("run_with_emulator: exec");
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    while (true) {
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child)
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            std::fprintf(stderr, "run_with_emulator: %s ran longer than %ld s, ended\n", childArgv[0],
                         timeoutSeconds);
            ::kill(child, SIGKILL);  // our own child, by its id
            ::waitpid(child, &status, 0);
            return 124;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    emulator->stop();
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    std::fprintf(stderr, "run_with_emulator: %s ended by signal %d\n", childArgv[0], WTERMSIG(status));
    return 1;
}
