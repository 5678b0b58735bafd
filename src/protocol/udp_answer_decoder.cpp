#include "protocol/udp_answer_decoder.h"

#include <cstring>

#include "protocol/ostrak_packet.h"
#include "protocol/ip_text.h"

namespace netpod {
namespace {

// What one body tells about one module; every body starts from zero.
struct DecodedModule {
    std::int32_t type[2] = {0, 0};
    std::int32_t version[4] = {0, 0, 0, 0};
    std::int32_t mac[6] = {0, 0, 0, 0, 0, 0};
    char name[16] = {};
};

std::size_t ValueWidth(std::uint8_t address) {
    switch (address) {
    case kUdpRegisterType:
    case kUdpRegisterVersion:
        return 4;
    case kUdpRegisterEthernetMac:
        return 6;
    case kUdpRegisterModuleName:
        return 16;
    default:
        return 0;
    }
}

void StoreInScanTable(ScanTable& scan, const DecodedModule& module, std::string_view senderAddress) {
    if (scan.modules != nullptr && scan.count < scan.capacity) {
        ModuleInfo& record = scan.modules[scan.count];
        std::memcpy(record.Type, module.type, sizeof record.Type);
        std::memcpy(record.Version, module.version, sizeof record.Version);
        std::memcpy(record.MacAddress, module.mac, sizeof record.MacAddress);
        std::int32_t address[4] = {0, 0, 0, 0};
        ParseIPText(senderAddress, address);
        std::memcpy(record.IPAddress, address, sizeof record.IPAddress);
        std::memcpy(record.ModuleName, module.name, sizeof record.ModuleName);
    }
    // Every answer counts, so that the caller learns how large an array it needs.
    ++scan.count;
}

}  // namespace

void DecodeVersion(const std::uint8_t* bytes, std::int32_t* version) {
    if (bytes[0] != 0) {
        version[0] = bytes[2];
        version[1] = bytes[3];
        version[2] = bytes[0];
        version[3] = bytes[1];
    } else {
        version[0] = ReadBigEndian16(bytes);
        version[1] = ReadBigEndian16(bytes + 2);
        version[2] = 0;
        version[3] = 0;
    }
}

void ReceiveUDP_Data(UdpExchangeState& state, std::span<const std::uint8_t> body,
                     std::string_view senderAddress, std::uint16_t /*senderPort*/) {
    DecodedModule module;
    std::size_t position = 0;
    while (position < body.size()) {
        const std::uint8_t address = body[position++];
        const std::size_t width = ValueWidth(address);
        if (width == 0) {
            // "gegister" is misspelt, but it is the text that log readers search for.
            Report(state.report, "Receive unknown module gegister\t(ReceiveUDP_Data)", senderAddress);
            return;
        }
        if (body.size() - position < width)
            return;
        const std::uint8_t* value = body.data() + position;
        switch (address) {
        case kUdpRegisterType:
            module.type[0] = ReadBigEndian16(value);
            module.type[1] = ReadBigEndian16(value + 2);
            if (state.initialTestActive)
                std::memcpy(state.detected.type, module.type, sizeof module.type);
            break;
        case kUdpRegisterVersion:
            DecodeVersion(value, module.version);
            if (state.initialTestActive)
                std::memcpy(state.detected.version, module.version, sizeof module.version);
            break;
        case kUdpRegisterModuleName:
            std::memcpy(module.name, value, sizeof module.name);
            break;
        case kUdpRegisterEthernetMac:
            for (int i = 0; i < 6; ++i)
                module.mac[i] = value[i];
            if (state.scan.active)
                StoreInScanTable(state.scan, module, senderAddress);
            break;
        default:
            break;
        }
        position += width;
    }
}

}  // namespace netpod
