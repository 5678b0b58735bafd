// The command line of `netpod`: subcommands, their arguments and options, and the
// texts of --help. Parsing is pure, so that every refusal can be tested without a
// module.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parsed.h"
#include "register_names.h"
#include "value_parsing.h"

namespace netpod::tool {

enum class Command { Scan, Info, Read, Write, Watch, SetIp, I2c, Serial, Version, Log, Serve };
enum class I2cAction { Scan, Transfer };

struct CommandLine {
    Command command = Command::Version;
    bool commandGiven = false;  // false only for a bare "netpod --help"
    bool help = false;     // --help: print the command's help and exit 0
    bool emulate = false;  // run against a module emulated inside the tool (no ADDRESS)
    int timeoutMs = 8000;  // for the connection and for each answer

    DottedQuad address{};  // the module (commands that talk to one, without --emulate)

    std::vector<RegisterRef> registers;  // read, watch
    std::vector<WriteItem> writes;       // write

    int32_t periodMs = 100;  // watch, serve; checked by the library
    long count = 0;          // watch: answers to show; 0 = until interrupted
    bool csv = false;        // watch: CSV even on a terminal
    bool header = false;     // watch: a first CSV line naming the columns

    MacAddress mac{};  // set-ip
    DottedQuad newIp{};
    DottedQuad newMask{};

    I2cAction i2cAction = I2cAction::Scan;
    std::vector<uint8_t> i2cBytes;  // i2c xfer
    int32_t askId = 0;              // i2c xfer; checked by the library

    int lingerMs = 1000;  // serial: wait for answers this long after standard input ends
    int logLines = 10;    // log: entries to show

    ListenAddress listen{};  // serve: where the HTTP server listens (127.0.0.1:8080)
};

// `args` are the arguments after the program name. A refusal carries its reason and,
// on the next line, the usage line of the command concerned.
Parsed<CommandLine> ParseCommandLine(const std::vector<std::string_view>& args);

// True for the commands that open a connection to one module.
bool TalksToOneModule(Command command);

std::string UsageLine(std::optional<Command> command);
std::string HelpText(std::optional<Command> command);

}  // namespace netpod::tool
