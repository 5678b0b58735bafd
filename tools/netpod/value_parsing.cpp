#include "value_parsing.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string>
#include <type_traits>

namespace netpod::tool {
namespace {

std::string Quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i])
            return false;
    return true;
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

// Whole-text conversion with from_chars: no leading '+', no trailing characters.
template <class T>
bool ConvertWhole(std::string_view text, T& value, int base = 10) {
    if (text.empty())
        return false;
    std::from_chars_result result;
    if constexpr (std::is_floating_point_v<T>)
        result = std::from_chars(text.data(), text.data() + text.size(), value);
    else
        result = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const auto pos = text.find(separator, start);
        parts.push_back(text.substr(start, pos == std::string_view::npos ? std::string_view::npos : pos - start));
        if (pos == std::string_view::npos)
            return parts;
        start = pos + 1;
    }
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

Parsed<std::vector<bool>> FlagsFromMask(std::string_view digits, int base, int count, std::string_view original) {
    uint64_t mask = 0;
    if (!ConvertWhole(digits, mask, base))
        return Parsed<std::vector<bool>>::Error("bad mask " + Quoted(original));
    if (count < 64 && (mask >> count) != 0)
        return Parsed<std::vector<bool>>::Error("mask " + Quoted(original) + " has bits above flag " +
                                                std::to_string(count - 1));
    std::vector<bool> flags(static_cast<std::size_t>(count), false);
    for (int k = 0; k < count; ++k)
        flags[static_cast<std::size_t>(k)] = ((mask >> k) & 1U) != 0;
    return flags;
}

}  // namespace

Parsed<int32_t> ParseInteger(std::string_view text) {
    const std::string_view original = text;
    text = Trimmed(text);
    int64_t value = 0;
    bool ok = false;
    if (StartsWithNoCase(text, "0x")) {
        ok = ConvertWhole(text.substr(2), value, 16);
    } else if (StartsWithNoCase(text, "-0x")) {
        ok = ConvertWhole(text.substr(3), value, 16);
        value = -value;
    } else {
        ok = ConvertWhole(text, value, 10);
    }
    if (!ok || value < INT32_MIN || value > INT32_MAX)
        return Parsed<int32_t>::Error("bad integer " + Quoted(original));
    return static_cast<int32_t>(value);
}

Parsed<float> ParseFloat(std::string_view text) {
    const std::string_view original = text;
    text = Trimmed(text);
    float value = 0;
    if (!ConvertWhole(text, value))
        return Parsed<float>::Error("bad number " + Quoted(original) + " (write it like 1.5)");
    return value;
}

Parsed<DottedQuad> ParseDottedQuad(std::string_view text) {
    const auto parts = Split(Trimmed(text), '.');
    if (parts.size() != 4)
        return Parsed<DottedQuad>::Error("bad address " + Quoted(text) + " (write it like 192.168.0.20)");
    DottedQuad quad{};
    for (std::size_t i = 0; i < 4; ++i) {
        if (!ConvertWhole(parts[i], quad[i]))
            return Parsed<DottedQuad>::Error("bad address " + Quoted(text) + " (write it like 192.168.0.20)");
    }
    return quad;
}

Parsed<ListenAddress> ParseListenAddress(std::string_view text) {
    const auto refuse = [&] {
        return Parsed<ListenAddress>::Error("bad listening address " + Quoted(text) +
                                            " (write it like 127.0.0.1:8080)");
    };
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return refuse();
    const std::string_view host = text.substr(0, colon);
    ListenAddress listen;
    if (host != "localhost") {
        const auto quad = ParseDottedQuad(host);
        if (!quad)
            return refuse();
        for (const int32_t part : *quad)
            if (part < 0 || part > 255)
                return refuse();
        listen.host = *quad;
    }
    if (!ConvertWhole(text.substr(colon + 1), listen.port) || listen.port < 0 || listen.port > 65535)
        return refuse();
    return listen;
}

Parsed<MacAddress> ParseMac(std::string_view text) {
    const std::string_view trimmed = Trimmed(text);
    const char separator = trimmed.find('-') != std::string_view::npos ? '-' : ':';
    const auto parts = Split(trimmed, separator);
    MacAddress mac{};
    if (parts.size() != 6)
        return Parsed<MacAddress>::Error("bad MAC address " + Quoted(text) + " (write it like 02:00:00:00:00:01)");
    for (std::size_t i = 0; i < 6; ++i) {
        if (parts[i].size() > 2 || !ConvertWhole(parts[i], mac[i], 16))
            return Parsed<MacAddress>::Error("bad MAC address " + Quoted(text) +
                                             " (write it like 02:00:00:00:00:01)");
    }
    return mac;
}

Parsed<std::vector<uint8_t>> ParseHexBytes(std::string_view text) {
    std::vector<uint8_t> bytes;
    std::string token;
    auto flush = [&]() -> bool {
        std::string_view digits = token;
        const bool prefixed = StartsWithNoCase(digits, "0x");
        if (prefixed)
            digits.remove_prefix(2);
        if (digits.empty())
            return token.empty();
        // "0xa" and a lone "a" are one byte; otherwise the digits go in pairs.
        if (digits.size() == 1 || (prefixed && digits.size() <= 2)) {
            const int high = digits.size() == 2 ? HexDigit(digits[0]) : 0;
            const int low = HexDigit(digits.back());
            if (high < 0 || low < 0)
                return false;
            bytes.push_back(static_cast<uint8_t>(high * 16 + low));
        } else {
            if (digits.size() % 2 != 0)
                return false;
            for (std::size_t i = 0; i < digits.size(); i += 2) {
                const int high = HexDigit(digits[i]);
                const int low = HexDigit(digits[i + 1]);
                if (high < 0 || low < 0)
                    return false;
                bytes.push_back(static_cast<uint8_t>(high * 16 + low));
            }
        }
        token.clear();
        return true;
    };
    for (const char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)) || c == ',' || c == ':') {
            if (!flush())
                return Parsed<std::vector<uint8_t>>::Error("bad hexadecimal bytes " + Quoted(text) +
                                                           " (write them like \"a0 00 10\")");
        } else {
            token.push_back(c);
        }
    }
    if (!flush())
        return Parsed<std::vector<uint8_t>>::Error("bad hexadecimal bytes " + Quoted(text) +
                                                   " (write them like \"a0 00 10\")");
    if (bytes.empty())
        return Parsed<std::vector<uint8_t>>::Error("no bytes given");
    return bytes;
}

Parsed<std::vector<bool>> ParseFlagSet(std::string_view text, int count) {
    const std::string_view trimmed = Trimmed(text);
    const std::string lower = Lower(trimmed);
    if (lower.empty() || lower == "none")
        return std::vector<bool>(static_cast<std::size_t>(count), false);
    if (lower == "all")
        return std::vector<bool>(static_cast<std::size_t>(count), true);
    if (StartsWithNoCase(trimmed, "0x"))
        return FlagsFromMask(trimmed.substr(2), 16, count, text);
    if (StartsWithNoCase(trimmed, "0b"))
        return FlagsFromMask(trimmed.substr(2), 2, count, text);

    std::vector<bool> flags(static_cast<std::size_t>(count), false);
    const std::string range = "0 to " + std::to_string(count - 1);
    for (std::string_view item : Split(trimmed, ',')) {
        item = Trimmed(item);
        int first = 0;
        int last = 0;
        const auto dash = item.find('-');
        const bool ok = dash == std::string_view::npos
                            ? (ConvertWhole(item, first) && (last = first, true))
                            : (ConvertWhole(item.substr(0, dash), first) && ConvertWhole(item.substr(dash + 1), last));
        if (!ok)
            return Parsed<std::vector<bool>>::Error("bad flag list " + Quoted(text) +
                                                    " (write numbers like \"0,9\" or a mask like \"0x0201\")");
        if (first < 0 || last >= count || first > last)
            return Parsed<std::vector<bool>>::Error("flag numbers in " + Quoted(text) + " must be " + range);
        for (int k = first; k <= last; ++k)
            flags[static_cast<std::size_t>(k)] = true;
    }
    return flags;
}

Parsed<ModuleNameBytes> ParseModuleName(std::string_view text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
        text = text.substr(1, text.size() - 2);
    ModuleNameBytes name{};
    if (text.size() > name.size())
        return Parsed<ModuleNameBytes>::Error("module name " + Quoted(text) + " is longer than 16 characters");
    std::copy(text.begin(), text.end(), name.begin());
    return name;
}

Parsed<WriteItem> ParseWriteItem(std::string_view text) {
    const auto equals = text.find('=');
    const std::string_view name = text.substr(0, equals);
    const auto found = FindRegister(name);
    if (!found)
        return Parsed<WriteItem>::Error(found.error());
    const RegisterRef ref = *found;
    const RegisterInfo& info = InfoOf(ref.reg);
    const std::string shown = DisplayName(ref);
    if (!info.writable)
        return Parsed<WriteItem>::Error("register '" + shown + "' cannot be written");
    if (info.command) {
        if (equals != std::string_view::npos)
            return Parsed<WriteItem>::Error("'" + shown + "' is a command and takes no value");
        return WriteItem{ref, std::monostate{}};
    }
    if (equals == std::string_view::npos)
        return Parsed<WriteItem>::Error("give a value: " + shown + "=VALUE, with VALUE " +
                                        std::string(info.valueHelp));
    const std::string_view value = text.substr(equals + 1);

    // Turns a parse result into a write item, or passes its reason on.
    auto make = [&](const auto& parsed) -> Parsed<WriteItem> {
        if (!parsed)
            return Parsed<WriteItem>::Error(shown + ": " + parsed.error());
        return WriteItem{ref, WriteValue{*parsed}};
    };
    switch (ref.reg) {
    case Register::Warnings: {
        const std::string lower = Lower(Trimmed(value));
        if (lower == "0" || lower == "reset" || lower == "none" || lower == "0x0" || lower == "0x00000000")
            return WriteItem{ref, std::monostate{}};
        return Parsed<WriteItem>::Error("warnings can only be cleared: warnings=0");
    }
    case Register::ComOptions:
        return make(ParseFlagSet(value, 32));
    case Register::Outputs:
        return make(ParseFlagSet(value, 16));
    case Register::Ip:
    case Register::Mask:
        return make(ParseDottedQuad(value));
    case Register::TcpTimeout:
    case Register::Rs232Config:
    case Register::I2cSpeed:
        return make(ParseInteger(value));
    case Register::Threshold:
        return make(ParseFloat(value));
    case Register::Name:
        return make(ParseModuleName(value));
    default:
        return Parsed<WriteItem>::Error("register '" + shown + "' cannot be written");
    }
}

}  // namespace netpod::tool
