// Replays thousands of pseudo-random answer streams through the assembler, cut into
// random batches. A stream mixes good answers, answers with a damaged checksum,
// packets of other kinds, oversized packets and plain noise. Built with
// AddressSanitizer, any write or read outside the assembler's buffers or the record
// stops the run; in every build the counts and the decoded record must not depend on
// how the stream was cut.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "protocol/ostrak_packet.h"
#include "protocol/register_map.h"
#include "protocol/response_analysis.h"

namespace netpod {
namespace {

using Bytes = std::vector<std::uint8_t>;

bool IgnoreReport(std::string_view, std::string_view) { return true; }

// What a packet of a made stream is, for the expected outcome.
enum class Kind { Answer, OtherFunction, Damaged, Oversized };

struct Stream {
    Bytes bytes;
    std::vector<Kind> kinds;   // every packet framed by its length field, in order
};

// What the assembler must make of a framed stream. Packets are taken one after the
// other until one fails (a wrong checksum, a length no answer has): that one is
// reported, and the stream is searched for the next packet that checks out and
// whose function code an answer can have. Packets passed over meanwhile are neither
// reported nor counted.
struct Expected {
    int completed = 0;
    int damaged = 0;
    int oversized = 0;
};

Expected ExpectedOutcome(const Stream& s) {
    Expected e;
    bool inStep = true;
    for (const Kind kind : s.kinds) {
        if (!inStep) {
            if (kind == Kind::Answer) {
                inStep = true;
                ++e.completed;
            }
            continue;
        }
        ++e.completed;
        if (kind == Kind::Damaged || kind == Kind::Oversized) {
            (kind == Kind::Damaged ? e.damaged : e.oversized)++;
            inStep = false;
        }
    }
    return e;
}

class StreamMaker {
public:
    explicit StreamMaker(std::uint32_t seed) : rng_(seed) {}

    int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    std::uint8_t Byte() { return static_cast<std::uint8_t>(Uniform(0, 255)); }

    // Registers a ReadAnswer may carry; occasionally an address the module lacks.
    Bytes ReadItems() {
        static const std::uint8_t kAddresses[] = {0x00, 0x01, 0x07, 0x08, 0x0B, 0x0C, 0x10, 0x11, 0x12, 0x13,
                                                  0x14, 0x15, 0x16, 0x18, 0x1A, 0x20, 0x21, 0x23, 0x30, 0x3F};
        Bytes items;
        const int n = Uniform(0, 12);
        for (int i = 0; i < n; ++i) {
            std::uint8_t address = kAddresses[Uniform(0, static_cast<int>(std::size(kAddresses)) - 1)];
            if (Uniform(0, 40) == 0)
                address = Byte();
            items.push_back(address);
            const int width = ItemValueSize(address) < 0 ? Uniform(0, 4) : ItemValueSize(address);
            for (int b = 0; b < width; ++b)
                items.push_back(Byte());
        }
        if (Uniform(0, 20) == 0 && !items.empty())
            items.pop_back();   // an item cut short
        return items;
    }

    void AddPacket(Stream& s, std::uint16_t function, const Bytes& body) {
        Bytes packet(body.size() + kOstrakOverhead);
        BuildOstrakPacket(function, static_cast<std::uint16_t>(Uniform(0, 0xFFFF)), body, packet);
        Kind kind = function == kReadAnswer || function == kI2CTransferAnswer || function == kI2CScanAnswer ||
                            function == kWriteRegisters
                        ? Kind::Answer
                        : Kind::OtherFunction;
        if (Uniform(0, 9) == 0) {
            // Damage the body or the checksum, never the length field, so that the
            // framing and therefore the expected counts stay known.
            const std::size_t at = 6 + static_cast<std::size_t>(Uniform(0, static_cast<int>(body.size()) + 1));
            packet[at] ^= static_cast<std::uint8_t>(Uniform(1, 255));
            kind = Kind::Damaged;
        }
        s.bytes.insert(s.bytes.end(), packet.begin(), packet.end());
        s.kinds.push_back(kind);
    }

    Stream Make(bool withNoise) {
        Stream s;
        const int count = Uniform(1, 12);
        for (int i = 0; i < count; ++i) {
            switch (Uniform(0, 9)) {
            case 0: {
                Bytes body(static_cast<std::size_t>(Uniform(0, 260)));
                for (auto& b : body)
                    b = Byte();
                AddPacket(s, kI2CTransferAnswer, body);
                break;
            }
            case 1: {
                Bytes body(static_cast<std::size_t>(Uniform(0, 200)));
                for (auto& b : body)
                    b = Byte();
                AddPacket(s, kI2CScanAnswer, body);
                break;
            }
            case 2: {
                Bytes body(static_cast<std::size_t>(Uniform(0, 712)));
                for (auto& b : body)
                    b = Byte();
                AddPacket(s, static_cast<std::uint16_t>(Uniform(0, 0xFFFF)), body);
                break;
            }
            case 3: {
                // Longer than the assembly buffer: no answer has such a length.
                const int body = Uniform(713, 3000);
                s.bytes.insert(s.bytes.end(), {Byte(), Byte(), Byte(), Byte(), static_cast<std::uint8_t>(body >> 8),
                                               static_cast<std::uint8_t>(body)});
                for (int b = 0; b < body + 2; ++b)
                    s.bytes.push_back(Byte());
                s.kinds.push_back(Kind::Oversized);
                break;
            }
            default:
                AddPacket(s, kReadAnswer, ReadItems());
                break;
            }
        }
        if (withNoise) {
            // Noise anywhere breaks the framing; only robustness is asked of it.
            const int n = Uniform(1, 64);
            for (int i = 0; i < n; ++i)
                s.bytes.insert(s.bytes.begin() + Uniform(0, static_cast<int>(s.bytes.size())), Byte());
        }
        return s;
    }

    // Cuts `bytes` into batches of random sizes, some empty, some very long.
    std::vector<std::pair<std::size_t, std::size_t>> Cuts(std::size_t total) {
        std::vector<std::pair<std::size_t, std::size_t>> cuts;
        std::size_t pos = 0;
        while (pos < total) {
            const int pick = Uniform(0, 9);
            std::size_t n = pick < 4 ? static_cast<std::size_t>(Uniform(0, 8))
                          : pick < 8 ? static_cast<std::size_t>(Uniform(1, 400))
                                     : total - pos;
            n = std::min(n, total - pos);
            cuts.emplace_back(pos, n);
            pos += n;
        }
        return cuts;
    }

private:
    std::mt19937 rng_;
};

struct Outcome {
    RegisterValues values;
    int completed = 0;
    std::int32_t checksumErrors = 0;
    std::int32_t oversized = 0;
};

Outcome Replay(const Bytes& bytes, const std::vector<std::pair<std::size_t, std::size_t>>& cuts) {
    Outcome out;
    std::memset(&out.values, 0, sizeof out.values);
    ResponseAssembler assembler(&IgnoreReport);
    for (const auto& [from, n] : cuts) {
        out.completed += assembler.ReceivedRawData({bytes.data() + from, n}, out.values);
        EXPECT_GE(assembler.RxNeed(), 1);
        EXPECT_LE(assembler.RxCount(), kRxPacketCapacity);
    }
    out.checksumErrors = assembler.NbChecksumError();
    out.oversized = assembler.NbOversizedPacket();
    return out;
}

void ExpectSameOutcome(const Outcome& whole, const Outcome& cut) {
    EXPECT_EQ(whole.completed, cut.completed);
    EXPECT_EQ(whole.checksumErrors, cut.checksumErrors);
    EXPECT_EQ(whole.oversized, cut.oversized);
    EXPECT_EQ(0, std::memcmp(&whole.values, &cut.values, sizeof whole.values));
}

TEST(ResponseReplay, FramedStreamsGiveTheSameResultHoweverCut) {
    StreamMaker maker(0x5EED1);
    for (int round = 0; round < 3000; ++round) {
        SCOPED_TRACE(round);
        const Stream s = maker.Make(false);
        const Outcome whole = Replay(s.bytes, {{0, s.bytes.size()}});
        const Expected expected = ExpectedOutcome(s);
        EXPECT_EQ(whole.completed, expected.completed);
        EXPECT_EQ(whole.checksumErrors, expected.damaged);
        EXPECT_EQ(whole.oversized, expected.oversized);
        ExpectSameOutcome(whole, Replay(s.bytes, maker.Cuts(s.bytes.size())));
        if (HasFailure())
            break;
    }
}

TEST(ResponseReplay, NoisyStreamsStayInsideTheBuffers) {
    StreamMaker maker(0xC0FFEE);
    for (int round = 0; round < 3000; ++round) {
        SCOPED_TRACE(round);
        const Stream s = maker.Make(true);
        const Outcome whole = Replay(s.bytes, {{0, s.bytes.size()}});
        ExpectSameOutcome(whole, Replay(s.bytes, maker.Cuts(s.bytes.size())));
        EXPECT_LE(whole.values.I2CAnswerLength, 180);
        EXPECT_LE(whole.values.ScanI2CLength, 127);
        if (HasFailure())
            break;
    }
}

}  // namespace
}  // namespace netpod
