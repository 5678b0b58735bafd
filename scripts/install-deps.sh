#!/bin/sh
# Installs the Debian packages that building, testing and the demo need, and only
# those that are missing. Safe to run again. `install-deps.sh fuzz` adds clang and
# its libFuzzer runtime for the fuzz harnesses; `install-deps.sh browser` adds
# Chromium and chromedriver for the browser test of `netpod serve` (large; the test
# reports itself skipped where they are missing).
set -e
packages="cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev googletest libbenchmark-dev iproute2 util-linux
libcpp-httplib-dev nlohmann-json3-dev"
[ "${1:-}" = fuzz ] && packages="$packages clang libclang-rt-14-dev"
[ "${1:-}" = browser ] && packages="chromium chromium-driver"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
