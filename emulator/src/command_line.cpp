#include "command_line.h"

#include <charconv>
#include <functional>
#include <map>

#include "sockets.h"

namespace netpod::emu {
namespace {

template <typename T>
bool ParseNumber(const std::string& text, T min, T max, T* out) {
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
        return false;
    *out = value;
    return true;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts(1);
    for (char ch : text) {
        if (ch == separator)
            parts.emplace_back();
        else
            parts.back() += ch;
    }
    return parts;
}

bool ParseHexByte(const std::string& text, std::uint8_t* out) {
    if (text.size() != 2)
        return false;
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + 2, value, 16);
    if (ec != std::errc() || end != text.data() + 2)
        return false;
    *out = static_cast<std::uint8_t>(value);
    return true;
}

}  // namespace

std::string UsageLine() {
    return "usage: netpod-emulator [--address A] [--modules N] [--type H.L] [--version B0.B1.B2.B3] "
           "[--mac XX:XX:XX:XX:XX:XX] [--name TEXT] [--broadcast] [--pty] [--static] [fault options] [--help]";
}

std::string HelpText() {
    return UsageLine() + R"(

Plays one or more Ethernet I/O modules: UDP 7010 (register reads, change of IP
address), TCP 8010 (register protocol) and TCP 8000 (serial port) on each module's
address. Prints one line beginning with "ready" once everything listens, then runs
until SIGINT or SIGTERM and exits 0. Exit status 2 for a bad command line, 1 when an
address cannot be bound.

Modules
  --address A          IPv4 address of the first module (default 127.0.0.2). Only
                       loopback is used unless another address is given here.
  --modules N          number of modules, 1 to 64, on consecutive addresses; MAC
                       addresses and the number at the end of the name count up
  --type H.L           TYPE words, 0 to 65535 each (default 8.2)
  --version B0.B1.B2.B3  VERSION bytes, 0 to 255 each (default 0.2.0.5; a B0 other
                       than 0 gives the second form, e.g. 1.2.3.4)
  --mac XX:XX:XX:XX:XX:XX  MAC of the first module (default 02:00:00:00:00:01)
  --name TEXT          module name, at most 16 bytes (default NETPOD-EMU-01)
  --broadcast          also answer UDP broadcasts (wildcard address, port 7010);
                       each module answers from its own address, and a module on
                       loopback answers only requests from loopback
  --pty                tie each serial port to a pseudo-terminal instead of
                       echoing; the ready line lists the terminal paths
  --static             INPUTS, voltages and TIMEINSERVICE stand still
  --help               this text

Fault options (each fault that happens is counted)
  UDP 7010:
  --udp-no-answer      never answer
  --udp-delay MS       answer MS milliseconds late (1 to 600000)
  --udp-bad-checksum   answer with a wrong checksum
  --udp-split          answer in two datagrams, cut in the middle
  --udp-double         the answer twice in one datagram
  --udp-unknown-register  register 0x09 behind the first item of a read answer
  --udp-type-only      answer every read with TYPE alone
  TCP 8010 and 8000 (an answer is everything sent back for one received batch):
  --tcp-faults-on PORTS  main, serial or both (default both)
  --tcp-drop           send no answer
  --tcp-delay MS       send answers MS milliseconds late (1 to 600000)
  --tcp-split-at N     send the first N bytes, pause 50 ms, then the rest
  --tcp-join           hold each answer and send it with the next one
  --tcp-bad-checksum   main port: every answer packet with a wrong checksum
  --tcp-unknown-register  main port: register 0x09 behind the first read item
  --tcp-reverse-items     main port: read answers list their items last first
  --tcp-close-on-request  close the connection instead of answering
  --accept-then-close  accept connections and close them at once
  --refuse-connections do not listen, so connecting is refused

Registers
  OUTPUTS and the configuration registers keep what is written. INPUTS mirror
  OUTPUTS, input 15 also toggling once a second unless --static; input voltage k is
  24 V while input k is on, 0 V while off; VOLTAGE is 24 V; both with a 0.25 V sine
  unless --static. TIMEINSERVICE counts seconds, NBPOWERUP is fixed, and
  TCPCONNECTIONSOPENED counts the open TCP connections. RESETCPU answers, drops every
  TCP connection of the module and reloads the saved user parameters. TCPTIMEOUT is
  stored only; idle connections stay open. The save and
  restore commands copy IPADDRESS, SUBNETMASK, TCPTIMEOUT, MODULENAME, RS232CONFIG,
  I2CSPD, COMOPTIONS, ANALOGINPUTSTHRESHOLD and OUTPUTS between the working, user and
  factory sets. The change of IP address (UDP 0x002A) for the module's MAC sets
  IPADDRESS and SUBNETMASK and is acknowledged; the module keeps its address.

I2C (TCP 8010)
  Transfer 0x0007, answer 0x0008 with the request's AskID.
    byte 0  = (7-bit device address << 1) | R/W
    write:  bytes 1.. are written to the device
    read:   byte 1 = number of bytes to read (0 to 179); bytes 2.., if any, are
            written first (write-then-read, e.g. to set a register pointer)
    answer: byte 0 status (0 done, 1 no device acknowledged, 2 bad request), then
            the bytes read
  Scan 0x0005, answer 0x0006: the 7-bit addresses present, ascending.
  Devices
    0x48  temperature sensor: the first written byte selects a register; 0 the
          temperature, two bytes in 1/256 degC (25.5 degC = 19 80), 1 configuration
          (one byte), 2 and 3 limits (two bytes each)
    0x50  EEPROM of 256 bytes, erased to FF: the first written byte is the word
          address, further bytes are stored from there; reads continue from the word
          address, wrapping at 256
)";
}

std::optional<ProgramOptions> ParseCommandLine(const std::vector<std::string>& args, std::string* error) {
    ProgramOptions o;
    Faults& f = o.faults;
    using Setter = std::function<bool(const std::string&)>;
    // Options that take a value.
    const std::map<std::string, Setter> valued = {
        {"--address", [&](const std::string& v) { in_addr a{}; o.base.address = v; return ParseIPv4(v, &a); }},
        {"--modules", [&](const std::string& v) { return ParseNumber<std::size_t>(v, 1, 64, &o.modules); }},
        {"--type",
         [&](const std::string& v) {
             const auto p = Split(v, '.');
             return p.size() == 2 && ParseNumber<std::uint16_t>(p[0], 0, 65535, &o.base.typeHigh) &&
                    ParseNumber<std::uint16_t>(p[1], 0, 65535, &o.base.typeLow);
         }},
        {"--version",
         [&](const std::string& v) {
             const auto p = Split(v, '.');
             if (p.size() != 4)
                 return false;
             for (std::size_t i = 0; i < 4; ++i)
                 if (!ParseNumber<std::uint8_t>(p[i], 0, 255, &o.base.version[i]))
                     return false;
             return true;
         }},
        {"--mac",
         [&](const std::string& v) {
             const auto p = Split(v, ':');
             if (p.size() != 6)
                 return false;
             for (std::size_t i = 0; i < 6; ++i)
                 if (!ParseHexByte(p[i], &o.base.mac[i]))
                     return false;
             return true;
         }},
        {"--name", [&](const std::string& v) { o.base.name = v; return !v.empty() && v.size() <= 16; }},
        {"--udp-delay", [&](const std::string& v) { return ParseNumber(v, 1, 600000, &f.udpDelayMs); }},
        {"--tcp-delay", [&](const std::string& v) { return ParseNumber(v, 1, 600000, &f.tcpDelayMs); }},
        {"--tcp-split-at", [&](const std::string& v) { return ParseNumber(v, 1, 65535, &f.tcpSplitAt); }},
        {"--tcp-faults-on",
         [&](const std::string& v) {
             f.tcpOnMainPort = v == "main" || v == "both";
             f.tcpOnSerialPort = v == "serial" || v == "both";
             return f.tcpOnMainPort || f.tcpOnSerialPort;
         }},
    };
    const std::map<std::string, bool*> flags = {
        {"--broadcast", &o.broadcast},
        {"--pty", &o.base.serialPty},
        {"--help", &o.help},
        {"--udp-no-answer", &f.udpNoAnswer},
        {"--udp-bad-checksum", &f.udpBadChecksum},
        {"--udp-split", &f.udpSplit},
        {"--udp-double", &f.udpDouble},
        {"--udp-unknown-register", &f.udpUnknownRegister},
        {"--udp-type-only", &f.udpTypeOnly},
        {"--tcp-drop", &f.tcpDrop},
        {"--tcp-join", &f.tcpJoin},
        {"--tcp-bad-checksum", &f.tcpBadChecksum},
        {"--tcp-unknown-register", &f.tcpUnknownRegister},
        {"--tcp-reverse-items", &f.tcpReverseItems},
        {"--tcp-close-on-request", &f.tcpCloseOnRequest},
        {"--accept-then-close", &f.acceptThenClose},
        {"--refuse-connections", &f.refuseConnections},
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--static") {
            o.base.dynamicValues = false;
            continue;
        }
        if (const auto flag = flags.find(arg); flag != flags.end()) {
            *flag->second = true;
            continue;
        }
        const auto option = valued.find(arg);
        if (option == valued.end()) {
            *error = "unknown option: " + arg;
            return std::nullopt;
        }
        if (i + 1 >= args.size()) {
            *error = "missing value for " + arg;
            return std::nullopt;
        }
        const std::string& value = args[++i];
        if (!option->second(value)) {
            *error = "bad value for " + arg + ": " + value;
            return std::nullopt;
        }
    }
    // The last module's address must still be an address.
    in_addr first{};
    ParseIPv4(o.base.address, &first);
    if (std::uint64_t{ntohl(first.s_addr)} + o.modules - 1 > 0xFFFFFFFFu) {
        *error = "too many modules after " + o.base.address;
        return std::nullopt;
    }
    return o;
}

}  // namespace netpod::emu
