#!/usr/bin/env bash
# A first look at zembrixnet: builds the command-line host zembrix-netcheck,
# initialises the library on a fresh temporary directory (showing the
# callbacks the library sends and the server list file it writes), then runs
# a check inside a private network namespace against a few local servers.
# No packet leaves the machine.
set -euo pipefail

# A check probes real addresses: inside the namespace of scripts/netns-run
# every address is local. One connectivity-test host answers on port 80; of
# each kind's servers some answer and some refuse.
check_in_namespace() {
    local tool=$1 dir=$2
    python3 - <<'PY' &
import socket, time
servers = []
for address, port in [("10.0.0.201", 80), ("10.0.0.21", 8080), ("10.0.0.22", 5060),
                      ("10.0.0.23", 443)]:
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((address, port))
    s.listen(64)
    servers.append(s)
time.sleep(60)
PY
    local servers=$!
    trap 'kill $servers 2>/dev/null' RETURN
    sleep 0.5

    entry() { echo "$("$tool" encipher "$1"),0"; }
    {
        printf '[NETWORK]\r\nTYPE=ENC\r\n'
        printf 'WEBNUM=2\r\nWEB1=%s\r\nWEB2=%s\r\n' "$(entry 10.0.0.31:8080)" "$(entry 10.0.0.21:8080)"
        printf 'SIPNUM=2\r\nSIP1=%s\r\nSIP2=%s\r\n' "$(entry 10.0.0.22:5060)" "$(entry 10.0.0.32:5060)"
        printf 'IMNUM=1\r\nIM1=%s\r\n' "$(entry 10.0.0.23:5222TCP443HTTPS80HTTP)"
        printf 'FAXNUM=1\r\nFAX1=%s\r\n' "$(entry 10.0.0.34:9100)"
    } >"$dir/ZembrixNetWork.ini"

    echo "== zembrix-netcheck check --dir $dir   (WEB2, SIP1 and IM1's HTTPS port answer; the fax server does not)"
    "$tool" check --dir "$dir" || true
    echo
    echo "== zembrix-netcheck info --dir $dir"
    "$tool" info --dir "$dir" || true
    echo
    echo "== zembrix-netcheck list --dir $dir"
    "$tool" list --dir "$dir"
}

if [[ "${1:-}" == --check-inside ]]; then
    check_in_namespace "$2" "$3"
    exit 0
fi

root=$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.." && pwd)
cd "$root"
build="$root/build/plain"
tool="$build/tools/zembrix-netcheck/zembrix-netcheck"

"$root/scripts/bootstrap"

echo "== building zembrix-netcheck in $build"
cmake -S "$root" -B "$build" --log-level=WARNING -DZEMBRIXNET_WERROR=ON -DZEMBRIXNET_SANITIZE=
cmake --build "$build" -j"$(nproc)" --target zembrix-netcheck >/dev/null

dir=$(mktemp -d "${TMPDIR:-/tmp}/zembrix-demo-XXXXXX")
trap 'rm -rf "$dir"' EXIT

echo
echo "== zembrix-netcheck init --dir $dir"
"$tool" init --dir "$dir"

echo
echo "== files in $dir"
ls -l "$dir"
for file in "$dir"/*; do
    [[ -f "$file" ]] || continue
    echo
    echo "== $(basename "$file")"
    cat "$file"
done
echo
"$root/scripts/netns-run" bash "$root/scripts/demo.sh" --check-inside "$tool" "$dir"
