#!/bin/sh
# Builds the release packages into dist/, from the release-* presets:
#   dist/pipeword-VERSION-win32.zip    pipeword.exe, pipeword-client.exe, README.txt, LICENSE.txt
#                                      and samples/: the main download, for 32-bit x86 Windows
#   dist/pipeword-VERSION-win64.zip    the same for 64-bit x86 Windows, for installations that
#                                      run no 32-bit programs
#   dist/pipeword_VERSION_ARCH.deb     the Linux programs, their manual pages, the copyright
# each with its SHA-256 sum beside it (NAME.sha256). Installs what it needs first.
# tests/release/check.sh checks the result.
set -e
cd "$(dirname "$0")/.."
root=$(pwd)
logs=$root/build/logs

sh scripts/install-deps.sh all
mkdir -p "$logs" dist
jobs=$(nproc 2>/dev/null || echo 2)

# Packages of an earlier run would otherwise sit beside the new ones.
rm -f dist/pipeword-*-win32.zip dist/pipeword-*-win32.zip.sha256 \
    dist/pipeword-*-win64.zip dist/pipeword-*-win64.zip.sha256 \
    dist/pipeword_*.deb dist/pipeword_*.deb.sha256

for preset in release-windows release-windows64 release-native; do
    echo "==== $preset"
    log=$logs/$preset
    if ! { cmake --preset "$preset" && cmake --build --preset "$preset" -j"$jobs" &&
        cpack --preset "$preset"; } >"$log" 2>&1; then
        tail -60 "$log"
        echo "release: $preset failed (log in build/logs/$preset)"
        exit 1
    fi
    sed -n 's/^CPack: - \(package\|checksum file\): \(.*\) generated\.$/\2/p' "$log"
done
# CPack's staging area; the packages are what is left.
rm -rf dist/_CPack_Packages
