#!/bin/sh
# Builds the release packages into dist/, from the release-* presets:
#   dist/pipeword-VERSION-win32.zip    the programs, pipeword.dll with its header and import
#                                      files, README.txt, CHANGES.txt, LICENSE.txt and samples/:
#                                      the main download, for 32-bit x86 Windows
#   dist/pipeword-VERSION-win64.zip    the same for 64-bit x86 Windows, for installations that
#                                      run no 32-bit programs
#   dist/pipeword_VERSION_ARCH.deb     the Linux programs, their manual pages, the tmpfiles.d entry
#   dist/libpipeword1_VERSION_ARCH.deb, dist/libpipeword-dev_VERSION_ARCH.deb,
#   dist/python3-pipeword_VERSION_all.deb   the library, its development files, the Python package
#   dist/pipeword-VERSION-linux-MACHINE.tar.gz  the static programs, manual pages and library, to
#                                      unpack under /usr/local (the component tarball)
#   dist/pipeword-VERSION-py3-none-any.whl  the Python package (scripts/wheel.sh)
# each with its SHA-256 sum beside it (NAME.sha256). Installs what it needs first.
# tests/release/check.sh checks the result.
#
# The same sources give the same bytes, in any folder, at any time, for any user, with the
# same tool versions (Debian 12's): dates come from SOURCE_DATE_EPOCH (the commit's time
# unless the caller sets it: scripts/source-date-epoch.sh); the release presets write paths
# relative to the source tree (PIPEWORD_REPRODUCIBLE); the umask is fixed; CPack's .deb
# already has fixed owners and sorted members, and the ZIPs are rewritten so that theirs are
# (scripts/repack-zip.py); the tarball is written so, and gzip stores no name or time in it.
# shellcheck shell=dash # "local": dash has it, as Debian's policy asks of every /bin/sh
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
    dist/pipeword_*.deb dist/libpipeword1_*.deb dist/libpipeword-dev_*.deb \
    dist/python3-pipeword_*.deb dist/*.deb.sha256 \
    dist/pipeword-*-linux-*.tar.gz dist/pipeword-*-linux-*.tar.gz.sha256

# into_dist FILE: moves FILE into dist/ with its SHA-256 sum beside it; prints both paths.
into_dist() {
    local name
    name=$(basename "$1")
    mv "$1" "dist/$name"
    (cd dist && sha256sum "$name" >"$name.sha256")
    printf '%s\n' "$root/dist/$name" "$root/dist/$name.sha256"
}

# tarball PRESET: the component tarball of PRESET, installed stripped under /usr/local and
# packed as one folder, pipeword-VERSION-linux-MACHINE/, in a reproducible tar: members in
# byte order of their names, root's, not writable by group or others, dated
# SOURCE_DATE_EPOCH; gzip -n.
tarball() {
    local stage="$root/build/$1/tarball" version top
    version=$(sed -n 's/^project(pipeword VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
    top=pipeword-$version-linux-$(uname -m)
    rm -rf "$stage" &&
        DESTDIR=$stage/root cmake --install "build/$1" --component tarball --prefix /usr/local \
            --strip >>"$logs/$1" 2>&1 &&
        mv "$stage/root/usr/local" "$stage/$top" &&
        tar -C "$stage" --sort=name --format=gnu --owner=0 --group=0 --numeric-owner \
            --mode=go-w --mtime="@$SOURCE_DATE_EPOCH" -cf "$stage/$top.tar" "$top" &&
        gzip -9 -n "$stage/$top.tar" &&
        into_dist "$stage/$top.tar.gz"
}

for preset in release-windows release-windows64 release-native; do
    echo "==== $preset"
    log=$logs/$preset
    # CPack makes each preset's packages in a folder of their own, with its staging area;
    # the files it leaves there are the packages, whose sums are made here as each goes into
    # dist/ (a ZIP is rewritten first).
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
        *.zip) python3 scripts/repack-zip.py "$package" ;;
        esac
        into_dist "$package"
    done
    if [ "$preset" = release-native ] && ! tarball "$preset"; then
        echo "release: the tarball of $preset failed (log in build/logs/$preset)"
        exit 1
    fi
done
echo "==== wheel"
sh scripts/wheel.sh dist
