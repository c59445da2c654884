#!/bin/sh
# Builds the release packages into dist/, from the release-* presets:
#   dist/pipeword-VERSION-win32.zip    pipeword.exe, pipeword-client.exe, README.txt, LICENSE.txt
#                                      and samples/: the main download, for 32-bit x86 Windows
#   dist/pipeword-VERSION-win64.zip    the same for 64-bit x86 Windows, for installations that
#                                      run no 32-bit programs
#   dist/pipeword_VERSION_ARCH.deb     the Linux programs, their manual pages, the copyright
#   dist/pipeword-VERSION-py3-none-any.whl  the Python package (scripts/wheel.sh)
# each with its SHA-256 sum beside it (NAME.sha256). Installs what it needs first.
# tests/release/check.sh checks the result.
#
# The same sources give the same bytes, in any folder, at any time, for any user, with the
# same tool versions (Debian 12's): dates come from SOURCE_DATE_EPOCH (the commit's time
# unless the caller sets it: scripts/source-date-epoch.sh); the release presets write paths
# relative to the source tree (PIPEWORD_REPRODUCIBLE); the umask is fixed; CPack's .deb
# already has fixed owners and sorted members, and the ZIPs are rewritten so that theirs are
# (scripts/repack-zip.py).
set -e
cd "$(dirname "$0")/.."
root=$(pwd)
logs=$root/build/logs
umask 022

sh scripts/install-deps.sh all
. scripts/source-date-epoch.sh
echo "release: file dates and time stamps $SOURCE_DATE_EPOCH" \
    "($(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S UTC'))"
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
    sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' "$log" >"$log.packages"
    while IFS= read -r package; do
        case $package in
        *.zip)
            python3 scripts/repack-zip.py "$package"
            (cd "$(dirname "$package")" && name=$(basename "$package") &&
                sha256sum "$name" >"$name.sha256")
            ;;
        esac
        printf '%s\n' "$package" "$package.sha256"
    done <"$log.packages"
done
# CPack's staging area; the packages are what is left.
rm -rf dist/_CPack_Packages
echo "==== wheel"
sh scripts/wheel.sh dist
