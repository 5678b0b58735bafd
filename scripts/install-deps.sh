#!/bin/sh
# Installs the Debian packages that building, testing, packaging and the demo need,
# and only those that are missing. Safe to run again. `install-deps.sh fuzz` adds
# clang and its libFuzzer runtime for the fuzz harnesses, `lint` clang-format and
# clang-tidy, `browser` Chromium and chromedriver for the browser test of `netpod
# serve` (large; the test reports itself skipped where they are missing). tshark and
# python3 run the Wireshark dissector's tests; DEBIAN_FRONTEND=noninteractive answers
# tshark's question about capturing as a normal user with its default (no).
set -e
packages="cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev googletest libbenchmark-dev iproute2 util-linux
tshark python3 dpkg-dev file libcpp-httplib-dev nlohmann-json3-dev"
# The Python package's tests, including its offline install with pip into a venv.
packages="$packages python3 python3-venv python3-pip python3-setuptools python3-wheel"
[ "${1:-}" = fuzz ] && packages="$packages clang libclang-rt-14-dev"
[ "${1:-}" = lint ] && packages="clang-format clang-tidy"
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
