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
# shellcheck source=source-date-epoch.sh
. scripts/source-date-epoch.sh
# shellcheck source=presets.sh
. scripts/presets.sh
echo "release: file dates and time stamps $SOURCE_DATE_EPOCH" \
    "($(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S UTC'))"
mkdir -p "$logs" dist

# Packages of an earlier run would otherwise sit beside the new ones.
rm -f dist/pipeword-*-win32.zip dist/pipeword-*-win32.zip.sha256 \
    dist/pipeword-*-win64.zip dist/pipeword-*-win64.zip.sha256 \
    dist/pipeword_*.deb dist/pipeword_*.deb.sha256

for preset in release-windows release-windows64 release-native; do
    echo "==== $preset"
    log=$logs/$preset
    # CPack makes each preset's packages in a folder of their own, with its staging area;
    # the files it leaves there are the packages and their sums, which are made again here
    # for each package as it goes into dist/ (a ZIP is rewritten first).
    made=$root/build/$preset/packages
    rm -rf "$made"
    if ! build_preset "$preset" "$log"; then
        echo "release: $preset failed (log in build/logs/$preset)"
        exit 1
    fi
    if ! cpack --preset "$preset" -B "$made" >>"$log" 2>&1; then
        tail -60 "$log"
        echo "release: $preset failed (log in build/logs/$preset)"
        exit 1
    fi
    for package in "$made"/*; do
        [ -f "$package" ] || continue
        name=$(basename "$package")
        case $name in
        *.sha256) continue ;;
        *.zip) python3 scripts/repack-zip.py "$package" ;;
        esac
        mv "$package" "dist/$name"
        (cd dist && sha256sum "$name" >"$name.sha256")
        printf '%s\n' "$root/dist/$name" "$root/dist/$name.sha256"
    done
done
echo "==== wheel"
sh scripts/wheel.sh dist
