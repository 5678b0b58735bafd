#include "faults.h"

#include <algorithm>
#include <cstddef>

#include "module_protocol.h"

namespace netpod::emu {
namespace {

constexpr auto kSplitPause = std::chrono::milliseconds(50);

std::vector<std::uint8_t> Concatenate(const std::vector<std::vector<std::uint8_t>>& parts) {
    std::vector<std::uint8_t> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A held response goes out in front of the next one even when the join fault was
// cleared in between, so that it is never lost.
void PutHeldInFront(std::vector<std::uint8_t>& bytes, std::optional<std::vector<std::uint8_t>>& held,
                    FaultCounters& counters) {
    if (!held)
        return;
    bytes.insert(bytes.begin(), held->begin(), held->end());
    held.reset();
    ++counters.joined;
}

}  // namespace

bool FaultsActOn(const Faults& faults, bool mainPort) {
    return mainPort ? faults.tcpOnMainPort : faults.tcpOnSerialPort;
}

bool RefusesConnections(const Faults& faults, bool mainPort) {
    return faults.refuseConnections && FaultsActOn(faults, mainPort);
}

bool ClosesOnAccept(const Faults& faults, bool mainPort) {
    return faults.acceptThenClose && FaultsActOn(faults, mainPort);
}

bool ClosesOnRequest(const Faults& faults, bool mainPort) {
    return faults.tcpCloseOnRequest && FaultsActOn(faults, mainPort);
}

UdpDelivery ShapeUdpAnswer(const Faults& faults, std::vector<std::uint8_t> answer, bool isRead,
                           FaultCounters& counters) {
    UdpDelivery out;
    if (faults.udpNoAnswer) {
        ++counters.dropped;
        return out;
    }
    if (isRead && faults.udpUnknownRegister && InsertUnknownRegister(answer))
        ++counters.unknownRegister;
    if (faults.udpBadChecksum) {
        CorruptChecksum(answer);
        ++counters.corrupted;
    }
    if (faults.udpDouble) {
        const auto copy = answer;
        answer.insert(answer.end(), copy.begin(), copy.end());
        ++counters.doubled;
    }
    if (faults.udpSplit && answer.size() >= 2) {
        const auto half = static_cast<std::ptrdiff_t>(answer.size() / 2);
        out.datagrams.emplace_back(answer.begin(), answer.begin() + half);
        out.datagrams.emplace_back(answer.begin() + half, answer.end());
        ++counters.split;
    } else {
        out.datagrams.push_back(std::move(answer));
    }
    if (faults.udpDelayMs > 0) {
        out.delay = std::chrono::milliseconds(faults.udpDelayMs);
        ++counters.delayed;
    }
    return out;
}

std::vector<TimedBytes> ShapeTcpResponse(const Faults& faults, bool mainPort,
                                         std::vector<std::vector<std::uint8_t>> frames,
                                         std::optional<std::vector<std::uint8_t>>& held, FaultCounters& counters) {
    if (!FaultsActOn(faults, mainPort)) {
        std::vector<std::uint8_t> bytes = Concatenate(frames);
        PutHeldInFront(bytes, held, counters);
        return {TimedBytes{std::chrono::milliseconds(0), std::move(bytes)}};
    }
    if (faults.tcpDrop) {
        ++counters.dropped;
        return {};
    }
    // The packet rewrites only make sense for the register protocol; the serial port
    // carries opaque bytes.
    if (mainPort) {
        for (auto& frame : frames) {
            if (faults.tcpReverseItems && ReverseReadItems(frame))
                ++counters.reordered;
            if (faults.tcpUnknownRegister && InsertUnknownRegister(frame))
                ++counters.unknownRegister;
            if (faults.tcpBadChecksum) {
                CorruptChecksum(frame);
                ++counters.corrupted;
            }
        }
    }
    std::vector<std::uint8_t> bytes = Concatenate(frames);
    if (faults.tcpJoin && !held) {
        held = std::move(bytes);
        return {};
    }
    PutHeldInFront(bytes, held, counters);
    std::chrono::milliseconds delay{0};
    if (faults.tcpDelayMs > 0) {
        delay = std::chrono::milliseconds(faults.tcpDelayMs);
        ++counters.delayed;
    }
    const auto splitAt = static_cast<std::size_t>(std::max(0, faults.tcpSplitAt));
    if (splitAt == 0 || bytes.size() <= splitAt)
        return {TimedBytes{delay, std::move(bytes)}};
    ++counters.split;
    std::vector<std::uint8_t> rest(bytes.begin() + static_cast<std::ptrdiff_t>(splitAt), bytes.end());
    bytes.resize(splitAt);
    std::vector<TimedBytes> sends;
    sends.push_back(TimedBytes{delay, std::move(bytes)});
    sends.push_back(TimedBytes{delay + kSplitPause, std::move(rest)});
    return sends;
}

}  // namespace netpod::emu
