#include "serve_requests.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <limits>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "report.h"

namespace netpod::tool::serve {
namespace {

std::string Lowered(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

Parsed<WriteRequest> Refuse(std::string reason) { return Parsed<WriteRequest>::Error(std::move(reason)); }

// A whole number within [low, high]; JSON's 3.0 is not one.
std::optional<int64_t> WholeNumber(const nlohmann::json& body, const char* key, int64_t low, int64_t high) {
    const auto it = body.find(key);
    if (it == body.end() || !it->is_number_integer())
        return std::nullopt;
    if (it->is_number_unsigned()) {
        const auto value = it->get<uint64_t>();
        if (value > static_cast<uint64_t>(high))
            return std::nullopt;
        return static_cast<int64_t>(value);
    }
    const auto value = it->get<int64_t>();
    if (value < low || value > high)
        return std::nullopt;
    return value;
}

}  // namespace

RequestGuard::RequestGuard(std::string token, const ListenAddress& listen, int port) : token_(std::move(token)) {
    const DottedQuad& h = listen.host;
    anyHost_ = h == DottedQuad{0, 0, 0, 0};
    hostWithPort_ = DottedText(h.data()) + ":" + std::to_string(port);
    if (h[0] == 127)
        localhostWithPort_ = "localhost:" + std::to_string(port);
}

std::optional<Refusal> RequestGuard::CheckHost(std::string_view host) const {
    if (anyHost_)
        return std::nullopt;
    const std::string lower = Lowered(host);
    if (lower == hostWithPort_ || (!localhostWithPort_.empty() && lower == localhostWithPort_))
        return std::nullopt;
    return Refusal{403, "this server answers only requests addressed to " + hostWithPort_ +
                            (host.empty() ? " (no Host header)" : ", not to " + std::string(host))};
}

std::optional<Refusal> RequestGuard::CheckWrite(const RequestHeaders& headers) const {
    if (auto refusal = CheckHost(headers.host))
        return refusal;
    if (!headers.origin.empty() && Lowered(headers.origin) != "http://" + Lowered(headers.host))
        return Refusal{403, "writes are accepted only from this server's own page, not from " + headers.origin};
    if (!headers.fetchSite.empty() && headers.fetchSite != "same-origin")
        return Refusal{403, "writes are accepted only from this server's own page (Sec-Fetch-Site: " +
                                headers.fetchSite + ")"};
    const std::string type = Lowered(headers.contentType);
    if (type != "application/json" && !type.starts_with("application/json;"))
        return Refusal{415, "a write is a JSON body (Content-Type: application/json)"};
    if (headers.token.empty())
        return Refusal{403, "a write needs the token of the URL that `netpod serve` printed, in the " +
                                std::string(kTokenHeader) + " header"};
    if (!SameSecret(headers.token, token_))
        return Refusal{403, "wrong token: use the URL that `netpod serve` printed"};
    return std::nullopt;
}

bool SameSecret(std::string_view a, std::string_view b) {
    // The length of a token is no secret; its digits are.
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        difference = static_cast<unsigned char>(difference | (static_cast<unsigned char>(a[i]) ^
                                                              static_cast<unsigned char>(b[i])));
    return difference == 0;
}

std::string NewToken() {
    std::array<unsigned char, 16> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t n = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return {};
        filled += static_cast<std::size_t>(n);
    }
    std::string token;
    for (const unsigned char b : bytes) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", b);
        token += digits;
    }
    return token;
}

bool IsWritePath(std::string_view path) {
    return path == "/api/outputs" || path == "/api/threshold" || path == "/api/name" ||
           path == "/api/warnings/clear";
}

Parsed<WriteRequest> ParseWriteRequest(std::string_view path, std::string_view body) {
    if (!IsWritePath(path))
        return Refuse("nothing to write at " + std::string(path));
    WriteRequest request;
    const bool empty = body.find_first_not_of(" \t\r\n") == std::string_view::npos;
    if (path == "/api/warnings/clear" && empty)
        return request;
    const auto json = nlohmann::json::parse(body, nullptr, false);
    if (json.is_discarded())
        return Refuse("the body is not valid JSON");
    if (!json.is_object())
        return Refuse("the body must be a JSON object");

    if (path == "/api/outputs") {
        if (json.contains("mask")) {
            const auto mask = WholeNumber(json, "mask", 0, 0xFFFF);
            if (!mask)
                return Refuse("\"mask\" must be a whole number from 0 to 65535 (bit k is output k)");
            request.kind = WriteRequest::Kind::Outputs;
            request.mask = static_cast<uint16_t>(*mask);
            return request;
        }
        const auto output = WholeNumber(json, "output", 0, 15);
        if (!output)
            return Refuse("\"output\" must be a whole number from 0 to 15");
        const auto on = json.find("on");
        if (on == json.end() || !on->is_boolean())
            return Refuse("\"on\" must be true or false");
        request.kind = WriteRequest::Kind::Output;
        request.output = static_cast<int>(*output);
        request.on = on->get<bool>();
        return request;
    }
    if (path == "/api/threshold") {
        const auto volts = json.find("volts");
        if (volts == json.end() || !volts->is_number())
            return Refuse("\"volts\" must be a number, such as 1.5");
        // A number beyond the range of a float becomes an infinity, which the library
        // refuses like any other threshold out of range.
        const auto value = volts->get<double>();
        request.kind = WriteRequest::Kind::Threshold;
        const float infinity = std::numeric_limits<float>::infinity();
        request.volts = std::fabs(value) <= std::numeric_limits<float>::max() ? static_cast<float>(value)
                                                                              : (value > 0 ? infinity : -infinity);
        return request;
    }
    if (path == "/api/name") {
        const auto name = json.find("name");
        if (name == json.end() || !name->is_string())
            return Refuse("\"name\" must be a string");
        const auto& text = name->get_ref<const std::string&>();
        if (text.size() > request.name.size())
            return Refuse("a module name has at most 16 bytes");
        std::copy(text.begin(), text.end(), request.name.begin());
        request.kind = WriteRequest::Kind::Name;
        return request;
    }
    request.kind = WriteRequest::Kind::ClearWarnings;
    return request;
}

}  // namespace netpod::tool::serve
