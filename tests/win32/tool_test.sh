#!/usr/bin/env bash
# zembrix-netcheck.exe under Wine as an administrator runs it on Windows:
# every command, with Windows paths, against local listeners (the
# connectivity host and the default SIP servers accept; nothing else does).
# Only inside scripts/netns-run.
#
#   tool_test.sh TOOL_EXE ZEMBRIXNET_DLL
set -euo pipefail

tool_exe=$1
dll=$2
# shellcheck source=../support/netns_scratch.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/netns_scratch.sh" tool_test

mkdir "$work/bin" "$work/data"
cp "$tool_exe" "$dll" "$work/bin/"
data="Z:${work//\//\\}\\data"
start_listeners 10.0.0.201:80 192.0.2.21:5060 192.0.2.22:5060 192.0.2.23:5080

failed=0
# tool STATUS PATTERN ARGS...: the tool's exit status and a line of its
# output (standard output and error, carriage returns removed).
tool() {
    local want=$1 pattern=$2 output status=0
    shift 2
    echo "== zembrix-netcheck $*"
    output=$(cd "$work/bin" && timeout 120 wine ./zembrix-netcheck.exe "$@" 2>&1) || status=$?
    output=$(tr -d '\r' <<<"$output")
    sed 's/^/   /' <<<"$output"
    [[ $status -eq $want ]] || { echo "tool_test: exit status $status, not $want"; failed=1; }
    grep -qE "$pattern" <<<"$output" || { echo "tool_test: no line matching: $pattern"; failed=1; }
}

tool 0 '^zembrix-netcheck [0-9]+\.[0-9]+\.[0-9]+$' --version
tool 0 '^initialised on Z:' init --dir "$data"
tool 1 'nothere: no such directory' init --dir "$data\\nothere"
# A name the ANSI code page holds is taken; one it cannot hold is refused in
# words, not taken as "???".
mkdir "$work/data/café"
tool 0 '^initialised on Z:.*caf' init --dir "$data\\café"
tool 2 'ANSI code page cannot write' init --dir "$data\\データ"
tool 0 '^SIP +2 +192\.0\.2\.22:5060 +0$' list --dir "$data"
tool 0 '^[0-9A-F]{22}$' encipher 10.0.0.1:80
hex=$(cd "$work/bin" && wine ./zembrix-netcheck.exe encipher 10.0.0.1:80 2>/dev/null | tr -d '\r')
tool 0 '^10\.0\.0\.1:80$' decipher "$hex"
tool 0 '^HTTP proxy of updates: u:\*\*\*@10\.0\.0\.8:3128$' proxy u:secret@10.0.0.8:3128 --dir "$data"
tool 2 'control character' proxy $'10.0.0.8:3128\r\nSIPNUM=9' --dir "$data"
tool 0 '^PROXY +- +u:\*\*\*@10\.0\.0\.8:3128' list --dir "$data"
tool 0 '"host":"192\.0\.2\.2[123]"' check sip --json --dir "$data"
tool 1 '^SIP +192\.0\.2\.2[123] ' info --dir "$data"
tool 1 '"id":"web-refused"' doctor --json --dir "$data"
tool 1 'Finish updating!' update --dir "$data"
tool 1 '' fetch http://127.0.0.1:1/
exit "$failed"
