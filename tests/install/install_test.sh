#!/bin/sh
# Installs the build into a temporary prefix, then builds the quickstart example out
# of the tree against the installed files, once through the CMake package and once
# through pkg-config, and runs both against an emulated module. Also checks that the
# installed tool runs on the installed library.
#   install_test.sh BUILD_DIR SOURCE_DIR RUN_WITH_EMULATOR [SANITIZER_FLAGS]
set -eu
build=$1
source=$2
runner=$3
sanitize=${4:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

step() { echo "== $*"; }
fail() { echo "FAILED: $*" >&2; exit 1; }

step "cmake --install into $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

libdir=$(dirname "$(find "$prefix" -name 'libqorvi-netpod.so.2.0.0' | head -n 1)")
[ -n "$libdir" ] && [ -f "$libdir/libqorvi-netpod.so.2.0.0" ] || fail "library not installed"
[ "$(readlink "$libdir/libqorvi-netpod.so.2")" = libqorvi-netpod.so.2.0.0 ] || fail "SONAME link missing"
[ "$(readlink "$libdir/libqorvi-netpod.so")" = libqorvi-netpod.so.2 ] || fail "development link missing"
objdump -p "$libdir/libqorvi-netpod.so.2.0.0" | grep -q 'SONAME *libqorvi-netpod.so.2' || fail "wrong SONAME"
for f in include/qorvi_netpod.h bin/netpod bin/netpod-emulator; do
    [ -e "$prefix/$f" ] || fail "$f not installed"
done
[ -f "$libdir/cmake/QorviNetpod/QorviNetpodConfig.cmake" ] || fail "CMake package not installed"
[ -f "$libdir/pkgconfig/qorvi-netpod.pc" ] || fail "pkg-config file not installed"

step "installed netpod runs on the installed library"
"$prefix/bin/netpod" version | grep -q '^Qorvi-NETPOD_DLLInterface_v2.00_021111$' || fail "netpod version"
"$prefix/bin/netpod" log | grep -q "^error log: $libdir/Error_Qorvi-NETPOD_DLLInterface.log$" \
    || fail "installed netpod does not use the installed library"
"$prefix/bin/netpod" --emulate read type >"$work/type.txt" 2>/dev/null || fail "netpod --emulate read type"
grep -q 'Qorvi-NETPOD 2' "$work/type.txt" || fail "netpod --emulate read type printed: $(cat "$work/type.txt")"

step "build the example with find_package(QorviNetpod)"
cmake -S "$source/tests/install/consumer" -B "$work/cmake-build" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" -DEXAMPLE_SOURCE="$source/examples/quickstart.c" \
    -DCMAKE_C_FLAGS="$sanitize" -DCMAKE_EXE_LINKER_FLAGS="$sanitize" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
ldd "$work/cmake-build/quickstart" | grep -q "$libdir/libqorvi-netpod.so.2" || fail "CMake build links another library"
"$runner" --timeout 60 "$work/cmake-build/quickstart" @ADDRESS@ || fail "example built with CMake"

step "build the example with pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ "$(pkg-config --modversion qorvi-netpod)" = 2.0.0 ] || fail "pkg-config version"
# shellcheck disable=SC2046
cc -std=c11 $sanitize "$source/examples/quickstart.c" -o "$work/quickstart-pc" \
    $(pkg-config --cflags --libs qorvi-netpod) -pthread -Wl,-rpath,"$(pkg-config --variable=libdir qorvi-netpod)"
ldd "$work/quickstart-pc" | grep -q "libqorvi-netpod.so.2 => .*prefix" || fail "pkg-config build links another library"
"$runner" --timeout 60 "$work/quickstart-pc" @ADDRESS@ || fail "example built with pkg-config"
step "the C program of README.md builds against the installed files (it is not run: it names a real address)"
sed -n '/^```c$/,/^```$/p' "$source/README.md" | sed '1d;$d' >"$work/readme.c"
[ -s "$work/readme.c" ] || fail "no C program in README.md"
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror $sanitize "$work/readme.c" -o "$work/readme" \
    $(pkg-config --cflags --libs qorvi-netpod) -pthread || fail "README.md program"
step "all install checks passed"
