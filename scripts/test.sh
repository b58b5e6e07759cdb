#!/usr/bin/env bash
# Builds zembrixnet and runs its whole test suite inside a private network
# namespace (scripts/netns-run). Installs what the machine lacks first.
#
#   scripts/test.sh [quick|plain|asan|tsan|win32|all]      (default: plain)
#
# quick: the plain build and its unit tests alone (ctest -L unit), outside any
# namespace: no root needed once the packages are installed. plain: warnings
# as errors, and then the interop tier (ctest -L interop: the tool against
# Apache httpd, squid and dnsmasq); asan: AddressSanitizer + UndefinedBehaviorSanitizer; tsan:
# ThreadSanitizer; win32: the 32-bit Windows DLL, cross-built with MinGW-w64
# and tested under Wine. Each variant builds in build/<variant> (quick in
# build/plain). The other variants need root: scripts/netns-run also runs
# without it where the kernel allows user namespaces, but some tests then skip
# or fail (they change to another user or need the real root's rights).
set -euo pipefail

root=$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.." && pwd)
cd "$root"

usage() {
    echo "usage: scripts/test.sh [quick|plain|asan|tsan|win32|all]"
}

case "${1:-plain}" in
    quick | plain | asan | tsan | win32) variants=("${1:-plain}") ;;
    all) variants=(plain asan tsan win32) ;;
    -h | --help)
        usage
        exit 0
        ;;
    *)
        usage >&2
        exit 2
        ;;
esac
if [[ $# -gt 1 ]]; then
    usage >&2
    exit 2
fi

if [[ " ${variants[*]} " == *" win32 "* ]]; then
    "$root/scripts/bootstrap" win32
else
    "$root/scripts/bootstrap"
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

cache_value() {
    sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"
}

# The Windows build: cross-compiled, its tests run under Wine in a prefix of
# the build's own (made inside the namespace too: nothing of it reaches out).
run_win32() {
    local dir="$root/build/win32"
    echo "== win32: configure ($dir)"
    cmake -S "$root" -B "$dir" --log-level=WARNING -DZEMBRIXNET_WERROR=ON \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake"
    echo "== win32: build"
    cmake --build "$dir" -j"$(nproc)"
    export WINEPREFIX="$dir/wineprefix" WINEDEBUG=-all
    if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
        echo "== win32: Wine prefix"
        "$root/scripts/netns-run" sh -c 'wineboot -i && wineserver -w'
    fi
    echo "== win32: test"
    # Wine's server makes the sockets of every Wine process: one left from an
    # earlier run would make them in that run's namespace.
    wineserver -k 2>/dev/null || true
    "$root/scripts/netns-run" ctest --test-dir "$dir" --output-on-failure --no-tests=error
    echo "== win32: passed"
}

build_variant() {
    local variant=$1 dir=$2 sanitize=""
    case "$variant" in
        asan) sanitize=address ;;
        tsan) sanitize=thread ;;
    esac

    echo "== $variant: configure ($dir)"
    cmake -S "$root" -B "$dir" --log-level=WARNING \
        -DZEMBRIXNET_WERROR=ON -DZEMBRIXNET_SANITIZE="$sanitize"
    echo "== $variant: build"
    cmake --build "$dir" -j"$(nproc)"
}

# The tests that need neither the namespace nor root, nor much time.
run_quick() {
    local dir="$root/build/plain"
    build_variant quick "$dir"
    echo "== quick: unit tests"
    ctest --test-dir "$dir" --output-on-failure --no-tests=error -L '^unit$' -j"$(nproc)"
    echo "== quick: passed (the whole suite: scripts/test.sh)"
}

run_variant() {
    local variant=$1 dir="$root/build/$1"
    build_variant "$variant" "$dir"

    # The namespace's /etc/hosts must name the connectivity-test hosts this
    # build was configured with.
    ZEMBRIXNET_CONNECTIVITY_HOST1=$(cache_value "$dir" ZEMBRIXNET_CONNECTIVITY_HOST1)
    ZEMBRIXNET_CONNECTIVITY_HOST2=$(cache_value "$dir" ZEMBRIXNET_CONNECTIVITY_HOST2)
    export ZEMBRIXNET_CONNECTIVITY_HOST1 ZEMBRIXNET_CONNECTIVITY_HOST2

    # ThreadSanitizer's fixed memory layout clashes with the wider mmap
    # randomisation of some kernels ("FATAL: ThreadSanitizer: unexpected
    # memory mapping"); the tests then run without address randomisation.
    local prefix=()
    if [[ "$variant" == tsan && $(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 0) -gt 28 ]]; then
        echo "== tsan: vm.mmap_rnd_bits > 28, running the tests without address randomisation"
        prefix=(setarch "$(uname -m)" -R)
    fi

    # Serially: tests bind fixed ports (80 on the connectivity-test hosts).
    echo "== $variant: test"
    "$root/scripts/netns-run" "${prefix[@]}" \
        ctest --test-dir "$dir" --output-on-failure --no-tests=error -LE '^interop$'
    # The real servers once, with the plain build's tool, after the rest.
    if [[ "$variant" == plain ]]; then
        echo "== plain: interop"
        "$root/scripts/netns-run" \
            ctest --test-dir "$dir" --output-on-failure --no-tests=error -L '^interop$'
    fi
    echo "== $variant: passed"
}

for variant in "${variants[@]}"; do
    case "$variant" in
        quick) run_quick ;;
        win32) run_win32 ;;
        *) run_variant "$variant" ;;
    esac
done
