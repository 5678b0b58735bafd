// Guards every test that broadcasts or pings: it runs only inside a private network
// namespace whose one interface is loopback.
#pragma once

#include <gtest/gtest.h>
#include <net/if.h>

#include <cstdlib>
#include <string>

namespace netpod::test {

// Empty when the calling process is inside a private namespace that holds nothing
// but loopback; otherwise the reason why it is not.
inline std::string WhyNotInPrivateNetns() {
    if (const char* why = std::getenv("NETPOD_NETNS_UNAVAILABLE"))
        return why;
    if (std::getenv("NETPOD_IN_NETNS") == nullptr)
        return "not started by tests/run_in_netns.sh";
    struct if_nameindex* list = if_nameindex();
    if (list == nullptr)
        return "cannot list the network interfaces";
    std::string other;
    for (auto* i = list; i->if_index != 0; ++i)
        if (std::string(i->if_name) != "lo")
            other = i->if_name;
    if_freenameindex(list);
    if (!other.empty())
        return "the namespace has an interface other than loopback: " + other;
    return {};
}

}  // namespace netpod::test

// Skips the current test unless it runs in a private loopback-only namespace.
#define NETPOD_REQUIRE_PRIVATE_NETNS()                                   \
    do {                                                                 \
        const std::string why_ = ::netpod::test::WhyNotInPrivateNetns(); \
        if (!why_.empty())                                               \
            GTEST_SKIP() << why_;                                        \
    } while (0)
