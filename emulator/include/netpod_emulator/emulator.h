// The module emulator: plays one or more Ethernet I/O modules inside this process so
// that the library, the command-line tool and their tests run without hardware.
//
// Each emulated module owns one loopback address (127.x.y.z) and listens there on
//   UDP 7010  register reads (scan, initial TYPE test) and the change of IP address,
//   TCP 8010  the register protocol (reads, writes, commands, I2C transfer and scan),
//   TCP 8000  a serial port that echoes what it receives, or is tied to a
//             pseudo-terminal.
// One I/O thread serves every socket of one Emulator. All public member functions are
// thread-safe; none of them calls back into the caller.
//
// Register behaviour
//   OUTPUTS, WARNINGS, COMOPTIONS, IPADDRESS, SUBNETMASK, TCPTIMEOUT, MODULENAME,
//   RS232CONFIG, I2CSPD and ANALOGINPUTSTHRESHOLD keep what is written to them.
//   INPUTS mirror OUTPUTS (the outputs are wired back to the inputs); with dynamic
//   values on, input 15 also toggles once a second as a heartbeat. Input voltage k
//   is 24.0 V while input k is on and 0.0 V while it is off, plus a gentle sine of
//   0.25 V amplitude when dynamic. VOLTAGE is 24.0 V plus a gentle sine of 0.25 V.
//   TIMEINSERVICE counts seconds since the emulator started, from a configured base.
//   NBPOWERUP is a fixed count. TCPCONNECTIONSOPENED is the real number of open TCP
//   connections to the module, on both TCP ports. TCPTIMEOUT is stored only: the
//   emulator never closes an idle connection on its own.
//   setRegisterValue() pins any register to fixed bytes (dynamic ones stop changing).
//
// Commands
//   RESETCPU                  answers, then drops every TCP connection of the module
//                             and reloads the saved user parameters, as a restart.
//   SAVEUSERPARAMETERS        user set    := working configuration
//   RESTOREUSERPARAMETERS     working     := user set
//   SAVEFACTORYPARAMETERS     factory set := working configuration
//   RESTOREFACTORYPARAMETERS  working     := factory set
//   The configuration covers IPADDRESS, SUBNETMASK, TCPTIMEOUT, MODULENAME,
//   RS232CONFIG, I2CSPD, COMOPTIONS, ANALOGINPUTSTHRESHOLD and OUTPUTS.
//
// I2C bus (TCP 8010, function 0x0007 I2CTransfer, AskID echoed in 0x0008)
//   Request body:  byte 0 = (7-bit device address << 1) | R/W bit.
//     write (R/W 0): bytes 1.. are written to the device.
//     read  (R/W 1): byte 1 = number of bytes to read (0 to 179); bytes 2.., when
//                    present, are first written to the device (write-then-read with
//                    a repeated start, e.g. to set a register pointer).
//   Answer body:   byte 0 = status (kI2CStatus*), then the bytes read.
//   Scan (0x0005): answer 0x0006 lists the 7-bit addresses present, ascending.
//   Devices: an EEPROM of 256 bytes at 0x50 (first written byte sets the word
//   address, further bytes are stored from there; reads continue from the word
//   address, wrapping at 256), and a temperature sensor at 0x48 with a pointer
//   register (first written byte): register 0 temperature, two bytes, signed, in
//   1/256 degC (25.5 degC = 19 80); register 1 configuration, one byte, writable.
//
// Faults (setFaults) act on answers while they are set; every fault that really
// happened is counted in Counters, so tests can assert it took place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace netpod::emu {

inline constexpr std::uint16_t kDefaultUdpPort = 7010;
inline constexpr std::uint16_t kDefaultMainPort = 8010;
inline constexpr std::uint16_t kDefaultSerialPort = 8000;

// Status byte at the start of every I2CTransferAnswer body.
inline constexpr std::uint8_t kI2CStatusOk = 0x00;
inline constexpr std::uint8_t kI2CStatusNoDevice = 0x01;   // nobody acknowledged the address
inline constexpr std::uint8_t kI2CStatusBadRequest = 0x02; // empty body, count above 179
inline constexpr std::uint8_t kEepromAddress = 0x50;
inline constexpr std::uint8_t kTemperatureSensorAddress = 0x48;

// The register address the unknown-register faults insert (not in the register map).
inline constexpr std::uint8_t kUnknownRegisterAddress = 0x09;

struct ModuleConfig {
    std::string address = "127.0.0.2";  // IPv4 address the module listens on
    std::uint16_t typeHigh = 8;
    std::uint16_t typeLow = 2;
    // VERSION bytes b0 b1 b2 b3 as sent. b0 == 0 is the "00 02 00 05" form; any other
    // b0 the "01 02 03 04" form.
    std::array<std::uint8_t, 4> version{0x00, 0x02, 0x00, 0x05};
    std::array<std::uint8_t, 6> mac{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};  // locally administered
    std::string name = "NETPOD-EMU-01";  // at most 16 bytes; sent padded with NUL bytes
    std::uint32_t nbPowerUp = 42;
    std::uint32_t timeInServiceBase = 1000;  // seconds already in service at start
    bool dynamicValues = true;  // false: INPUTS, voltages and TIMEINSERVICE stand still
    bool serialPty = false;     // TCP 8000 tied to a pseudo-terminal instead of echoing
    std::uint16_t udpPort = kDefaultUdpPort;
    std::uint16_t mainPort = kDefaultMainPort;
    std::uint16_t serialPort = kDefaultSerialPort;
};

struct Faults {
    // UDP 7010. Answers to reads; noAnswer, delay, checksum, split and double also
    // act on the acknowledge of a change of IP address.
    bool udpNoAnswer = false;
    int udpDelayMs = 0;
    bool udpBadChecksum = false;
    bool udpSplit = false;            // the answer as two datagrams, cut in its middle
    bool udpDouble = false;           // the answer packet twice in one datagram
    bool udpUnknownRegister = false;  // kUnknownRegisterAddress after the first item
    bool udpTypeOnly = false;         // any read answered with TYPE alone

    // TCP. They act on the main port (8010) when tcpOnMainPort and on the serial port
    // (8000) when tcpOnSerialPort. The answer to one received batch of bytes (all
    // packets it completed, or the serial echo) is one "response".
    bool tcpOnMainPort = true;
    bool tcpOnSerialPort = true;
    bool tcpDrop = false;             // the response is not sent
    int tcpDelayMs = 0;               // the response is sent this much later
    int tcpSplitAt = 0;               // 0 off; else first N bytes, a 50 ms pause, the rest
    bool tcpJoin = false;             // held, and sent in one send with the next response
    bool tcpBadChecksum = false;      // main port: every answer packet's checksum corrupted
    bool tcpUnknownRegister = false;  // main port: kUnknownRegisterAddress after the first item
    bool tcpReverseItems = false;     // main port: read answers list their items last first
    bool tcpCloseOnRequest = false;   // the connection is closed instead of answering
    bool acceptThenClose = false;     // new connections are accepted and closed at once
    bool refuseConnections = false;   // not listening: connect() gets ECONNREFUSED
};

// How often each fault really happened on one channel.
struct FaultCounters {
    std::uint64_t dropped = 0;
    std::uint64_t delayed = 0;
    std::uint64_t split = 0;
    std::uint64_t joined = 0;           // TCP: two responses sent as one
    std::uint64_t doubled = 0;          // UDP: two answers in one datagram
    std::uint64_t corrupted = 0;        // packets whose checksum was corrupted
    std::uint64_t unknownRegister = 0;  // answers that carried kUnknownRegisterAddress
    std::uint64_t reordered = 0;        // read answers whose items were sent last first
    std::uint64_t typeOnly = 0;
    std::uint64_t closedOnRequest = 0;
    std::uint64_t acceptedThenClosed = 0;
    std::uint64_t listenerClosed = 0;   // times the port stopped listening to refuse
};

struct Counters {
    // UDP 7010
    std::uint64_t udpDatagrams = 0;
    std::uint64_t udpReads = 0;
    std::uint64_t udpChangeIpApplied = 0;   // addressed to this module's MAC
    std::uint64_t udpChangeIpIgnored = 0;   // addressed to another MAC
    std::uint64_t udpBadPackets = 0;        // bad checksum, short, unknown function
    std::uint64_t udpAnswersSent = 0;       // datagrams sent
    // TCP 8010
    std::uint64_t mainConnections = 0;
    std::uint64_t mainPackets = 0;          // complete packets received
    std::uint64_t mainReads = 0;
    std::uint64_t mainWrites = 0;
    std::uint64_t mainI2CTransfers = 0;
    std::uint64_t mainI2CScans = 0;
    std::uint64_t mainBadChecksums = 0;     // requests dropped for their checksum
    std::uint64_t mainUnknownFunctions = 0; // requests with a code the module ignores
    std::uint64_t mainUnknownRegisters = 0; // register addresses outside the map in requests
    std::uint64_t mainResponsesSent = 0;
    // Requests that arrived while an answer of the same connection was still held
    // back (delayed or joined): a client sending before its previous answer came.
    std::uint64_t mainRequestsWhileAnswerPending = 0;
    // TCP 8000
    std::uint64_t serialConnections = 0;
    std::uint64_t serialBytesReceived = 0;
    // Commands carried out
    std::uint64_t resets = 0;
    std::uint64_t userSaves = 0;
    std::uint64_t userRestores = 0;
    std::uint64_t factorySaves = 0;
    std::uint64_t factoryRestores = 0;

    FaultCounters udpFaults;
    FaultCounters mainFaults;
    FaultCounters serialFaults;
};

// The register file of one module as the next read would answer it.
struct RegisterSnapshot {
    std::uint16_t typeHigh = 0, typeLow = 0;
    std::array<std::uint8_t, 4> version{};
    std::int32_t voltageRaw = 0;  // fixed point, 16 fraction bits
    std::uint32_t warnings = 0;   // bit k = warning k
    std::uint32_t nbPowerUp = 0;
    std::uint32_t timeInService = 0;
    std::uint32_t comOptions = 0;
    std::array<std::uint8_t, 6> mac{};
    std::array<std::uint8_t, 4> ip{};
    std::array<std::uint8_t, 4> mask{};
    std::uint8_t tcpTimeout = 0;
    std::array<char, 16> name{};
    std::uint8_t rs232Config = 0;
    std::uint8_t i2cSpeed = 0;
    std::uint8_t tcpConnectionsOpened = 0;
    std::int32_t analogThresholdRaw = 0;
    std::uint16_t outputs = 0;
    std::uint16_t inputs = 0;
    std::array<std::int32_t, 16> inputVoltageRaw{};
    std::vector<std::uint8_t> commandsSeen;  // command register addresses, in order
};

class Emulator {
public:
    explicit Emulator(std::vector<ModuleConfig> modules, bool answerBroadcast = false);
    ~Emulator();
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    // Binds UDP 7010, TCP 8010 and TCP 8000 on each module's address and starts the
    // I/O thread. False, with the reason in *error, when a configuration is invalid or
    // an address cannot be bound (in use, not local); nothing stays open then.
    bool start(std::string* error = nullptr);
    // Closes every socket and joins the I/O thread. Idempotent; call it from one
    // thread at a time (the destructor calls it too). start() may follow again.
    void stop();

    std::size_t moduleCount() const;
    const ModuleConfig& config(std::size_t module) const;
    // The pseudo-terminal path of a module started with serialPty; empty otherwise.
    std::string ptyPath(std::size_t module) const;

    // Takes effect before it returns (listeners are closed or reopened by then).
    void setFaults(std::size_t module, const Faults& faults);
    Faults faults(std::size_t module) const;
    Counters counters(std::size_t module) const;
    RegisterSnapshot registers(std::size_t module) const;

    // Sets a register's value bytes (width of the register map) and pins it. False
    // for an address outside the map, a command, or a value of the wrong width.
    bool setRegisterValue(std::size_t module, std::uint8_t address, std::span<const std::uint8_t> value);
    // Writes bytes into the emulated EEPROM at a word address (wrapping at 256).
    void setEepromBytes(std::size_t module, std::uint8_t wordAddress, std::span<const std::uint8_t> bytes);
    std::array<std::uint8_t, 256> eeprom(std::size_t module) const;

    // Every complete packet received on TCP 8010, as received (bad checksums too).
    std::vector<std::vector<std::uint8_t>> receivedRequests(std::size_t module) const;
    // Every datagram received on UDP 7010 that this module handled.
    std::vector<std::vector<std::uint8_t>> receivedDatagrams(std::size_t module) const;
    // Every byte received on TCP 8000, in order.
    std::vector<std::uint8_t> serialReceived(std::size_t module) const;
    void clearRecorded(std::size_t module);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The i-th module (0-based) after `base`: the address, the MAC and the trailing
// number of the name count up by i.
ModuleConfig NthModule(const ModuleConfig& base, std::size_t i);

// Starts `modules` modules on consecutive addresses from a random loopback address
// 127.A.B.C (A != 0), retrying with another address when one is in use, so that tests
// running in parallel never collide. The address of `base` is ignored. Null, with the
// reason in *error, when no address could be found.
std::unique_ptr<Emulator> StartOnFreeLoopback(ModuleConfig base = {}, std::size_t modules = 1,
                                              std::string* error = nullptr, bool answerBroadcast = false);

}  // namespace netpod::emu
