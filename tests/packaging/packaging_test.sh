#!/usr/bin/env bash
# Checks the release artifacts in dist/ (scripts/package.sh) as their users
# meet them, without the build tree: the Debian packages unpacked into a
# scratch root, a C host built against them with pkg-config and with CMake's
# find_package and run, the tool's version, the example host built from the
# -dev package and run; the Windows archive unzipped, a C host and the
# example host linked against zembrixnet.lib and run under Wine, the DLL's
# version resource read, the tool's version. Only inside scripts/netns-run.
#
#   scripts/netns-run tests/packaging/packaging_test.sh
set -euo pipefail

root=$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../.." && pwd)
dist="$root/dist"
host_source="$root/tests/packaging/PackageHost.c"

# shellcheck source=../support/netns_scratch.sh
source "$root/tests/support/netns_scratch.sh" packaging_test

version=$(sed -n 's/^project(ZembrixNet VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
major=${version%%.*}

failed=0
fail() {
    echo "packaging_test: FAILED: $*"
    failed=1
}
# expect WHAT PATTERN COMMAND...: COMMAND's output must have a line matching
# PATTERN (carriage returns of Windows programs removed).
expect() {
    local what=$1 pattern=$2 output
    shift 2
    output=$("$@" 2>&1 | tr -d '\r') || true
    sed 's/^/   /' <<<"$output"
    grep -qE "$pattern" <<<"$output" || fail "$what: no line matching '$pattern'"
}
# expect_example WHAT COMMAND...: the example host (examples/host.c) ran
# every step, exited 0 and printed the SIP server its check selected.
expect_example() {
    local what=$1 output status=0 pattern
    shift
    output=$("$@" 2>&1) || status=$?
    output=$(tr -d '\r' <<<"$output")
    sed 's/^/   /' <<<"$output"
    [[ $status -eq 0 ]] || fail "$what: exit status $status"
    for pattern in '^SIP 192\.0\.2\.2[123] 50[68]0$' '^update Finish updating!$' '^== closed$'; do
        grep -qE "$pattern" <<<"$output" || fail "$what: no line matching '$pattern'"
    done
}

# The connectivity-test hosts and the three default SIP servers accept.
start_listeners 10.0.0.201:80 10.0.0.202:80 192.0.2.21:5060 192.0.2.22:5060 192.0.2.23:5080
sip_server='^info SIP 192\.0\.2\.2[123] 50[68]0$'

echo "== Debian packages"
sysroot="$work/deb"
for deb in "$dist"/*.deb; do
    dpkg-deb -x "$deb" "$sysroot"
done
runtime=$(ls "$dist"/libzembrixnet"$major"_*.deb)
# The runtime package: the library and its SONAME link, beside its
# documentation and lintian's notes.
files=$(dpkg-deb -c "$runtime" | awk '$1 !~ /^d/ {print $6}' |
    grep -vE '^\./usr/share/(doc|lintian)/' | sed 's|.*/||' | sort | tr '\n' ' ')
[[ "$files" == "libzembrixnet.so.$major libzembrixnet.so.$version " ]] ||
    fail "runtime package holds '$files'"
libdir=$(dirname "$(find "$sysroot" -name "libzembrixnet.so.$major")")

export PKG_CONFIG_PATH="$libdir/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$sysroot"
# shellcheck disable=SC2046 # pkg-config's words are separate arguments
cc -Wall -Werror -o "$work/host-pkgconfig" "$host_source" $(pkg-config --cflags --libs zembrixnet)
export LD_LIBRARY_PATH="$libdir"
mkdir "$work/data-pkgconfig" "$work/data-cmake"
expect "pkg-config host" "^version $version\$" "$work/host-pkgconfig" version
expect "pkg-config host" "$sip_server" "$work/host-pkgconfig" check "$work/data-pkgconfig"

mkdir "$work/cmake-host"
cat >"$work/cmake-host/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.16)
project(PackageHost C)
find_package(ZembrixNet $version REQUIRED)
add_executable(package_host "$host_source")
target_link_libraries(package_host PRIVATE ZembrixNet::zembrixnet)
CMAKE
cmake -S "$work/cmake-host" -B "$work/cmake-host/build" -DCMAKE_PREFIX_PATH="$sysroot/usr" \
    --log-level=WARNING >/dev/null
cmake --build "$work/cmake-host/build" >/dev/null
expect "find_package host" "$sip_server" "$work/cmake-host/build/package_host" check "$work/data-cmake"
expect "tool" "^zembrix-netcheck $version\$" "$sysroot/usr/bin/zembrix-netcheck" --version

# The example host the -dev package ships beside its README, built as its
# comment says.
devdoc="$sysroot/usr/share/doc/libzembrixnet-dev"
[[ -f "$devdoc/README.md" ]] || fail "the -dev package lacks README.md"
cmake -S "$devdoc/examples" -B "$work/example" -DCMAKE_PREFIX_PATH="$sysroot/usr" \
    -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" --log-level=WARNING >/dev/null
cmake --build "$work/example" >/dev/null
mkdir "$work/data-example"
expect_example "example host" timeout 300 "$work/example/zembrixnet_example" "$work/data-example"
unset LD_LIBRARY_PATH

echo "== Windows archive"
unzip -q "$dist/zembrixnet-$version-win32.zip" -d "$work/win"
archive="$work/win/zembrixnet-$version-win32"
# Beside the DLL, as a client installs it; linked through the .lib that
# other compilers use.
i686-w64-mingw32-gcc -Wall -Werror -I"$archive/include" -o "$archive/bin/package_host.exe" \
    "$host_source" "$archive/lib/zembrixnet.lib" -lversion
export WINEPREFIX="$root/build/package-win32/wineprefix" WINEDEBUG=-all
# Wine's server makes the sockets of every Wine process: one left from
# outside this namespace would make them there.
wineserver -k 2>/dev/null || true
[[ -f "$WINEPREFIX/system.reg" ]] || { wineboot -i && wineserver -w; } >/dev/null 2>&1
mkdir "$work/data-win"
in_bin() { (cd "$archive/bin" && timeout 120 wine "$@"); }
expect "Windows host" "^version $version\$" in_bin ./package_host.exe version
expect "Windows host" "$sip_server" in_bin ./package_host.exe check "Z:${work//\//\\}\\data-win"
expect "DLL version resource" "^file-version $version\.0\$" \
    in_bin ./package_host.exe file-version zembrixnet.dll
expect "Windows tool" "^zembrix-netcheck $version\$" in_bin ./zembrix-netcheck.exe --version
i686-w64-mingw32-gcc -Wall -Wextra -Werror -I"$archive/include" -o "$archive/bin/example.exe" \
    "$archive/examples/host.c" "$archive/lib/zembrixnet.lib"
mkdir "$work/data-win-example"
expect_example "Windows example host" in_bin ./example.exe "Z:${work//\//\\}\\data-win-example"
wineserver -k 2>/dev/null || true

[[ $failed -eq 0 ]] && echo "packaging_test: passed"
exit "$failed"
