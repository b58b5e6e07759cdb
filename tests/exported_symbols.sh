#!/usr/bin/env bash
# The shared library exports the eight functions of its C interface and the
# members of CAsyncSSLConnection (its constructor and destructor twice: the
# complete and the base object's), and nothing else of ours.
set -euo pipefail
# One name per line; the Windows DLL exports the same (tests/win32/dll_exports.sh).
expected=$(sort "$(dirname "$0")/public_exports.txt")
# Names without their parameter lists and ABI tags.
actual=$(nm -DC --defined-only "$1" | awk '$2 != "A"' | cut -d' ' -f3- |
    sed -e 's/(.*//' -e 's/\[abi:[^]]*\]//g' | sort)
if [[ "$actual" != "$expected" ]]; then
    echo "exported symbols differ from the public interface:" >&2
    diff <(echo "$expected") <(echo "$actual") >&2 || true
    exit 1
fi
echo "exports: the eight functions and CAsyncSSLConnection, nothing else"
