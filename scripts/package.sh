#!/usr/bin/env bash
# Makes zembrixnet's release artifacts in dist/: the Debian packages of the
# library, its development files and the tool (checked with lintian), and the
# Windows archive zembrixnet-<version>-win32.zip. Installs what the machine
# lacks first (scripts/bootstrap).
#
#   scripts/package.sh [deb|win32|all]      (default: all)
#
# Release builds of their own, in build/package-deb and build/package-win32.
set -euo pipefail

root=$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.." && pwd)
cd "$root"

case "${1:-all}" in
    deb) targets=(deb) ;;
    win32) targets=(win32) ;;
    all) targets=(deb win32) ;;
    *)
        echo "usage: scripts/package.sh [deb|win32|all]" >&2
        exit 2
        ;;
esac

# The cross compiler and Wine only for the Windows archive.
if [[ " ${targets[*]} " == *" win32 "* ]]; then
    "$root/scripts/bootstrap" win32 package
else
    "$root/scripts/bootstrap" package
fi
dist="$root/dist"
mkdir -p "$dist"

project_version() {
    sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$1/CMakeCache.txt"
}

package_deb() {
    local dir="$root/build/package-deb"
    echo "== deb: configure and build ($dir)"
    cmake -S "$root" -B "$dir" --log-level=WARNING -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX=/usr -DZEMBRIXNET_TESTS=OFF -DZEMBRIXNET_WERROR=ON
    cmake --build "$dir" -j"$(nproc)"
    echo "== deb: packages"
    rm -f "$dir"/*.deb
    (cd "$dir" && cpack -G DEB >/dev/null)
    rm -f "$dist"/*.deb
    cp "$dir"/*.deb "$dist/"
    echo "== deb: lintian"
    local report status=0
    report=$(lintian --fail-on error "$dist"/*.deb 2>&1) || status=$?
    # lintian warns that it runs as root; the packages are only read.
    grep -v 'running with root privileges' <<<"$report" || true
    if [[ $status -ne 0 ]]; then
        echo "package: lintian found errors (above)" >&2
        exit 1
    fi
    ls "$dist"/*.deb
}

package_win32() {
    local dir="$root/build/package-win32"
    echo "== win32: configure and build ($dir)"
    cmake -S "$root" -B "$dir" --log-level=WARNING -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" -DZEMBRIXNET_TESTS=OFF \
        -DZEMBRIXNET_WERROR=ON
    cmake --build "$dir" -j"$(nproc)"

    local version name stage
    version=$(project_version "$dir")
    name="zembrixnet-$version-win32"
    stage="$dir/stage/$name"
    echo "== win32: $name.zip"
    rm -rf "$dir/stage"
    cmake --install "$dir" --prefix "$stage" --strip >/dev/null
    # The pkg-config file names the build machine's prefix: no use here.
    rm -rf "$stage/lib/pkgconfig"
    # The import library other Windows compilers link, made from the list of
    # exports (the plain __cdecl names), beside MinGW's own.
    cp "$root/src/zembrixnet.def" "$stage/lib/"
    i686-w64-mingw32-dlltool --input-def "$root/src/zembrixnet.def" --dllname zembrixnet.dll \
        --output-lib "$stage/lib/zembrixnet.lib"
    sed 's/$/\r/' "$root/packaging/windows/README-windows.txt" >"$stage/README-windows.txt"
    mkdir "$stage/examples"
    for example in CMakeLists.txt host.c; do
        sed 's/$/\r/' "$root/examples/$example" >"$stage/examples/$example"
    done
    sed 's/$/\r/' "$root/LICENSE" >"$stage/LICENSE.txt"
    sed 's/$/\r/' "$root/THIRD-PARTY-NOTICES.txt" >"$stage/THIRD-PARTY-NOTICES.txt"
    rm -f "$dist/$name.zip"
    (cd "$dir/stage" && zip -qr -X "$dist/$name.zip" "$name")
    ls "$dist/$name.zip"
}

for target in "${targets[@]}"; do
    "package_$target"
done
