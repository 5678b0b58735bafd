// The netpod-emulator program: its command line, its readiness line and its clean
// exit on SIGTERM. Each child is sequenced by its readiness line and ended by its id.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "emulator_client.h"
#include "netpod_emulator/frame.h"

extern char** environ;

namespace netpod::emu {
namespace {

using test::Bytes;

// A child process of the emulator with its standard output and error piped here.
class Child {
public:
    explicit Child(const std::vector<std::string>& args) {
        int out[2], err[2];
        if (::pipe(out) != 0 || ::pipe(err) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        std::vector<std::string> all{NETPOD_EMULATOR_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, NETPOD_EMULATOR_PATH, &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
        ::close(err_);
    }
    pid_t pid() const { return pid_; }

    // The first line on standard output, or empty when none came within timeoutMs.
    std::string firstLine(int timeoutMs) { return readLine(out_, timeoutMs); }
    // Everything the stream held until the child closed it.
    std::string drainOut() { return drain(out_); }
    std::string drainErr() { return drain(err_); }

    // Exit status, or -1 when it did not end normally within timeoutMs.
    int waitExit(int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                reaped_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            ::poll(nullptr, 0, 10);
        }
        return -1;
    }

private:
    static std::string readLine(int fd, int timeoutMs) {
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0 || !test::WaitReadable(fd, static_cast<int>(left)))
                return {};
            char ch = 0;
            if (::read(fd, &ch, 1) != 1)
                return {};
            if (ch == '\n')
                return line;
            line += ch;
        }
    }
    static std::string drain(int fd) {
        std::string text;
        char buffer[4096];
        while (test::WaitReadable(fd, 5000)) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    bool reaped_ = false;
};

std::string RandomLoopbackAddress() {
    std::random_device seed;
    std::mt19937 random(seed());
    return "127." + std::to_string(random() % 254 + 1) + "." + std::to_string(random() % 256) + "." +
           std::to_string(random() % 200 + 2);
}

TEST(EmulatorProgram, HelpDocumentsEveryOptionAndBadOptionsExitWithUsage) {
    Child help({"--help"});
    ASSERT_GT(help.pid(), 0);
    const std::string text = help.drainOut();
    EXPECT_EQ(help.waitExit(5000), 0);
    for (const char* option : {"--address", "--modules", "--type", "--version", "--mac", "--name", "--broadcast", "--pty",
                               "--static", "--udp-no-answer", "--udp-delay", "--udp-bad-checksum", "--udp-split",
                               "--udp-double", "--udp-unknown-register", "--udp-type-only", "--tcp-faults-on",
                               "--tcp-drop", "--tcp-delay", "--tcp-split-at", "--tcp-join", "--tcp-bad-checksum",
                               "--tcp-unknown-register", "--tcp-close-on-request", "--accept-then-close",
                               "--refuse-connections", "EEPROM", "0x48", "0x50", "R/W"})
        EXPECT_NE(text.find(option), std::string::npos) << option;

    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--frobnicate"}, {"--type", "eight"}, {"--udp-delay"}}) {
        Child child(bad);
        const std::string err = child.drainErr();
        EXPECT_EQ(child.waitExit(5000), 2) << bad[0];
        EXPECT_NE(err.find("usage: netpod-emulator"), std::string::npos) << err;
        EXPECT_EQ(child.drainOut(), "");
    }
}

TEST(EmulatorProgram, PrintsReadyThenServesUntilSigterm) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        const std::string address = RandomLoopbackAddress();
        Child child({"--address", address, "--modules", "2", "--type", "8.0", "--version", "1.2.3.4", "--tcp-drop",
                     "--tcp-faults-on", "serial"});
        ASSERT_GT(child.pid(), 0);
        const std::string ready = child.firstLine(10000);
        if (ready.empty() && child.waitExit(5000) == 1)
            continue;  // the address was taken by someone else: try another
        ASSERT_EQ(ready.rfind("ready", 0), 0u) << ready;
        EXPECT_NE(ready.find(address), std::string::npos) << ready;

        // The second module answers on the next address, with its own name.
        in_addr second{};
        inet_pton(AF_INET, address.c_str(), &second);
        second.s_addr = htonl(ntohl(second.s_addr) + 1);
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &second, text, sizeof text);
        test::UdpClient udp;
        ASSERT_TRUE(udp.send(text, BuildFrame(kCodeReadRegisters, 0, Bytes{0x00, 0x01, 0x15})));
        Bytes answer;
        ASSERT_TRUE(udp.receive(&answer, 2000));
        ASSERT_EQ(answer.size(), 8u + 5 + 5 + 17);
        EXPECT_EQ(Bytes(answer.begin() + 6, answer.begin() + 16), (Bytes{0x00, 0x00, 0x08, 0x00, 0x00, 0x01, 1, 2, 3, 4}));
        EXPECT_EQ(std::string(answer.begin() + 17, answer.begin() + 30), "NETPOD-EMU-02");

        // Fault options reach the modules: serial answers are dropped, the main port answers.
        test::TcpClient serial(address, 8000);
        ASSERT_TRUE(serial.connected());
        ASSERT_TRUE(serial.send(Bytes{'a'}));
        test::TcpClient main(address, 8010);
        ASSERT_TRUE(main.connected());
        ASSERT_TRUE(main.send(BuildFrame(kCodeReadRegisters, 0, Bytes{0x00})));
        EXPECT_EQ(main.receiveExactly(13, 2000).size(), 13u);
        EXPECT_TRUE(serial.receiveSome(200).empty());

        ASSERT_EQ(::kill(child.pid(), SIGTERM), 0);
        EXPECT_EQ(child.waitExit(5000), 0);
        EXPECT_TRUE(main.closedByPeer(2000));
        test::TcpClient after(address, 8010);
        EXPECT_FALSE(after.connected());
        return;
    }
    FAIL() << "no free loopback address in 10 attempts";
}

}  // namespace
}  // namespace netpod::emu
