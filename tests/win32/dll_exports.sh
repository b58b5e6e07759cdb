#!/usr/bin/env bash
# zembrixnet.dll exports the eight functions under their plain names and the
# members of CAsyncSSLConnection, nothing else, and imports only the system's
# own DLLs (the compiler's runtime is linked in).
#
#   dll_exports.sh zembrixnet.dll
set -euo pipefail
dump=$(i686-w64-mingw32-objdump -p "$1")

# One name per line, as the shared library exports them too.
expected=$(sort "$(dirname "$0")/../public_exports.txt")
# The export table's names, demangled, without parameter lists and ABI tags.
actual=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
    sed -n 's/^\s*\[ *[0-9]*\] \(.*\)$/\1/p' | c++filt |
    sed -e 's/(.*//' -e 's/\[abi:[^]]*\]//g' | sort)
failed=0
if [[ "$actual" != "$expected" ]]; then
    echo "exports differ from the public interface:" >&2
    diff <(echo "$expected") <(echo "$actual") >&2 || true
    failed=1
fi

system="advapi32.dll crypt32.dll kernel32.dll msvcrt.dll user32.dll wininet.dll ws2_32.dll"
while read -r dll; do
    if [[ " $system " != *" ${dll,,} "* ]]; then
        echo "imports a DLL that is not the system's: $dll" >&2
        failed=1
    fi
done < <(sed -n 's/^\s*DLL Name: //p' <<<"$dump")
exit "$failed"
