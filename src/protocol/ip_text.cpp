#include "protocol/ip_text.h"

#include <charconv>

namespace netpod {
namespace {

std::int32_t PieceValue(std::string_view piece) {
    std::int32_t value = -1;
    if (piece.empty())
        return -1;
    const auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
    if (error != std::errc() || end != piece.data() + piece.size())
        return -1;
    return value;
}

}  // namespace

std::string DottedIPText(const std::int32_t* values) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        if (i > 0)
            text.push_back('.');
        text.append(std::to_string(values[i]));
    }
    return text;
}

void ParseIPText(std::string_view text, std::int32_t* values) {
    for (int index = 0; index < 3; ++index) {
        const auto dot = text.find('.');
        if (dot == std::string_view::npos)
            return;
        values[index] = PieceValue(text.substr(0, dot));
        text.remove_prefix(dot + 1);
        // The third dot also settles the fourth value: the whole rest of the text.
        if (index == 2)
            values[3] = PieceValue(text);
    }
}

bool AllInByteRange(const std::int32_t* values, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (values[i] < 0 || values[i] > 255)
            return false;
    return true;
}

}  // namespace netpod
