#include "netpod_emulator/frame.h"

namespace netpod::emu {

std::uint16_t FrameChecksum(std::span<const std::uint8_t> bytes) {
    std::uint32_t sum = 0;
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2)
        sum += 0xFFFFu - ((std::uint32_t{bytes[i]} << 8) | bytes[i + 1]);
    if (i < bytes.size())
        sum += 0xFFFFu - (std::uint32_t{bytes[i]} << 8);
    sum = (sum >> 16) + (sum & 0xFFFFu);
    sum = (sum >> 16) + (sum & 0xFFFFu);
    return static_cast<std::uint16_t>(sum);
}

std::vector<std::uint8_t> BuildFrame(std::uint16_t code, std::uint16_t askId,
                                     std::span<const std::uint8_t> body) {
    std::vector<std::uint8_t> out;
    out.reserve(body.size() + kFrameOverhead);
    auto put16 = [&out](std::size_t v) {
        out.push_back(static_cast<std::uint8_t>(v >> 8));
        out.push_back(static_cast<std::uint8_t>(v));
    };
    put16(code);
    put16(askId);
    put16(body.size());
    out.insert(out.end(), body.begin(), body.end());
    put16(FrameChecksum(out));
    return out;
}

std::optional<Frame> ParseFrame(std::span<const std::uint8_t> bytes, std::size_t* used) {
    if (bytes.size() < kHeaderSize)
        return std::nullopt;
    const std::size_t bodyLength = (std::size_t{bytes[4]} << 8) | bytes[5];
    const std::size_t total = bodyLength + kFrameOverhead;
    if (bytes.size() < total)
        return std::nullopt;
    Frame frame;
    frame.code = static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
    frame.askId = static_cast<std::uint16_t>((bytes[2] << 8) | bytes[3]);
    frame.body.assign(bytes.begin() + kHeaderSize, bytes.begin() + static_cast<std::ptrdiff_t>(kHeaderSize + bodyLength));
    const std::uint16_t stored = static_cast<std::uint16_t>((bytes[total - 2] << 8) | bytes[total - 1]);
    frame.checksumOk = stored == FrameChecksum(bytes.first(kHeaderSize + bodyLength));
    if (used != nullptr)
        *used = total;
    return frame;
}

std::vector<std::pair<Frame, std::vector<std::uint8_t>>> FrameAssembler::feed(std::span<const std::uint8_t> bytes) {
    std::vector<std::pair<Frame, std::vector<std::uint8_t>>> frames;
    if (broken_)
        return frames;
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    std::size_t start = 0;
    for (;;) {
        const auto rest = std::span<const std::uint8_t>(buffer_).subspan(start);
        if (rest.size() >= kHeaderSize && ((std::size_t{rest[4]} << 8) | rest[5]) > maxBody_) {
            // A length this large is no request of the library; there is no marker to
            // find the next header by, so the stream cannot be followed any further.
            broken_ = true;
            buffer_.clear();
            return frames;
        }
        std::size_t used = 0;
        auto frame = ParseFrame(rest, &used);
        if (!frame)
            break;
        frames.emplace_back(std::move(*frame), std::vector<std::uint8_t>(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(used)));
        start += used;
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start));
    return frames;
}

}  // namespace netpod::emu
