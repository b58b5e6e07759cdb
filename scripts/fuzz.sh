#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/*_fuzzer.cpp) with clang, AddressSanitizer
# and UndefinedBehaviorSanitizer in build/fuzz, and runs each for a fixed time
# on its seed corpus (fuzz/corpus/<name>/). Installs what the machine lacks.
#
#   scripts/fuzz.sh [seconds per target]     (default 20: the short run of CI)
#   scripts/fuzz.sh 3600                     the longer run: an hour each
#
# New inputs that widen coverage go to build/fuzz/corpus/<name>/, never into
# the repository's seeds. A failure leaves the input that caused it in
# build/fuzz/findings/<name>/ and fails the script; keep a mended case as a
# seed (fuzz/corpus/<name>/) so that it is run ever after.
set -euo pipefail

root=$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.." && pwd)
cd "$root"

seconds=${1:-20}
if [[ ! "$seconds" =~ ^[1-9][0-9]*$ || $# -gt 1 ]]; then
    echo "usage: scripts/fuzz.sh [seconds per target]" >&2
    exit 2
fi

"$root/scripts/bootstrap"

dir="$root/build/fuzz"
echo "== fuzz: configure ($dir)"
CC=clang CXX=clang++ cmake -S "$root" -B "$dir" --log-level=WARNING \
    -DZEMBRIXNET_FUZZ=ON -DZEMBRIXNET_TESTS=OFF -DZEMBRIXNET_WERROR=ON
echo "== fuzz: build"
cmake --build "$dir" -j"$(nproc)" --target fuzzers

export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

# The targets that save files do so through the library's atomic save,
# which flushes to disk: on a memory file system that costs nothing.
base=/dev/shm
[[ -d "$base" && -w "$base" ]] || base=${TMPDIR:-/tmp}
TMPDIR=$(mktemp -d "$base/zn-fuzz.XXXXXX")
export TMPDIR
trap 'rm -rf "$TMPDIR"' EXIT

failed=()
for program in "$dir"/fuzz/fuzz_*; do
    name=${program##*/fuzz_}
    work="$dir/corpus/$name"
    findings="$dir/findings/$name"
    mkdir -p "$work" "$findings"
    echo "== fuzz: $name, ${seconds} s"
    # The targets open no socket; the namespace makes sure of it.
    if ! "$root/scripts/netns-run" "$program" -max_total_time="$seconds" -max_len=4096 \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" \
        "$work" "$root/fuzz/corpus/$name" 2>"$dir/$name.log"; then
        tail -n 60 "$dir/$name.log" >&2
        failed+=("$name")
    else
        grep -E '^stat::(number_of_executed_units|new_units_added)' "$dir/$name.log" |
            sed "s/^/   $name /" || true
    fi
done

if [[ ${#failed[@]} -ne 0 ]]; then
    echo "== fuzz: FAILED: ${failed[*]} (inputs in $dir/findings/)" >&2
    exit 1
fi
echo "== fuzz: passed"
