#include "module_protocol.h"

#include <algorithm>

namespace netpod::emu {

std::vector<std::uint8_t> ReadAnswerBody(const RegisterFile& registers, std::span<const std::uint8_t> addresses,
                                         double seconds, std::uint64_t* unknown) {
    std::vector<std::uint8_t> body;
    for (std::uint8_t address : addresses) {
        const auto value = registers.read(address, seconds);
        if (!value) {
            if (unknown != nullptr)
                ++*unknown;
            continue;
        }
        body.push_back(address);
        body.insert(body.end(), value->begin(), value->end());
    }
    return body;
}

namespace {

// Carries out the items of a WriteRegisters body in order. An address outside the map
// gives no width to skip by, so the items behind it cannot be found and are dropped.
void ApplyWrite(ModuleModel& module, std::span<const std::uint8_t> body, bool* reset) {
    Counters& c = module.counters;
    std::size_t p = 0;
    while (p < body.size()) {
        const std::uint8_t address = body[p++];
        const auto width = RegisterWidth(address);
        if (!width || p + *width > body.size()) {
            ++c.mainUnknownRegisters;
            return;
        }
        const auto value = body.subspan(p, *width);
        p += *width;
        if (IsCommandRegister(address)) {
            module.registers.command(address);
            switch (address) {
            case kRegResetCpu:
                ++c.resets;
                *reset = true;
                break;
            case kRegSaveUserParameters:
                ++c.userSaves;
                break;
            case kRegRestoreUserParameters:
                ++c.userRestores;
                break;
            case kRegRestoreFactoryParameters:
                ++c.factoryRestores;
                break;
            default:
                ++c.factorySaves;
                break;
            }
        } else {
            module.registers.write(address, value);  // read-only registers ignore writes
        }
    }
}

}  // namespace

void AnswerMainPacket(ModuleModel& module, const Frame& request, double seconds, MainAnswer& out) {
    Counters& c = module.counters;
    if (!request.checksumOk) {
        ++c.mainBadChecksums;
        return;
    }
    switch (request.code) {
    case kCodeReadRegisters: {
        ++c.mainReads;
        const auto body = ReadAnswerBody(module.registers, request.body, seconds, &c.mainUnknownRegisters);
        out.frames.push_back(BuildFrame(kCodeReadAnswer, request.askId, body));
        break;
    }
    case kCodeWriteRegisters:
        ++c.mainWrites;
        ApplyWrite(module, request.body, &out.reset);
        out.frames.push_back(BuildFrame(kCodeWriteRegisters, request.askId, {}));
        break;
    case kCodeI2CTransfer: {
        ++c.mainI2CTransfers;
        const auto body = module.i2c.transfer(request.body);
        out.frames.push_back(BuildFrame(kCodeI2CTransferAnswer, request.askId, body));
        break;
    }
    case kCodeI2CScan: {
        ++c.mainI2CScans;
        const auto body = module.i2c.scan();
        out.frames.push_back(BuildFrame(kCodeI2CScanAnswer, request.askId, body));
        break;
    }
    default:
        ++c.mainUnknownFunctions;
        break;
    }
}

std::optional<std::vector<std::uint8_t>> AnswerUdpPacket(ModuleModel& module, const Frame& request, double seconds,
                                                         bool typeOnly) {
    Counters& c = module.counters;
    if (!request.checksumOk) {
        ++c.udpBadPackets;
        return std::nullopt;
    }
    if (request.code == kCodeReadRegisters) {
        ++c.udpReads;
        const std::uint8_t typeAddress = kRegType;
        const auto addresses = typeOnly ? std::span<const std::uint8_t>(&typeAddress, 1)
                                        : std::span<const std::uint8_t>(request.body);
        return BuildFrame(kCodeReadAnswer, request.askId, ReadAnswerBody(module.registers, addresses, seconds, nullptr));
    }
    if (request.code == kCodeSetIpConfiguration && request.body.size() == 14) {
        const auto& mac = module.registers.mac();
        if (!std::equal(mac.begin(), mac.end(), request.body.begin())) {
            ++c.udpChangeIpIgnored;
            return std::nullopt;
        }
        std::array<std::uint8_t, 4> ip{}, mask{};
        std::copy_n(request.body.begin() + 6, 4, ip.begin());
        std::copy_n(request.body.begin() + 10, 4, mask.begin());
        module.registers.setIpConfiguration(ip, mask);
        ++c.udpChangeIpApplied;
        return BuildFrame(kCodeSetIpConfiguration, request.askId, {});
    }
    ++c.udpBadPackets;
    return std::nullopt;
}

bool InsertUnknownRegister(std::vector<std::uint8_t>& frame) {
    const auto parsed = ParseFrame(frame);
    if (!parsed || parsed->code != kCodeReadAnswer || parsed->body.empty())
        return false;
    const auto width = RegisterWidth(parsed->body[0]);
    if (!width || 1 + *width > parsed->body.size())
        return false;
    std::vector<std::uint8_t> body = parsed->body;
    const std::uint8_t unknownItem[] = {kUnknownRegisterAddress, 0, 0, 0, 0};
    body.insert(body.begin() + static_cast<std::ptrdiff_t>(1 + *width), std::begin(unknownItem), std::end(unknownItem));
    frame = BuildFrame(parsed->code, parsed->askId, body);
    return true;
}

bool ReverseReadItems(std::vector<std::uint8_t>& frame) {
    const auto parsed = ParseFrame(frame);
    if (!parsed || parsed->code != kCodeReadAnswer)
        return false;
    std::vector<std::vector<std::uint8_t>> items;
    for (std::size_t p = 0; p < parsed->body.size();) {
        const auto width = RegisterWidth(parsed->body[p]);
        if (!width || p + 1 + *width > parsed->body.size())
            return false;
        items.emplace_back(parsed->body.begin() + static_cast<std::ptrdiff_t>(p),
                           parsed->body.begin() + static_cast<std::ptrdiff_t>(p + 1 + *width));
        p += 1 + *width;
    }
    if (items.size() < 2)
        return false;
    std::vector<std::uint8_t> body;
    for (auto it = items.rbegin(); it != items.rend(); ++it)
        body.insert(body.end(), it->begin(), it->end());
    frame = BuildFrame(parsed->code, parsed->askId, body);
    return true;
}

void CorruptChecksum(std::vector<std::uint8_t>& frame) {
    if (frame.size() < kFrameOverhead)
        return;
    frame[frame.size() - 2] ^= 0xA5;
    frame[frame.size() - 1] ^= 0x5A;
}

}  // namespace netpod::emu
