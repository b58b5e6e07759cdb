# Sourced by the shell tests that run inside scripts/netns-run: refuses to run
# anywhere else, makes a scratch directory $work (removed at exit), and
# starts listeners that accept and close every connection. Every process
# whose id the script adds to $pids is stopped at exit too.
#
#   source tests/support/netns_scratch.sh NAME
#   start_listeners ADDRESS:PORT...
# shellcheck shell=bash

scratch_name=$1
if [[ "${ZN_NETNS:-}" != 1 || -n "$(ip route show default 2>/dev/null)" ]]; then
    echo "$scratch_name: run inside scripts/netns-run (no default route may exist)" >&2
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/$scratch_name-XXXXXX")
pids=()
scratch_cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap scratch_cleanup EXIT

start_listeners() {
    "$(dirname "${BASH_SOURCE[0]}")/listen.py" "$work/ready" "$@" &
    pids+=($!)
    for _ in $(seq 100); do
        [[ -e "$work/ready" ]] && return 0
        sleep 0.1
    done
    echo "$scratch_name: listeners did not start" >&2
    exit 1
}
