#!/usr/bin/env bash
# A first look at zembrixnet: builds the command-line host zembrix-netcheck and
# initialises the library on a fresh temporary directory, showing the
# callbacks the library sends and the server list file it writes.
# Nothing here touches the network.
set -euo pipefail

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
