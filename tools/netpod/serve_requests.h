// `serve`: the checks every HTTP request passes and the writes a page can ask for.
// Pure functions over header values and bodies, so that each refusal is testable
// without a server.
//
// A write must come from the page itself: the Host must be the address the server
// listens on (a page of another site that renames itself to 127.0.0.1 through its own
// DNS gets nothing), an Origin, where the browser sends one, must be that same
// address, the body must be JSON (which a plain HTML form cannot send), and the
// token printed at start must come in the X-Netpod-Token header, which only a script
// of the same origin can add. Another local user, who can reach the port too, does
// not have the token.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "parsed.h"
#include "value_parsing.h"

namespace netpod::tool::serve {

inline constexpr std::string_view kTokenHeader = "X-Netpod-Token";

// A request turned away: the HTTP status and the reason shown to the client.
struct Refusal {
    int status;
    std::string reason;
};

// The header values that the checks look at; empty when the header is absent.
struct RequestHeaders {
    std::string host;
    std::string origin;
    std::string token;
    std::string contentType;
    std::string fetchSite;  // Sec-Fetch-Site
};

class RequestGuard {
public:
    // `port` is the port actually bound (the listening address may ask for port 0).
    RequestGuard(std::string token, const ListenAddress& listen, int port);

    // Every request: the Host it was sent to.
    std::optional<Refusal> CheckHost(std::string_view host) const;
    // Writes: the host, the origin, the body's type and the token.
    std::optional<Refusal> CheckWrite(const RequestHeaders& headers) const;

private:
    std::string token_;
    bool anyHost_;  // listening on every address: the host names cannot be known
    std::string hostWithPort_;
    std::string localhostWithPort_;  // loopback only
};

// Compares two secrets in a time that does not depend on where they differ.
bool SameSecret(std::string_view a, std::string_view b);

// A new token of 128 random bits, as 32 hexadecimal digits. Empty when the system
// gives no random bytes.
std::string NewToken();

// One write asked for by the page.
struct WriteRequest {
    enum class Kind { Output, Outputs, Threshold, Name, ClearWarnings };
    Kind kind = Kind::ClearWarnings;
    int output = -1;        // Output: 0 to 15
    bool on = false;        // Output
    uint16_t mask = 0;      // Outputs: bit k is output k
    float volts = 0.0F;     // Threshold; the library checks the range
    ModuleNameBytes name{};  // Name, padded with zero bytes
};

// The write that a POST to `path` asks for:
//   /api/outputs         {"output": 3, "on": true}  or  {"mask": 513}
//   /api/threshold       {"volts": 1.5}
//   /api/name            {"name": "line 3"}
//   /api/warnings/clear  {} or no body
// A refusal says what is wrong with the body.
Parsed<WriteRequest> ParseWriteRequest(std::string_view path, std::string_view body);

// The paths that take a POST.
bool IsWritePath(std::string_view path);

}  // namespace netpod::tool::serve
