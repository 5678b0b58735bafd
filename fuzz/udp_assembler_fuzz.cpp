// libFuzzer harness for the UDP side: datagrams from several senders go through the
// packet assembler and the answer decoder into a scan table and a record of every
// TYPE, VERSION and module decoded, as during a real scan. Nothing is logged: the
// reporter is null.
//
// The first input byte chooses where the datagrams are cut. The second chooses how
// many senders take turns (up to 24, more than the assembler keeps partial packets
// for); when odd, that the rest is first made of packets with correct checksums
// (packet_shaping.h), so that the decoder and DecodeVersion run, and otherwise, with
// its bit 1, that every datagram counts as cut short by the receive. Then each
// sender's bytes go out in turns of cut datagrams, and, for shaped packets while no
// sender is forgotten, every sender must get the same findings as when its bytes
// arrive in one datagram.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "discovery/scan_table.h"
#include "packet_shaping.h"
#include "protocol/udp_packet_assembler.h"

namespace {

using netpod::UdpModuleRecord;
using netpod::UdpPacketAssembler;

constexpr std::size_t kMaxSenders = 24;

struct Sender {
    std::string address;
    std::uint16_t port;
};

Sender SenderNumber(std::size_t n) {
    return {"10.0." + std::to_string(n / 4) + "." + std::to_string(1 + n % 4),
            static_cast<std::uint16_t>(7010 + n % 3)};
}

// Everything decoded, per sender, in order; each finding flattened to integers.
class Findings final : public netpod::UdpAnswerSink {
public:
    explicit Findings(ModuleInfo* modules, std::int32_t capacity) : table_(modules, capacity) {}

    void Expect(const Sender& s) { current_ = s.address + ":" + std::to_string(s.port); }

    void TypeDecoded(const std::int32_t (&type)[2]) override {
        CheckWords(type, 2);
        Log({0, type[0], type[1]});
    }
    void VersionDecoded(const std::int32_t (&version)[4]) override {
        CheckVersion(version);
        Log({1, version[0], version[1], version[2], version[3]});
    }
    void ModuleDecoded(const UdpModuleRecord& module) override {
        if (current_ != std::string(module.senderAddress) + ":" + std::to_string(module.senderPort))
            std::abort();   // a record names the sender whose bytes made it
        CheckWords(module.type, 2);
        CheckVersion(module.version);
        std::vector<std::int32_t> entry = {2, module.type[0], module.type[1]};
        entry.insert(entry.end(), std::begin(module.version), std::end(module.version));
        for (const std::int32_t byte : module.mac) {
            if (byte < 0 || byte > 255)
                std::abort();
            entry.push_back(byte);
        }
        for (const char c : module.name)
            entry.push_back(c);
        Log(std::move(entry));
        ++modules_;
        table_.ModuleDecoded(module);
    }

    const std::map<std::string, std::vector<std::vector<std::int32_t>>>& bySender() const { return log_; }
    std::int32_t modules() const { return modules_; }
    std::int32_t tableCount() const { return table_.count(); }

private:
    static void CheckWords(const std::int32_t* words, int n) {
        for (int i = 0; i < n; ++i)
            if (words[i] < 0 || words[i] > 0xFFFF)
                std::abort();
    }
    // Either four bytes (b2, b3, b0, b1 with b0 not zero) or two words and two zeros.
    static void CheckVersion(const std::int32_t (&v)[4]) {
        if (v[2] != 0) {
            for (const std::int32_t part : v)
                if (part < 0 || part > 255)
                    std::abort();
        } else if (v[0] < 0 || v[0] > 255 || v[1] < 0 || v[1] > 0xFFFF || v[3] != 0) {
            std::abort();
        }
    }
    void Log(std::vector<std::int32_t> entry) { log_[current_].push_back(std::move(entry)); }

    netpod::ScanTable table_;
    std::string current_;
    std::map<std::string, std::vector<std::vector<std::int32_t>>> log_;
    std::int32_t modules_ = 0;
};

void Feed(UdpPacketAssembler& assembler, Findings& findings, const Sender& s, std::span<const std::uint8_t> bytes) {
    findings.Expect(s);
    assembler.AssembleUDP_Packet(bytes, s.address, s.port, findings);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const std::size_t cut = 1 + data[0] % 64;
    const bool shaped = (data[1] & 1) != 0;
    const bool cutByReceive = !shaped && (data[1] & 2) != 0;
    const std::size_t senders = 1 + (data[1] >> 2) % kMaxSenders;
    std::vector<std::uint8_t> bytes(data + 2, data + size);

    // Each sender's bytes, in the order it sends them.
    std::vector<std::vector<std::uint8_t>> streams(senders);
    if (shaped) {
        const auto packets = netpod::fuzz::FixUpPackets(bytes, netpod::kUdpRxBufferSize, {});
        std::size_t end = 0;
        for (std::size_t k = 0; k < packets.size(); ++k) {
            auto& to = streams[k % senders];
            to.insert(to.end(), bytes.begin() + static_cast<std::ptrdiff_t>(packets[k].begin),
                      bytes.begin() + static_cast<std::ptrdiff_t>(packets[k].end));
            end = packets[k].end;
        }
        streams[0].insert(streams[0].end(), bytes.begin() + static_cast<std::ptrdiff_t>(end), bytes.end());
    } else {
        for (std::size_t at = 0, n = 0; at < bytes.size(); at += cut, ++n) {
            const std::size_t take = std::min(cut, bytes.size() - at);
            auto& to = streams[n % senders];
            to.insert(to.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                      bytes.begin() + static_cast<std::ptrdiff_t>(at + take));
        }
    }

    // Datagrams of `cut` bytes, the senders taking turns.
    std::atomic<std::uint32_t> checksumErrors{0};
    UdpPacketAssembler assembler(nullptr, checksumErrors);
    std::array<ModuleInfo, 3> modules;
    std::memset(modules.data(), 0xEE, sizeof modules);
    Findings interleaved(modules.data(), 2);
    for (std::size_t round = 0;; ++round) {
        bool any = false;
        for (std::size_t s = 0; s < senders; ++s) {
            const auto& stream = streams[s];
            const std::size_t at = round * cut;
            if (at >= stream.size())
                continue;
            any = true;
            const Sender sender = SenderNumber(s);
            Feed(assembler, interleaved, sender, std::span(stream).subspan(at, std::min(cut, stream.size() - at)));
            if (cutByReceive)
                assembler.DropPartialPacket(sender.address, sender.port);
        }
        if (!any)
            break;
    }
    if (assembler.PartialPackets() > UdpPacketAssembler::kMaxPartialSenders)
        std::abort();
    if (interleaved.tableCount() != interleaved.modules())
        std::abort();
    // Only the capacity's records may be written, however many modules answered.
    const auto* third = reinterpret_cast<const unsigned char*>(&modules[2]);
    for (std::size_t i = 0; i < sizeof modules[2]; ++i)
        if (third[i] != 0xEE)
            std::abort();

    // With no sender forgotten, how the bytes were cut and interleaved must not
    // matter, except that a header announcing more than a packet may hold also
    // drops the rest of its datagram, which shaped packets never announce.
    if (shaped && senders <= UdpPacketAssembler::kMaxPartialSenders) {
        std::atomic<std::uint32_t> wholeErrors{0};
        UdpPacketAssembler whole(nullptr, wholeErrors);
        Findings once(nullptr, 0);
        for (std::size_t s = 0; s < senders; ++s)
            if (!streams[s].empty())
                Feed(whole, once, SenderNumber(s), streams[s]);
        if (once.bySender() != interleaved.bySender() || wholeErrors.load() != checksumErrors.load())
            std::abort();
    }
    return 0;
}
