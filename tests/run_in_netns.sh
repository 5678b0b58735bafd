#!/bin/sh
# Runs a test program inside a private network namespace that holds only loopback,
# with a route for the limited broadcast, so that broadcasts and ICMP echoes of the
# tests never leave this machine. Where no namespace can be made (no privileges),
# the program runs outside with NETPOD_NETNS_UNAVAILABLE set; the tests that need the
# namespace then report themselves skipped with that reason.
if [ "${NETPOD_IN_NETNS:-}" = 1 ]; then
    ip link set lo up || exit 1
    # Loopback addresses have host scope, so without an explicit source a broadcast
    # would leave from 0.0.0.0 and no answer could find its way back.
    ip route add 255.255.255.255/32 dev lo src 127.0.0.1 || exit 1
    exec "$@"
fi
if unshare --net true 2>/dev/null && command -v ip >/dev/null 2>&1; then
    NETPOD_IN_NETNS=1 exec unshare --net "$0" "$@"
fi
NETPOD_NETNS_UNAVAILABLE="no private network namespace here (unshare --net needs privileges and iproute2)" \
    exec "$@"
