#!/bin/sh
# Makes the Debian packages of the build tree with CPack in a temporary folder and
# checks them as a user receives them: names, versions, dependencies, control files
# and the exact file lists; then unpacks them into a temporary root (nothing is
# installed on the system), builds the quickstart example against the unpacked
# development package, once through pkg-config and once through the CMake package,
# and runs it, the packaged netpod and the packaged netpod-emulator on loopback.
#   package_test.sh CPACK BUILD_DIR SOURCE_DIR RUN_WITH_EMULATOR LIBDIR MULTIARCH
# Exits 77 (skipped) where the Debian tools are missing.
set -eu
cpack=$1
build=$2
source=$3
runner=$4
libdir=$5
multiarch=$6

step() { echo "== $*"; }
fail() { echo "FAILED: $*" >&2; exit 1; }

for tool in dpkg-deb dpkg-shlibdeps dpkg file readelf; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIPPED: $tool is not installed (scripts/install-deps.sh installs it)"
        exit 77
    fi
done

work=$(mktemp -d)
emulator_pid=""
cleanup() {
    if [ -n "$emulator_pid" ]; then
        kill "$emulator_pid" 2>/dev/null || true
        wait "$emulator_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# The first entry of the Debian changelog names the version that every package
# must carry; its upstream part is the project's version.
version=$(sed -n '1s/^qorvi-netpod (\([^)]*\)) .*/\1/p' "$source/packaging/debian/changelog")
[ -n "$version" ] || fail "no version in the first line of packaging/debian/changelog"
upstream=${version%-*}
arch=$(dpkg --print-architecture)
lib=usr/$libdir
doc=usr/share/doc

runtime=libqorvi-netpod2
dev=libqorvi-netpod-dev
tools=qorvi-netpod-tools
python=python3-qorvi-netpod
packages="$runtime $dev $tools"
with_python=no
if [ -d "$source/python/qorvi_netpod" ]; then
    with_python=yes
    packages="$packages $python"
fi
with_dissector=no
[ -f "$source/tools/wireshark/qorvi_netpod.lua" ] && with_dissector=yes

step "cpack into $work/debs"
(cd "$build" && "$cpack" -B "$work/debs") >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }

deb_of() {
    if [ "$1" = "$python" ]; then echo "$work/debs/${1}_${version}_all.deb"; else echo "$work/debs/${1}_${version}_${arch}.deb"; fi
}

step "exactly the expected packages, named <package>_<version>_<architecture>.deb"
expected_debs=""
for p in $packages; do expected_debs="$expected_debs $(basename "$(deb_of "$p")")"; done
actual_debs=$(find "$work/debs" -maxdepth 1 -name '*.deb' -printf '%f\n' | sort | tr '\n' ' ')
expected_debs=$(echo "$expected_debs" | tr ' ' '\n' | sed '/^$/d' | sort | tr '\n' ' ')
[ "$actual_debs" = "$expected_debs" ] || fail "packages: got [$actual_debs], expected [$expected_debs]"

field() { dpkg-deb -f "$(deb_of "$1")" "$2"; }
# has_dependency PACKAGE DEPENDENCY: DEPENDENCY is one of the comma-separated Depends items.
has_dependency() {
    field "$1" Depends | tr ',' '\n' | sed 's/^ *//;s/ *$//' | grep -qxF "$2" \
        || fail "$1 Depends [$(field "$1" Depends)] lacks [$2]"
}

step "control fields"
for p in $packages; do
    [ "$(field "$p" Package)" = "$p" ] || fail "$p: Package is $(field "$p" Package)"
    [ "$(field "$p" Version)" = "$version" ] || fail "$p: Version is $(field "$p" Version), not $version"
    field "$p" Maintainer | grep -q '^Qorvi-NETPOD developers <.*>$' || fail "$p: Maintainer $(field "$p" Maintainer)"
    [ -n "$(field "$p" Description)" ] || fail "$p: no Description"
    [ "$(field "$p" Priority)" = optional ] || fail "$p: Priority"
done
for p in $runtime $dev $tools; do
    [ "$(field "$p" Architecture)" = "$arch" ] || fail "$p: Architecture $(field "$p" Architecture)"
done
[ "$(field $runtime Section)" = libs ] || fail "$runtime: Section"
[ "$(field $dev Section)" = libdevel ] || fail "$dev: Section"
# dpkg-shlibdeps names what the binaries link: the C and C++ runtimes.
for p in $runtime $tools; do
    field "$p" Depends | grep -q 'libc6 (>= ' || fail "$p: no versioned libc6 in Depends"
    field "$p" Depends | grep -q 'libstdc++6 (>= ' || fail "$p: no versioned libstdc++6 in Depends"
done
if field $runtime Depends | grep -q 'libqorvi-netpod'; then fail "$runtime depends on itself"; fi
has_dependency $dev "$runtime (= $version)"
has_dependency $tools "$runtime (= $version)"
if [ $with_python = yes ]; then
    [ "$(field $python Architecture)" = all ] || fail "$python: Architecture $(field $python Architecture)"
    has_dependency $python python3
    has_dependency $python "$runtime (= $version)"
fi

step "the library package's shlibs file and ldconfig trigger"
dpkg-deb -e "$(deb_of $runtime)" "$work/control-$runtime"
[ "$(cat "$work/control-$runtime/shlibs")" = "libqorvi-netpod 2 $runtime (>= $version)" ] \
    || fail "shlibs: $(cat "$work/control-$runtime/shlibs")"
grep -qx 'activate-noawait ldconfig' "$work/control-$runtime/triggers" || fail "no ldconfig trigger"
for p in $dev $tools; do
    dpkg-deb -e "$(deb_of "$p")" "$work/control-$p"
    if [ -e "$work/control-$p/shlibs" ] || [ -e "$work/control-$p/triggers" ]; then
        fail "$p declares shlibs or activates triggers"
    fi
done

step "file lists: exactly the expected files, owned by root, no writable bits for others"
# Lists a package's files and links (not its folders), the CMake targets file of the
# build configuration written as CONFIG.
list_files() {
    dpkg-deb --fsys-tarfile "$(deb_of "$1")" | tar -tvf - >"$work/$1.tv"
    awk '$1 !~ /^d/ { print $6 }' "$work/$1.tv" | sed 's|^\./||;s|QorviNetpodTargets-[a-z]*\.cmake$|QorviNetpodTargets-CONFIG.cmake|' | sort
}
expect_files() {
    package=$1
    shift
    {
        for f in "$@"; do echo "$f"; done
        echo "$doc/$package/changelog.Debian.gz"
        echo "$doc/$package/copyright"
    } | sort >"$work/$package.expected"
    list_files "$package" >"$work/$package.actual"
    diff -u "$work/$package.expected" "$work/$package.actual" || fail "files of $package"
    if awk '$2 != "root/root"' "$work/$package.tv" | grep .; then fail "$package: files not owned by root"; fi
    if awk '$1 !~ /^l/ && ($1 ~ /^.....w/ || $1 ~ /^........w/)' "$work/$package.tv" | grep .; then
        fail "$package: files writable by group or others"
    fi
    # Every folder holds something of the package.
    awk '$1 ~ /^d/ { print $6 }' "$work/$package.tv" | sed 's|^\./||' | while read -r folder; do
        [ -z "$folder" ] || grep -q "^$folder" "$work/$package.actual" || fail "$package: empty folder $folder"
    done
}
expect_files $runtime "$lib/libqorvi-netpod.so.2" "$lib/libqorvi-netpod.so.2.0.0"
expect_files $dev usr/include/qorvi_netpod.h "$lib/libqorvi-netpod.so" "$lib/pkgconfig/qorvi-netpod.pc" \
    "$lib/cmake/QorviNetpod/QorviNetpodConfig.cmake" "$lib/cmake/QorviNetpod/QorviNetpodConfigVersion.cmake" \
    "$lib/cmake/QorviNetpod/QorviNetpodTargets.cmake" "$lib/cmake/QorviNetpod/QorviNetpodTargets-CONFIG.cmake"
dissector=""
if [ $with_dissector = yes ]; then
    [ -n "$multiarch" ] || fail "no multiarch folder known for the Wireshark plugin"
    dissector="usr/lib/$multiarch/wireshark/plugins/qorvi_netpod.lua"
fi
# shellcheck disable=SC2086
expect_files $tools usr/bin/netpod usr/bin/netpod-emulator \
    usr/share/man/man1/netpod.1.gz usr/share/man/man1/netpod-emulator.1.gz $dissector
if [ $with_python = yes ]; then
    # shellcheck disable=SC2046
    expect_files $python $(cd "$source/python" && find qorvi_netpod -name __pycache__ -prune -o -type f ! -name '*.pyc' -print \
        | sed 's|^|usr/lib/python3/dist-packages/|')
fi

step "unpack into $work/root"
root=$work/root
for p in $packages; do dpkg-deb -x "$(deb_of "$p")" "$root"; done

step "the library: SONAME, links, permissions"
[ "$(readlink "$root/$lib/libqorvi-netpod.so.2")" = libqorvi-netpod.so.2.0.0 ] || fail "SONAME link"
[ "$(readlink "$root/$lib/libqorvi-netpod.so")" = libqorvi-netpod.so.2 ] || fail "development link"
readelf -d "$root/$lib/libqorvi-netpod.so.2.0.0" | grep -q 'SONAME.*\[libqorvi-netpod\.so\.2\]' || fail "SONAME"
[ "$(stat -c %a "$root/$lib/libqorvi-netpod.so.2.0.0")" = 644 ] || fail "the library is not mode 644"
for b in netpod netpod-emulator; do
    [ "$(stat -c %a "$root/usr/bin/$b")" = 755 ] || fail "$b is not mode 755"
    file -L "$root/usr/bin/$b" | grep -q ', stripped' || fail "$b is not stripped"
done
file -L "$root/$lib/libqorvi-netpod.so.2.0.0" | grep -q ', stripped' || fail "the library is not stripped"

step "documents: changelog, copyright, manual pages"
for p in $packages; do
    zcat "$root/$doc/$p/changelog.Debian.gz" | head -n 1 | grep -q "^qorvi-netpod ($version) " \
        || fail "$p: changelog does not begin with $version"
    grep -q '^Copyright' "$root/$doc/$p/copyright" || fail "$p: copyright file names no copyright"
done
zcat "$root/usr/share/man/man1/netpod.1.gz" | grep -q "^\.TH NETPOD 1 \".*\" \"qorvi-netpod $upstream\"" \
    || fail "netpod.1 does not begin with its title and version"
zcat "$root/usr/share/man/man1/netpod-emulator.1.gz" | grep -q "^\.TH NETPOD\\\\-EMULATOR 1 \".*\" \"qorvi-netpod $upstream\"" \
    || fail "netpod-emulator.1 does not begin with its title and version"

export LD_LIBRARY_PATH="$root/$lib"
uses_unpacked_library() { ldd "$1" | grep -q "libqorvi-netpod\.so\.2 => $root/$lib/libqorvi-netpod\.so\.2 "; }

step "build the example with the unpacked pkg-config file"
export PKG_CONFIG_LIBDIR="$root/$lib/pkgconfig"
[ "$(pkg-config --modversion qorvi-netpod)" = "$upstream" ] || fail "pkg-config version"
include=$(pkg-config --variable=includedir qorvi-netpod)
[ "$(cd "$include" && pwd -P)" = "$(cd "$root/usr/include" && pwd -P)" ] || fail "pkg-config names the header folder $include"
# shellcheck disable=SC2046
cc -std=c11 "$source/examples/quickstart.c" -o "$work/quickstart-pc" $(pkg-config --cflags --libs qorvi-netpod) -pthread \
    || fail "building with pkg-config"
uses_unpacked_library "$work/quickstart-pc" || fail "the pkg-config build does not use the unpacked library"
"$runner" --timeout 60 "$work/quickstart-pc" @ADDRESS@ || fail "example built with pkg-config"

step "build the example with the unpacked CMake package"
cmake -S "$source/tests/install/consumer" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" \
    -DEXAMPLE_SOURCE="$source/examples/quickstart.c" >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "cmake"; }
grep -qx "QorviNetpod_DIR:PATH=$root/$lib/cmake/QorviNetpod" "$work/cmake-build/CMakeCache.txt" \
    || fail "find_package found another QorviNetpod: $(grep QorviNetpod_DIR "$work/cmake-build/CMakeCache.txt")"
cmake --build "$work/cmake-build" >/dev/null || fail "building with CMake"
uses_unpacked_library "$work/cmake-build/quickstart" || fail "the CMake build does not use the unpacked library"
"$runner" --timeout 60 "$work/cmake-build/quickstart" @ADDRESS@ || fail "example built with CMake"

step "the packaged netpod and netpod-emulator"
netpod=$root/usr/bin/netpod
uses_unpacked_library "$netpod" || fail "the packaged netpod does not use the unpacked library"
"$netpod" version | grep -q '^Qorvi-NETPOD_DLLInterface_v2.00_021111$' || fail "netpod version"
"$netpod" --help >/dev/null || fail "netpod --help"
# The packaged emulator on a loopback address of this test's own; an address that
# another test holds already makes the emulator exit 1 before its ready line.
mkfifo "$work/ready"
address=""
for _ in 1 2 3 4 5; do
    # shellcheck disable=SC2046
    set -- $(od -An -N3 -tu1 /dev/urandom)
    candidate="127.$(($1 % 200 + 20)).$2.$(($3 % 250 + 2))"
    "$root/usr/bin/netpod-emulator" --address "$candidate" --name deb-emulator >"$work/ready" 2>"$work/emulator.err" &
    emulator_pid=$!
    exec 3<"$work/ready"
    if read -r line <&3 && [ "${line#ready}" != "$line" ]; then
        address=$candidate
        break
    fi
    exec 3<&-
    status=0
    wait "$emulator_pid" || status=$?
    emulator_pid=""
    [ "$status" = 1 ] || fail "netpod-emulator exited with $status: $(cat "$work/emulator.err")"
done
[ -n "$address" ] || fail "no free loopback address for netpod-emulator: $(cat "$work/emulator.err")"
"$netpod" read "$address" type name >"$work/read.txt" || fail "netpod read: $(cat "$work/read.txt")"
{ grep -q 'Qorvi-NETPOD 2' "$work/read.txt" && grep -q '"deb-emulator"' "$work/read.txt"; } \
    || fail "netpod read printed: $(cat "$work/read.txt")"
kill "$emulator_pid"
status=0
wait "$emulator_pid" || status=$?
emulator_pid=""
exec 3<&-
[ "$status" = 0 ] || fail "netpod-emulator ended with $status after SIGTERM"

if [ $with_python = yes ] && command -v python3 >/dev/null 2>&1; then
    step "the packaged Python package imports with the unpacked library"
    PYTHONPATH="$root/usr/lib/python3/dist-packages" python3 -c \
        "import qorvi_netpod, sys; sys.exit(0 if qorvi_netpod.__file__.startswith('$root/') else 1)" \
        || fail "python3 -c 'import qorvi_netpod'"
fi
step "all package checks passed"
