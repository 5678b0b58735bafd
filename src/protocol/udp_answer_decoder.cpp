#include "protocol/udp_answer_decoder.h"
#include "protocol/messages.h"

#include <cstring>

#include "protocol/ostrak_packet.h"

namespace netpod {
namespace {

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

void ReceiveUDP_Data(std::span<const std::uint8_t> body, std::string_view senderAddress, std::uint16_t senderPort,
                     UdpAnswerSink& sink, ErrorReporter report) {
    UdpModuleRecord module;
    module.senderAddress = senderAddress;
    module.senderPort = senderPort;
    std::size_t position = 0;
    while (position < body.size()) {
        const std::uint8_t address = body[position++];
        const std::size_t width = ValueWidth(address);
        if (width == 0) {
            Report(report, messages::kUnknownModuleRegister, senderAddress);
            return;
        }
        if (body.size() - position < width)
            return;
        const std::uint8_t* value = body.data() + position;
        switch (address) {
        case kUdpRegisterType:
            module.type[0] = ReadBigEndian16(value);
            module.type[1] = ReadBigEndian16(value + 2);
            sink.TypeDecoded(module.type);
            break;
        case kUdpRegisterVersion:
            DecodeVersion(value, module.version);
            sink.VersionDecoded(module.version);
            break;
        case kUdpRegisterModuleName:
            std::memcpy(module.name, value, sizeof module.name);
            break;
        case kUdpRegisterEthernetMac:
            for (int i = 0; i < 6; ++i)
                module.mac[i] = value[i];
            sink.ModuleDecoded(module);
            break;
        default:
            break;
        }
        position += width;
    }
}

}  // namespace netpod
