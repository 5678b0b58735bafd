#include "command_line.h"

#include <array>
#include <charconv>
#include <utility>

namespace netpod::tool {
namespace {

struct CommandText {
    Command command;
    std::string_view name;
    std::string_view usage;  // after "netpod [--emulate] "
    std::string_view help;
};

constexpr std::array<CommandText, 11> kCommands{{
    {Command::Scan, "scan", "scan",
     "Lists the modules that answer a broadcast on the local network segment: address,\n"
     "MAC address, product, firmware version and module name.\n"
     "The scan broadcasts on UDP port 7010 of every network the host is on.\n"},
    {Command::Info, "info", "info ADDRESS",
     "Reads every register of one module in one exchange and prints them.\n"},
    {Command::Read, "read", "read ADDRESS REGISTER...",
     "Reads the named registers of one module and prints them, one per line.\n"},
    {Command::Write, "write", "write ADDRESS REGISTER=VALUE...",
     "Writes registers of one module in one exchange, then reads them back.\n"
     "Commands (reset-cpu, save-user-parameters, ...) are given without a value.\n"
     "Examples: outputs=0,9  outputs=0x0201  name=\"line 3\"  threshold=1.5  ip=192.168.0.20\n"},
    {Command::Watch, "watch", "watch ADDRESS REGISTER... [--period MS] [--count N] [--csv] [--header]",
     "Has the module polled every MS milliseconds (default 100) and prints one line per\n"
     "answer: a table on a terminal, CSV otherwise or with --csv (--header adds a first\n"
     "line naming the columns). Stops after N answers, or at Ctrl-C.\n"
     "Registers that can be watched: voltage, warnings, inputs, input-voltages, input-voltage.N\n"},
    {Command::SetIp, "set-ip", "set-ip MAC IP MASK",
     "Gives the module with this MAC address a new IP address and subnet mask.\n"
     "The request is broadcast on UDP port 7010.\n"
     "Example: set-ip 02:00:00:00:00:01 192.168.0.20 255.255.255.0\n"},
    {Command::I2c, "i2c", "i2c ADDRESS scan | i2c ADDRESS xfer HEXBYTES [--ask-id N]",
     "scan: lists the devices that answer on the module's I2C bus.\n"
     "xfer: runs one I2C transfer with the given bytes (\"a0 00 10\") and prints the\n"
     "answer's bytes; --ask-id tags the transfer (0 to 65535, default 0).\n"},
    {Command::Serial, "serial", "serial ADDRESS [--linger MS]",
     "Bridges standard input and output to the module's serial port (TCP port 8000).\n"
     "After standard input ends, waits until no byte has come for MS milliseconds\n"
     "(default 1000), then closes.\n"},
    {Command::Serve, "serve", "serve ADDRESS [--listen HOST:PORT] [--period MS]",
     "Serves a live page of the module over HTTP: inputs, outputs, input voltages with a\n"
     "plot of the last minute, supply voltage, warnings and the module's identity, kept\n"
     "up to date by the repetitive ask every MS milliseconds (default 100). A click on an\n"
     "output switches it; the threshold and the name can be written and the warnings\n"
     "cleared. Listens on 127.0.0.1:8080 unless --listen says otherwise (port 0: any free\n"
     "port). Prints the page's URL, which carries the token that every write needs.\n"
     "Reconnects by itself when the connection to the module drops; runs until Ctrl-C.\n"},
    {Command::Version, "version", "version", "Prints the version text of the library.\n"},
    {Command::Log, "log", "log [--lines N]",
     "Prints where the library's error log lies, why there, and its last N entries\n"
     "(default 10). The log goes to the folder named by QORVI_NETPOD_LOG_DIR when it\n"
     "is set; else beside the library file when this user may write there; else to\n"
     "the user's state folder ($XDG_STATE_HOME/qorvi-netpod, or\n"
     "~/.local/state/qorvi-netpod).\n"},
}};

const CommandText& TextOf(Command command) {
    for (const CommandText& text : kCommands)
        if (text.command == command)
            return text;
    return kCommands[0];
}

std::optional<Command> FindCommand(std::string_view name) {
    for (const CommandText& text : kCommands)
        if (text.name == name)
            return text.command;
    return std::nullopt;
}

bool ParseWholeInt(std::string_view text, long& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

bool LooksLikeAddress(std::string_view text) { return static_cast<bool>(ParseDottedQuad(text)); }

// The parser's working state: the arguments still to look at, and the refusal.
class Parser {
public:
    explicit Parser(const std::vector<std::string_view>& args) : args_(args) {}

    Parsed<CommandLine> Run();

private:
    Parsed<CommandLine> Refuse(const std::string& reason) const {
        return Parsed<CommandLine>::Error("netpod: " + reason + "\n" +
                                          UsageLine(commandKnown_ ? std::optional(line_.command) : std::nullopt));
    }
    // Takes the value of an option given as "--name VALUE" or "--name=VALUE".
    std::optional<std::string_view> OptionValue(std::string_view& option, std::size_t& i) const;
    std::optional<std::string> TakeOption(std::string_view arg, std::size_t& i);
    std::optional<std::string> ReadPositionals();

    const std::vector<std::string_view>& args_;
    std::vector<std::string_view> positionals_;
    CommandLine line_;
    bool commandKnown_ = false;
};

std::optional<std::string_view> Parser::OptionValue(std::string_view& option, std::size_t& i) const {
    if (const auto eq = option.find('='); eq != std::string_view::npos) {
        const std::string_view value = option.substr(eq + 1);
        option = option.substr(0, eq);
        return value;
    }
    if (i + 1 < args_.size())
        return args_[++i];
    return std::nullopt;
}

// Handles one option; returns a refusal reason, or nothing when accepted.
std::optional<std::string> Parser::TakeOption(std::string_view arg, std::size_t& i) {
    std::string_view option = arg;
    const std::string_view name = option.substr(0, option.find('='));
    if (name == "--help" || name == "-h") {
        line_.help = true;
        return std::nullopt;
    }
    if (name == "--emulate") {
        line_.emulate = true;
        return std::nullopt;
    }
    const Command c = line_.command;
    auto allowed = [&](bool ok) { return ok && commandKnown_; };
    if (name == "--csv" && allowed(c == Command::Watch)) {
        line_.csv = true;
        return std::nullopt;
    }
    if (name == "--header" && allowed(c == Command::Watch)) {
        line_.header = true;
        return std::nullopt;
    }
    if (name == "--listen" && allowed(c == Command::Serve)) {
        const auto value = OptionValue(option, i);
        if (!value)
            return "option --listen needs a value";
        const auto listen = ParseListenAddress(*value);
        if (!listen)
            return listen.error();
        line_.listen = *listen;
        return std::nullopt;
    }
    const bool takesValue = name == "--timeout" ||
                            (name == "--period" && allowed(c == Command::Watch || c == Command::Serve)) ||
                            (name == "--count" && allowed(c == Command::Watch)) ||
                            (name == "--ask-id" && allowed(c == Command::I2c)) ||
                            (name == "--linger" && allowed(c == Command::Serial)) ||
                            (name == "--lines" && allowed(c == Command::Log));
    if (!takesValue)
        return "unknown option '" + std::string(name) + "'";
    const auto value = OptionValue(option, i);
    if (!value)
        return "option " + std::string(name) + " needs a value";
    long number = 0;
    if (name == "--period" || name == "--ask-id") {
        // The library has its own rules for these two; any 32-bit value goes through.
        const auto parsed = ParseInteger(*value);
        if (!parsed)
            return std::string(name) + ": " + parsed.error();
        (name == "--period" ? line_.periodMs : line_.askId) = *parsed;
        return std::nullopt;
    }
    if (!ParseWholeInt(*value, number) || number < 0 || number > 100'000'000)
        return std::string(name) + " needs a number, 0 or more";
    if (name == "--timeout") {
        if (number == 0)
            return "--timeout must be above 0";
        line_.timeoutMs = static_cast<int>(number);
    } else if (name == "--count") {
        if (number == 0)
            return "--count must be above 0";
        line_.count = number;
    } else if (name == "--linger") {
        line_.lingerMs = static_cast<int>(number);
    } else {
        line_.logLines = static_cast<int>(number);
    }
    return std::nullopt;
}

std::optional<std::string> Parser::ReadPositionals() {
    std::size_t next = 0;
    auto remaining = [&] { return positionals_.size() - next; };

    if (TalksToOneModule(line_.command)) {
        if (line_.emulate) {
            if (remaining() > 0 && LooksLikeAddress(positionals_[next]))
                return "with --emulate the module is emulated: give no ADDRESS";
        } else {
            if (remaining() == 0)
                return "missing ADDRESS";
            const auto address = ParseDottedQuad(positionals_[next++]);
            if (!address)
                return address.error();
            line_.address = *address;
        }
    }

    switch (line_.command) {
    case Command::Scan:
    case Command::Info:
    case Command::Serial:
    case Command::Serve:
    case Command::Version:
    case Command::Log:
        break;
    case Command::Read:
    case Command::Watch: {
        if (remaining() == 0)
            return "name at least one REGISTER";
        for (; next < positionals_.size(); ++next) {
            const auto ref = FindRegister(positionals_[next]);
            if (!ref)
                return ref.error();
            const RegisterInfo& info = InfoOf(ref->reg);
            if (line_.command == Command::Read && !info.readable)
                return "'" + DisplayName(*ref) + "' is a command and cannot be read";
            if (line_.command == Command::Watch && !info.watchable)
                return "'" + DisplayName(*ref) +
                       "' cannot be watched (voltage, warnings, inputs, input-voltages, input-voltage.N can)";
            line_.registers.push_back(*ref);
        }
        return std::nullopt;
    }
    case Command::Write: {
        if (remaining() == 0)
            return "name at least one REGISTER=VALUE";
        for (; next < positionals_.size(); ++next) {
            const auto item = ParseWriteItem(positionals_[next]);
            if (!item)
                return item.error();
            line_.writes.push_back(*item);
        }
        return std::nullopt;
    }
    case Command::SetIp: {
        if (remaining() != 3)
            return "set-ip takes MAC IP MASK";
        const auto mac = ParseMac(positionals_[next]);
        if (!mac)
            return mac.error();
        const auto ip = ParseDottedQuad(positionals_[next + 1]);
        if (!ip)
            return ip.error();
        const auto mask = ParseDottedQuad(positionals_[next + 2]);
        if (!mask)
            return mask.error();
        line_.mac = *mac;
        line_.newIp = *ip;
        line_.newMask = *mask;
        return std::nullopt;
    }
    case Command::I2c: {
        if (remaining() == 0)
            return "i2c needs 'scan' or 'xfer HEXBYTES'";
        const std::string_view action = positionals_[next++];
        if (action == "scan") {
            line_.i2cAction = I2cAction::Scan;
            break;
        }
        if (action != "xfer")
            return "unknown i2c action '" + std::string(action) + "' (scan or xfer)";
        if (remaining() == 0)
            return "xfer needs HEXBYTES";
        // The bytes may come as one quoted argument or as several.
        std::string joined;
        for (; next < positionals_.size(); ++next)
            joined.append(positionals_[next]).push_back(' ');
        const auto bytes = ParseHexBytes(joined);
        if (!bytes)
            return bytes.error();
        line_.i2cAction = I2cAction::Transfer;
        line_.i2cBytes = *bytes;
        return std::nullopt;
    }
    }
    if (remaining() > 0)
        return "unexpected argument '" + std::string(positionals_[next]) + "'";
    return std::nullopt;
}

Parsed<CommandLine> Parser::Run() {
    for (std::size_t i = 0; i < args_.size(); ++i) {
        const std::string_view arg = args_[i];
        if (arg.size() > 1 && arg[0] == '-' && (arg[1] == '-' || arg == "-h")) {
            if (auto refusal = TakeOption(arg, i))
                return Refuse(*refusal);
            continue;
        }
        if (!commandKnown_) {
            const auto command = FindCommand(arg);
            if (!command)
                return Refuse("unknown command '" + std::string(arg) + "'");
            line_.command = *command;
            line_.commandGiven = true;
            commandKnown_ = true;
            continue;
        }
        positionals_.push_back(arg);
    }
    if (!commandKnown_) {
        if (line_.help)
            return line_;  // "netpod --help": the general help
        return Refuse("missing command");
    }
    if (line_.help)
        return line_;
    if (auto refusal = ReadPositionals())
        return Refuse(*refusal);
    return line_;
}

}  // namespace

Parsed<CommandLine> ParseCommandLine(const std::vector<std::string_view>& args) {
    Parser parser(args);
    return parser.Run();
}

bool TalksToOneModule(Command command) {
    switch (command) {
    case Command::Info:
    case Command::Read:
    case Command::Write:
    case Command::Watch:
    case Command::I2c:
    case Command::Serial:
    case Command::Serve:
        return true;
    default:
        return false;
    }
}

std::string UsageLine(std::optional<Command> command) {
    if (!command)
        return "usage: netpod [--emulate] [--timeout MS] COMMAND [ARGUMENTS]   (netpod --help lists the commands)";
    return "usage: netpod [--emulate] " + std::string(TextOf(*command).usage);
}

std::string HelpText(std::optional<Command> command) {
    if (command) {
        return UsageLine(command) + "\n\n" + std::string(TextOf(*command).help) +
               "\nCommon options:\n"
               "  --emulate     run against a module emulated inside the tool on a free loopback\n"
               "                address (then give no ADDRESS)\n"
               "  --timeout MS  how long to wait for the connection and for each answer (8000)\n"
               "Failures print the library's last error and exit 1; bad arguments exit 2.\n";
    }
    std::string text =
        "netpod - find, inspect, poll and configure Qorvi-NETPOD modules\n\n" + UsageLine(std::nullopt) +
        "\n\nCommands:\n";
    for (const CommandText& c : kCommands)
        text += "  netpod " + std::string(c.usage) + "\n";
    text += "\nRegisters (read, write, watch):\n";
    for (const RegisterInfo& info : AllRegisters()) {
        std::string line = "  " + std::string(info.name);
        line.resize(30, ' ');
        line += info.command ? "command" : (info.writable ? "read/write" : "read");
        if (info.watchable)
            line += ", watch";
        if (!info.valueHelp.empty())
            line += ": " + std::string(info.valueHelp);
        text += line + "\n";
    }
    text += "  input-voltage.N               one input voltage, N = 0 to 15\n"
            "\nADDRESS is the module's IPv4 address. `netpod COMMAND --help` explains a command.\n";
    return text;
}

}  // namespace netpod::tool
