#include "commands.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "diagnostics/log_location.h"
#include "emulated_module.h"
#include "module_session.h"
#include "qorvi_netpod.h"
#include "read_back.h"
#include "register_access.h"
#include "report.h"
#include "serve.h"

namespace netpod::tool {
namespace {

// The tool applies the library's own rules for the log's folder to the library
// file it runs on: the library offers no call that says where its log is.
LogLocation LibraryLogLocation() { return LogLocationOf(reinterpret_cast<const void*>(&Qorvi_NETPOD_VersionDLL)); }

int Fail(const std::string& reason) {
    std::fprintf(stderr, "netpod: %s\n", reason.c_str());
    // Where the library reports that a step of its own failed ("Initial Test failed",
    // "ChangeIPAddress Failed"), the step's reason is the entry written just before
    // for the same address. Other processes write the same log meanwhile, so the
    // entries of other addresses in between are passed over.
    if (reason.find("ailed  (") != std::string::npos) {
        std::ifstream file(LibraryLogLocation().file(), std::ios::binary);
        std::stringstream contents;
        contents << file.rdbuf();
        if (const auto before = EntryBeforeOfSameAddress(LastLogEntries(contents.str(), 64), reason))
            std::fprintf(stderr, "netpod: the log entry before it: %s\n", before->c_str());
    }
    return kExitFailure;
}

// A library call that returned false: its reason is the last-error text.
int FailWithLibraryError() { return Fail(LibraryLastError()); }

void Print(const std::string& text) { std::fputs(text.c_str(), stdout); }

std::string Label(const std::string& name) {
    std::string label = "  " + name;
    label.resize(std::max<std::size_t>(20, label.size() + 2), ' ');
    return label;
}

// Reads `refs` in one exchange. False, after printing the reason, on failure.
bool ReadRegisters(ModuleSession& session, const std::vector<RegisterRef>& refs, RegisterValues& answer) {
    for (const RegisterRef& ref : refs) {
        if (!MarkRead(ref, session.com())) {
            FailWithLibraryError();
            return false;
        }
    }
    std::string error;
    const bool ok = session.Exchange(
        [&](const RegisterValues& v) {
            for (const RegisterRef& ref : refs)
                if (!HasValue(v, ref))
                    return false;
            return true;
        },
        answer, error);
    if (!ok)
        Fail(error);
    return ok;
}

std::unique_ptr<ModuleSession> OpenMain(const DottedQuad& address, const CommandLine& line) {
    std::string error;
    auto session = ModuleSession::Open(address, ModuleSession::Port::Main, line.timeoutMs, error);
    if (!session)
        Fail(error);
    return session;
}

int RunInfo(const DottedQuad& address, const CommandLine& line) {
    auto session = OpenMain(address, line);
    if (!session)
        return kExitFailure;
    if (!Qorvi_NETPOD_Read_AllRegister(session->com()))
        return FailWithLibraryError();
    // Every register of the list comes back in one answer packet, except that a
    // module of older firmware leaves out the power-up count and time in service.
    std::string error;
    RegisterValues answer{};
    const bool ok = session->Exchange(
        [](const RegisterValues& v) {
            for (const RegisterInfo& info : AllRegisters()) {
                if (!info.readable || info.reg == Register::PowerUps || info.reg == Register::TimeInService)
                    continue;
                if (!HasValue(v, {info.reg, -1}))
                    return false;
            }
            return true;
        },
        answer, error);
    if (!ok)
        return Fail(error);
    Print("module " + DottedText(address.data()) + "\n" + FullReport(answer));
    return kExitSuccess;
}

int RunRead(const DottedQuad& address, const CommandLine& line) {
    auto session = OpenMain(address, line);
    if (!session)
        return kExitFailure;
    RegisterValues answer{};
    if (!ReadRegisters(*session, line.registers, answer))
        return kExitFailure;
    for (const RegisterRef& ref : line.registers)
        Print(Label(DisplayName(ref)) + ValueText(answer, ref) + "\n");
    return kExitSuccess;
}

int RunWrite(const DottedQuad& address, const CommandLine& line) {
    auto session = OpenMain(address, line);
    if (!session)
        return kExitFailure;
    for (const WriteItem& item : line.writes)
        if (!MarkWrite(item, session->com()))
            return FailWithLibraryError();
    std::string error;
    RegisterValues answer{};
    const bool ok = session->Exchange(
        [&](const RegisterValues& v) {
            for (const WriteItem& item : line.writes)
                if (!WrittenIn(item, v))
                    return false;
            return true;
        },
        answer, error);
    if (!ok)
        return Fail(error);
    for (const WriteItem& item : line.writes)
        Print(Label(DisplayName(item.target)) + (InfoOf(item.target.reg).command ? "done" : "written") + "\n");

    const std::vector<RegisterRef> readBack = RegistersToReadBack(line.writes);
    if (readBack.empty())
        return kExitSuccess;
    if (!ReadRegisters(*session, readBack, answer))
        return kExitFailure;
    int status = kExitSuccess;
    Print("read back:\n");
    for (const RegisterRef& ref : readBack)
        Print(Label(DisplayName(ref)) + ValueText(answer, ref) + "\n");
    for (const WriteItem& item : line.writes) {
        if (const auto mismatch = ReadBackMismatch(item, answer)) {
            Fail("the module did not keep the write: " + *mismatch);
            status = kExitFailure;
        }
    }
    return status;
}

int RunWatch(const DottedQuad& address, const CommandLine& line) {
    auto session = OpenMain(address, line);
    if (!session)
        return kExitFailure;
    for (const RegisterRef& ref : line.registers)
        if (!MarkRepetitive(ref, session->com()))
            return FailWithLibraryError();
    if (!Qorvi_NETPOD_RepetitiveAskSetTime(line.periodMs, session->com()) ||
        !Qorvi_NETPOD_RepetitiveAskStart(session->com()))
        return FailWithLibraryError();

    const bool csv = line.csv || ::isatty(STDOUT_FILENO) == 0;
    const auto columns = WatchColumns(line.registers);
    if (csv && line.header) {
        std::string header = "time_ms";
        for (const auto& c : columns)
            header += "," + c;
        Print(header + "\n");
    } else if (!csv) {
        Print(TableRow("ms", columns, columns));
    }
    // An answer may reach the callback in parts; a line is printed once one answer
    // carries every watched register. The period may be long, so the wait allows it.
    const auto timeout = std::chrono::milliseconds(static_cast<long long>(line.timeoutMs) +
                                                   std::max<long long>(line.periodMs, 0));
    const auto start = std::chrono::steady_clock::now();
    long shown = 0;
    while (line.count == 0 || shown < line.count) {
        RegisterValues answer{};
        std::string error;
        if (!session->NextAnswer(answer, timeout, error)) {
            if (StopRequested())
                break;  // Ctrl-C ends a watch normally
            return Fail(error);
        }
        const auto cells = WatchCells(answer, line.registers);
        bool complete = true;
        for (const auto& cell : cells)
            complete = complete && !cell.empty();
        if (!complete)
            continue;
        const long elapsed = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
        Print(csv ? CsvLine(elapsed, cells) : TableRow(std::to_string(elapsed), cells, columns));
        if (std::fflush(stdout) != 0)
            break;  // the reader went away (`| head`): nothing more to show
        ++shown;
    }
    Qorvi_NETPOD_RepetitiveAskReset(session->com());
    return kExitSuccess;
}

int RunI2c(const DottedQuad& address, const CommandLine& line) {
    auto session = OpenMain(address, line);
    if (!session)
        return kExitFailure;
    std::string error;
    RegisterValues answer{};
    if (line.i2cAction == I2cAction::Scan) {
        if (!Qorvi_NETPOD_ScanI2C(session->com()))
            return FailWithLibraryError();
        if (!session->Exchange([](const RegisterValues& v) { return v.ScanI2CValid; }, answer, error))
            return Fail(error);
        // The scan answer lists the 7-bit addresses of the devices present.
        const int count = std::clamp(answer.ScanI2CLength, 0, 127);
        if (count == 0) {
            Print("no I2C device answered\n");
            return kExitSuccess;
        }
        std::string text = std::to_string(count) + (count == 1 ? " I2C device:" : " I2C devices:");
        for (int i = 0; i < count; ++i) {
            char part[8];
            std::snprintf(part, sizeof part, " 0x%02x", answer.ScanI2CAnswer[i]);
            text += part;
        }
        Print(text + "\n");
        return kExitSuccess;
    }
    if (!Qorvi_NETPOD_ReadWriteI2C(line.i2cBytes.data(), static_cast<int32_t>(line.i2cBytes.size()), false,
                                   line.askId, session->com()))
        return FailWithLibraryError();
    const int32_t askId = line.askId;
    if (!session->Exchange(
            [askId](const RegisterValues& v) { return v.I2CAnswerValid && v.I2CAnswerAskID == askId; }, answer,
            error))
        return Fail(error);
    const int length = std::clamp(answer.I2CAnswerLength, 0, 180);
    Print("answer (ask id " + std::to_string(answer.I2CAnswerAskID) + ", " + std::to_string(length) +
          " bytes): " + HexBytes(answer.I2CAnswer, length) + "\n");
    return kExitSuccess;
}

bool WriteAll(int fd, const uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

int RunSerial(const DottedQuad& address, const CommandLine& line) {
    std::string error;
    auto session = ModuleSession::Open(address, ModuleSession::Port::Serial, line.timeoutMs, error);
    if (!session)
        return Fail(error);
    bool inputOpen = true;
    auto quietSince = std::chrono::steady_clock::now();
    while (!StopRequested()) {
        if (inputOpen) {
            pollfd in{STDIN_FILENO, POLLIN, 0};
            if (::poll(&in, 1, 20) > 0) {
                uint8_t buffer[1024];
                const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
                if (n > 0) {
                    if (!Qorvi_NETPOD_SendData_RS232(buffer, static_cast<int32_t>(n), session->com()))
                        return FailWithLibraryError();
                    quietSince = std::chrono::steady_clock::now();
                } else if (n == 0 || errno != EINTR) {
                    inputOpen = false;  // end of input: wait for the last answers
                    quietSince = std::chrono::steady_clock::now();
                }
            }
        }
        const auto bytes = session->TakeSerialBytes(std::chrono::milliseconds(inputOpen ? 0 : 20));
        if (!bytes.empty()) {
            if (!WriteAll(STDOUT_FILENO, bytes.data(), bytes.size()))
                return kExitSuccess;  // the reader went away
            quietSince = std::chrono::steady_clock::now();
        }
        if (!session->Connected())
            return Fail("the module closed the serial connection");
        if (!inputOpen && std::chrono::steady_clock::now() - quietSince >= std::chrono::milliseconds(line.lingerMs))
            break;
    }
    return kExitSuccess;
}

int RunScan() {
    std::vector<ModuleInfo> modules(256);
    const int32_t count = Qorvi_NETPOD_ScanNetwork(modules.data(), static_cast<int32_t>(modules.size()));
    if (count <= 0) {
        Print("no module answered\n");
        return kExitSuccess;
    }
    const auto stored = std::min<std::size_t>(static_cast<std::size_t>(count), modules.size());
    Print(ScanTable(std::span<const ModuleInfo>(modules.data(), stored)));
    if (static_cast<std::size_t>(count) > stored)
        Print(std::to_string(count) + " answers, the first " + std::to_string(stored) + " shown\n");
    return kExitSuccess;
}

int RunSetIp(const CommandLine& line) {
    if (!Qorvi_NETPOD_ChangeIPAddress(line.mac.data(), line.newIp.data(), line.newMask.data()))
        return FailWithLibraryError();
    Print("module " + MacText(line.mac.data()) + " now has address " + DottedText(line.newIp.data()) +
          ", mask " + DottedText(line.newMask.data()) + "\n");
    return kExitSuccess;
}

int RunVersion() {
    char buffer[256];
    int32_t length = sizeof buffer;
    Qorvi_NETPOD_VersionDLL(buffer, &length);
    Print(std::string(buffer, static_cast<std::size_t>(std::max(length, 0))) + "\n");
    return kExitSuccess;
}

int RunLog(const CommandLine& line) {
    const LogLocation location = LibraryLogLocation();
    const std::string path = location.file();
    if (path.empty())
        return Fail("cannot find the library file");
    Print("error log: " + path + "\n");
    Print("why: " + location.why() + "\n");
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        Print("(no entry yet)\n");
        return kExitSuccess;
    }
    std::stringstream contents;
    contents << file.rdbuf();
    for (const std::string& entry : LastLogEntries(contents.str(), line.logLines))
        Print(entry + "\n");
    return kExitSuccess;
}

}  // namespace

int RunCommand(const CommandLine& line) {
    std::unique_ptr<EmulatedModule> emulated;
    DottedQuad address = line.address;
    if (line.emulate) {
        std::string error;
        const bool broadcasts = line.command == Command::Scan || line.command == Command::SetIp;
        emulated = EmulatedModule::Start(broadcasts, error);
        if (!emulated)
            return Fail(error);
        address = emulated->address();
        std::fprintf(stderr, "netpod: emulated module at %s, MAC %s\n", DottedText(address.data()).c_str(),
                         emulated->mac().c_str());
    }
    switch (line.command) {
    case Command::Scan: return RunScan();
    case Command::Info: return RunInfo(address, line);
    case Command::Read: return RunRead(address, line);
    case Command::Write: return RunWrite(address, line);
    case Command::Watch: return RunWatch(address, line);
    case Command::SetIp: return RunSetIp(line);
    case Command::I2c: return RunI2c(address, line);
    case Command::Serial: return RunSerial(address, line);
    case Command::Version: return RunVersion();
    case Command::Log: return RunLog(line);
    case Command::Serve: return RunServe(address, line);
    }
    return kExitFailure;
}

}  // namespace netpod::tool
