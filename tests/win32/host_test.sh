#!/usr/bin/env bash
# Runs the C host under Wine against local listeners, as a client application
# would use the DLL: a check that finds a SIP server, an update run, exits
# during a check, unloads of the library while jobs and the URL reader
# still work, closes from another DLL's DllMain, and the handles that loading
# and unloading leave. Only inside scripts/netns-run.
#
# A host that dies of a Unix signal with no Windows exception reported is run
# once more, and the retry is said: Wine may crash starting a thread while the
# process exits (docs/reliability.md). A Windows exception fails at once.
#
#   host_test.sh HOST_EXE UNLOAD_HOST_EXE READER_HOST_EXE ZEMBRIXNET_DLL HELPER_DLL
set -euo pipefail

host_exe=$1
unload_host_exe=$2
reader_host_exe=$3
dll=$4
helper_dll=$5

# shellcheck source=../support/netns_scratch.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/netns_scratch.sh" host_test

# Installed as a client installs it: the host and the DLL side by side.
mkdir "$work/bin" "$work/data"
cp "$host_exe" "$unload_host_exe" "$reader_host_exe" "$dll" "$helper_dll" "$work/bin/"
windows_data="Z:${work//\//\\}\\data"

# The connectivity-test hosts and the three default SIP servers accept; the
# first default web API accepts, stays silent and closes 4 s later; a web
# server answers every connection with a short page.
start_listeners 10.0.0.201:80 10.0.0.202:80 192.0.2.21:5060 192.0.2.22:5060 192.0.2.23:5080 \
    198.51.100.8:443,silent=4 192.0.2.80:80,http=hello

failed=0
# run_once MODE EXE [ARGUMENT]...: output to $work/MODE.out; DIR last if set.
run_once() {
    local mode=$1 exe=$2
    shift 2
    # One processor: a thread left in unloaded code crashes on every run.
    (cd "$work/bin" && timeout 600 taskset -c 0 wine ./"$(basename "$exe")" "$@" ${windows_data:+"$windows_data"}) \
        >"$work/$mode.out" 2>&1
}
# True for the exit status of a host killed by a Unix signal (128 + signal;
# not timeout's 124) whose output holds no Windows exception: Wine reports
# one it caught as an unhandled exception (with its code) or a page fault.
died_of_unix_signal() {
    local status=$1 mode=$2
    ((status > 128 && status < 160)) &&
        ! grep -qiE 'unhandled exception|page fault|exception 0x|c0000[0-9a-f]{3}' "$work/$mode.out"
}
# run_host MODE EXE [ARGUMENT]...: run_once, run again once after a Unix signal.
run_host() {
    local mode=$1 status=0
    echo "== $(basename "$2") ${*:3}"
    run_once "$@" || status=$?
    if ((status != 0)) && died_of_unix_signal "$status" "$mode"; then
        sed 's/^/   /' "$work/$mode.out"
        echo "host_test: $mode died of signal $((status - 128)) with no Windows exception; run again"
        status=0
        run_once "$@" || status=$?
    fi
    ((status == 0)) || { echo "host_test: $mode exited with $status"; failed=1; }
    sed 's/^/   /' "$work/$mode.out"
}
expect() {
    local mode=$1 pattern=$2
    if ! grep -qE "$pattern" "$work/$mode.out"; then
        echo "host_test: $mode: missing line matching: $pattern"
        failed=1
    fi
}

run_host check "$host_exe" check
expect check '^status 75000 Init checking server list successfully'
expect check '^error 75004 Is checking servers'
expect check '^status 75004 Begin to check SIP proxy!'
expect check '^status 75004 Finish checking SIP proxy!'
expect check '^check-finished Finish all checking!'
expect check '^info SIP 192\.0\.2\.2[123] 50[68]0 '
expect check '^status 75001 Close checking server list successfully'
# The server list file is the host's, in its directory, with CR LF lines.
if ! grep -q $'^\\[NETWORK\\]\r$' "$work/data/ZembrixNetWork.ini"; then
    echo "host_test: ZembrixNetWork.ini missing or without CR LF lines"
    failed=1
fi

run_host update "$host_exe" update
expect update '^status 75005 Begin to update server list!'
expect update '^update-finished Finish updating!'

# Exits a few milliseconds into a check, without closing: no hang, no crash.
for delay in 0 1 2 3 5 8 13 21; do
    run_host "exit$delay" "$host_exe" exit "$delay"
    expect "exit$delay" '^exiting'
done

# Held while the check runs, unloaded by its last thread.
run_host unload "$unload_host_exe"
expect unload '^unloaded while running: still loaded'
expect unload '^survived, library gone'

# Unloaded at random moments of checks and updates (the seed is printed).
seed=${ZN_SEED:-$RANDOM}
run_host unload-check "$unload_host_exe" random check 30 "$seed"
expect unload-check '^survived 30 unloads during check'
# In a directory of their own, where no check chose the silent web API.
mkdir "$work/update-data"
windows_data="${windows_data}\\..\\update-data" \
    run_host unload-update "$unload_host_exe" random update 25 "$seed"
expect unload-update '^survived 25 unloads during update'
# Closed and unloaded while WinInet waits for a silent web API: stays loaded.
run_host unload-silent "$unload_host_exe" silent
expect unload-silent '^closed and unloaded: still loaded'
expect unload-silent '^survived the silent peer'
# The URL reader's host, after a read and after closing one that still waits.
windows_data="" run_host reader-after "$reader_host_exe" after http://192.0.2.80/
expect reader-after '^read 5 bytes: hello'
expect reader-after '^survived after a read'
windows_data="" run_host reader-during "$reader_host_exe" during https://198.51.100.8/
expect reader-during '^unloaded: still loaded'
expect reader-during '^survived during a read'
# Closed from a helper DLL's DllMain, under the loader's lock, a check
# running: at attach, and at detach 20 ms into the check.
for when in attach detach; do
    run_host "loader-$when" "$unload_host_exe" loaderlock "$when"
    expect "loader-$when" '^attach: init 3 check 1'
    expect "loader-$when" "^$when: close 1 in [0-9]+ ms, codes( [0-9]+)* 75003( [0-9]+)* 75001[[:space:]]*$"
    expect "loader-$when" "^survived the close under the loader's lock at $when"
done
# Every kind mask in each round; no handle may stay per cycle.
run_host handles "$unload_host_exe" handles 3 close
expect handles '^handles before'
run_host handles-open "$unload_host_exe" handles 3 open
expect handles-open '^handles before'

exit "$failed"
