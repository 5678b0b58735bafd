// What one emulated module answers to each request packet, over TCP and UDP, and the
// packet-level faults that can be applied to an answer. No sockets here.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "i2c_bus.h"
#include "netpod_emulator/emulator.h"
#include "netpod_emulator/frame.h"
#include "register_file.h"

namespace netpod::emu {

struct ModuleModel {
    explicit ModuleModel(const ModuleConfig& config) : registers(config) {}
    RegisterFile registers;
    I2CBus i2c;
    Counters counters;
};

// The body of a ReadAnswer: each readable requested register, in the order asked,
// as its address byte and value bytes. Addresses outside the map are left out and
// counted in *unknown.
std::vector<std::uint8_t> ReadAnswerBody(const RegisterFile& registers, std::span<const std::uint8_t> addresses,
                                         double seconds, std::uint64_t* unknown);

struct MainAnswer {
    std::vector<std::vector<std::uint8_t>> frames;  // answer packets, in order
    bool reset = false;                             // a RESETCPU was carried out
};

// Handles one complete packet received on the main port and appends its answer.
void AnswerMainPacket(ModuleModel& module, const Frame& request, double seconds, MainAnswer& out);

// Handles one packet received on UDP 7010. Nothing when the module stays silent
// (another module's MAC, an unknown code, a bad checksum). With typeOnly, any read is
// answered with TYPE alone.
std::optional<std::vector<std::uint8_t>> AnswerUdpPacket(ModuleModel& module, const Frame& request, double seconds,
                                                         bool typeOnly);

// Puts kUnknownRegisterAddress (with four zero bytes) behind the first item of a
// ReadAnswer packet and frames it again. False, unchanged, for any other packet.
bool InsertUnknownRegister(std::vector<std::uint8_t>& frame);
// Rewrites a ReadAnswer frame with its items in reverse order (a module may answer
// in any order). False when the frame is no read answer with two items or more.
bool ReverseReadItems(std::vector<std::uint8_t>& frame);
// Makes the checksum of a framed packet wrong in both bytes.
void CorruptChecksum(std::vector<std::uint8_t>& frame);

}  // namespace netpod::emu
