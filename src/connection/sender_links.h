// What a sender thread is given of its connection: the exchange, the request marks,
// a way to send and a way to log. Not the connection itself.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "connection/exchange.h"
#include "connection/request_store.h"

namespace netpod {

struct SenderLinks {
    Exchange& exchange;
    RequestStore& requests;
    // Sends one slot through the connection's transport. False when it was refused;
    // `closing` then tells whether the connection is being closed (nothing is logged
    // for that).
    std::function<bool(std::span<const std::uint8_t> slot, bool& closing)> send;
    // Reports a failure with the connection's IP text.
    std::function<void(std::string_view message)> log;
    // True once the transport has lost its connection (or never got it): it does not
    // reconnect, so no later send can succeed.
    std::function<bool()> transportLost;
};

}  // namespace netpod
