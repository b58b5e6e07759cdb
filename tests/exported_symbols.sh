#!/usr/bin/env bash
# The shared library exports the eight functions of its C interface and
# nothing else of ours.
set -euo pipefail
expected="CancelChecking
CheckServerStatus
CloseCheckServer
EndUpdateServerList
GetServerInfo
InitCheckServer
SetHTTPProxy
UpdateServerList"
actual=$(nm -D --defined-only "$1" | awk '$2 != "A" {print $3}' | sort)
if [[ "$actual" != "$expected" ]]; then
    echo "exported symbols differ from the public interface:" >&2
    diff <(echo "$expected") <(echo "$actual") >&2 || true
    exit 1
fi
echo "exports: the eight functions, nothing else"
