#!/bin/sh
# Checks the release packages as their users get them:
#   the Windows ZIPs the 32-bit one (win32) and the 64-bit one (win64), each: exactly the
#                    expected files; text files with CR LF line ends; README.txt naming the
#                    ZIP's machine and its compiler, and listing every Windows error code of
#                    README.md's table; CHANGES.txt the change log; both executables and
#                    pipeword.dll for the ZIP's machine (x86 or x64), importing only system
#                    DLLs, the executables console programs with the version and a manifest
#                    for that machine, the DLL exporting pipeword.def's functions; the C
#                    example built against the ZIP's DLL as README.txt says; under Wine, where
#                    this machine runs them (32-bit Wine needs a kernel that runs 32-bit
#                    programs: elsewhere those checks are reported as skipped),
#                    pipeword.exe from the ZIP serving pipeword-client.exe from the ZIP and
#                    the C example;
#   the .debs        pipeword, libpipeword1, libpipeword-dev and python3-pipeword: their
#                    fields (Depends from dpkg-shlibdeps), files and control files, the
#                    shared libraries the programs need (no C++ runtime), and lintian's
#                    verdict where lintian is installed; then, on this machine (as root, or
#                    through sudo): dpkg -i of all four, in a mount namespace with an empty
#                    /tmp of its own where one can be had, and in it, right after the
#                    install, an ordinary user's pipeword serving pipeword-client in the
#                    /tmp/.pipe that the postinst made, and the C example (built with cc and
#                    pkg-config against the installed header and library) and the Python
#                    example (under /usr/bin/python3, no path set) each getting the word
#                    from pipeword Stop, as root and as an ordinary user; the manual pages
#                    through man, the installed pipeword serving the installed
#                    pipeword-client, the postinst with and without systemd-tmpfiles, before
#                    another user's directory or link (each case in an empty /tmp of its
#                    own, never in this machine's /tmp), dpkg --purge of all four, and
#                    nothing left behind;
#   the tarball      its members, sorted, root's, dated SOURCE_DATE_EPOCH; its programs and
#                    library the .debs' bytes; unpacked elsewhere, the C example built
#                    against it with find_package(pipeword) and with pkg-config
#                    --define-prefix getting the word from its pipeword;
#   the wheel        the Python package with the same files as python3-pipeword and the ZIPs;
#   all of them      byte for byte what a second build of the same sources makes in another
#                    folder: the tracked files as they are in this working tree (uncommitted
#                    changes included, untracked files left out), copied to a temporary
#                    folder and built there by scripts/release.sh with the same
#                    SOURCE_DATE_EPOCH (scripts/source-date-epoch.sh: the commit's time
#                    unless it is set). A package that differs is named, with the members
#                    that differ in it (and diffoscope's report where it is installed).
# Usage: check.sh [DIST]   checks the packages in DIST; without it, builds them into dist/
#                          first (scripts/release.sh).
# The check refuses to install over any of the four packages that is already installed, or
# over any of their files that is already on the system: it never replaces or removes what it
# did not put there.
# Prints a line for each check (ok, FAIL with the reasons below it, or skipped and why), then
# "release: N passed, M failed, K skipped"; with RELEASE_COUNTS naming a file, writes the
# three numbers there too, as "N M K", for the test command.
# shellcheck shell=dash # "local": dash has it, as Debian's policy asks of every /bin/sh
set -u
# The harness counts the checks and keeps the work directory; the programs are started
# through it, but none through its runner: the ZIPs' programs run under the Wine loader,
# named as their program.
runner=""
label=release
# shellcheck source=../lib/harness.sh
. "$(dirname "$0")/../lib/harness.sh"
cd "$(dirname "$0")/../.." || exit 1
root=$(pwd)
# Both builds take their dates from this.
# shellcheck source=../../scripts/source-date-epoch.sh
. scripts/source-date-epoch.sh

if [ $# -gt 0 ]; then
    dist=$1
else
    sh scripts/release.sh || exit 1
    dist=$root/dist
fi
dist=$(cd "$dist" && pwd) || exit 1

version=$(sed -n 's/^project(pipeword VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
zips="$dist/pipeword-$version-win32.zip $dist/pipeword-$version-win64.zip"
# The programs' package first: the checks of the programs are of it.
deb_packages="pipeword libpipeword1 libpipeword-dev python3-pipeword"
deb=$dist/pipeword_${version}_$arch.deb
debs="$deb $dist/libpipeword1_${version}_$arch.deb $dist/libpipeword-dev_${version}_$arch.deb
$dist/python3-pipeword_${version}_all.deb"
tarball=$dist/pipeword-$version-linux-$(uname -m).tar.gz
wheel=$dist/pipeword-$version-py3-none-any.whl
packages="$zips $debs $tarball $wheel"

# dpkg -i and dpkg --purge need root.
as_root=""
if [ "$(id -u)" -ne 0 ]; then
    as_root=sudo
fi

installed_here=false
release_cleanup() {
    if $installed_here; then
        # shellcheck disable=SC2086 # one package a word
        $as_root dpkg --purge $deb_packages >/dev/null 2>&1
    fi
    harness_cleanup
}
trap release_cleanup EXIT

# check NAME COMMAND...: one check, a case of its own; the command explains itself when it
# fails.
check() {
    begin_case "$1"
    shift
    if ! "$@" >"$work/why" 2>&1; then
        fail "$case_name"
        sed 's/^/     /' "$work/why" | head -40
    fi
    end_case
}

# report: the closing line (and RELEASE_COUNTS); whether every check passed.
report() {
    echo "release: $passed passed, $failures failed, $skipped skipped"
    if [ -n "${RELEASE_COUNTS:-}" ]; then
        echo "$passed $failures $skipped" >"$RELEASE_COUNTS"
    fi
    [ "$failures" -eq 0 ]
}

# same_lines EXPECTED ACTUAL: two files, equal (prints a diff otherwise).
same_lines() {
    diff "$1" "$2" >"$work/diff" && return 0
    echo "expected <, actual >"
    cat -v "$work/diff"
    return 1
}

# ---- Both ----------------------------------------------------------------------------------

checksums() {
    local package
    for package in $packages; do
        [ -f "$package" ] || { echo "missing: $package"; return 1; }
        (cd "$dist" && sha256sum -c "$(basename "$package").sha256") || return 1
    done
}

# The server's lines for "pipeword Stop" and the client's default 12-byte request.
echo 'Receive 12 bytes from client: "Hello"' | served_lines CorvaneStop >"$work/served"
sed 's/$/\r/' "$work/served" >"$work/served.crlf"

# exchange SERVER-COMMAND CLIENT-COMMAND EXPECTED [CLIENT-LINE]: runs "SERVER Stop" and the
# client against it (each command a program and its first arguments, split at spaces); the
# server must print exactly EXPECTED and exit with 1, the client must print CLIENT-LINE
# (pipeword-client's line for the word unless given) and exit with 0.
exchange() {
    local ok=true server_status client_status
    # shellcheck disable=SC2086 # split at spaces
    start server $1 Stop
    # shellcheck disable=SC2086 # split at spaces
    run client $2
    finish server
    server_status=$(recall server status)
    client_status=$(recall client status)
    if [ "$server_status" -ne 1 ] || [ "$client_status" -ne 0 ]; then
        echo "server exit status $server_status (expected 1), client $client_status (expected 0)"
        ok=false
    fi
    same_lines "$3" "$work/server.out" || ok=false
    if ! tr -d '\r' <"$work/client.out" |
        grep -q -x -F "${4:-Reply 24 bytes: \"CorvaneStop\"}"; then
        echo "client output:"
        cat -v "$work/client.out"
        ok=false
    fi
    if [ -s "$work/server.err" ] || [ -s "$work/client.err" ]; then
        echo "standard error:"
        cat "$work/server.err" "$work/client.err"
        ok=false
    fi
    $ok
}

check "checksums of the packages (NAME.sha256)" checksums
for package in $packages; do
    if [ ! -f "$package" ]; then
        fail "$(basename "$package") is missing: the other checks need every package"
        report
        exit 1
    fi
done

# ---- The same bytes from a second build ----------------------------------------------------

rebuild() {
    local copy="$work/rebuild/pipeword"
    mkdir -p "$copy" || return 1
    if [ -e .git ]; then
        # Tracked files that were deleted in the working tree are left out with them.
        git ls-files -z | tar --null --ignore-failed-read -T - -cf - 2>/dev/null |
            tar -xf - -C "$copy" || return 1
    else
        tar --exclude=./build --exclude=./dist -cf - . | tar -xf - -C "$copy" || return 1
    fi
    echo "second build: $copy"
    (cd "$copy" && sh scripts/release.sh) >"$work/rebuild.log" 2>&1 ||
        { tail -30 "$work/rebuild.log"; return 1; }
}

# listing PACKAGE: its members in order, with mode, owner, size and date.
listing() {
    case $1 in
    *.zip | *.whl) zipinfo -T "$1" | sed 1d ;;
    *.tar.gz) tar -tzv --full-time --numeric-owner -f "$1" ;;
    *.deb)
        ar tv "$1"
        dpkg-deb --ctrl-tarfile "$1" | tar -tv --full-time --numeric-owner
        dpkg-deb --fsys-tarfile "$1" | tar -tv --full-time --numeric-owner
        ;;
    esac
}

# same_bytes PACKAGE: the second build's package of that name is byte for byte PACKAGE;
# otherwise says which members differ, in their listing or in their contents.
same_bytes() {
    local again side package
    again=$work/rebuild/pipeword/dist/$(basename "$1")
    [ -f "$again" ] || { echo "the second build made no $(basename "$again")"; return 1; }
    cmp -s "$1" "$again" && return 0
    echo "$(basename "$1") differs: SHA-256 $(sha256sum <"$1" | cut -c1-16)..., second build's" \
        "$(sha256sum <"$again" | cut -c1-16)..."
    rm -rf "$work/cmp" && mkdir -p "$work/cmp/first" "$work/cmp/second" || return 1
    for side in first second; do
        package=$1
        [ $side = second ] && package=$again
        case $package in
        *.zip | *.whl) unzip -q "$package" -d "$work/cmp/$side" ;;
        *.deb) dpkg-deb -R "$package" "$work/cmp/$side" ;;
        *.tar.gz) tar -xzf "$package" -C "$work/cmp/$side" ;;
        esac
        listing "$package" >"$work/cmp/$side.list" 2>&1
    done
    if ! (cd "$work/cmp" && diff -r -q first second) >"$work/cmp/contents.diff"; then
        echo "members whose contents differ:"
        head -8 "$work/cmp/contents.diff"
    fi
    if ! diff "$work/cmp/first.list" "$work/cmp/second.list" >"$work/cmp/list.diff"; then
        echo "members listed differently (order, mode, owner, size, date):"
        grep '^<' "$work/cmp/list.diff" | head -6
        grep '^>' "$work/cmp/list.diff" | head -6
    fi
    if command -v diffoscope >/dev/null; then
        diffoscope --text - "$1" "$again" 2>&1 | head -40
    fi
    return 1
}

check "a second build, of the same sources in another folder (scripts/release.sh)" rebuild
for package in $packages; do
    check "same bytes from the second build: $(basename "$package")" same_bytes "$package"
done

# ---- The Windows ZIPs ----------------------------------------------------------------------
# Each check below is of the ZIP that zip names: top is its folder, unzipped where it is
# unpacked, bits 32 or 64.

zip_lists_exactly() {
    local file
    for file in CHANGES.txt LICENSE.txt README.txt include/ include/pipeword.h lib/ \
        lib/libpipeword.dll.a lib/pipeword.def pipeword-client.exe pipeword.dll pipeword.exe \
        samples/ samples/pipeword-client.ps1 samples/pipeword/ samples/pipeword_client.c \
        samples/pipeword_client.py samples/pipeword_example.c; do
        echo "$top/$file"
    done >"$work/zip.expected"
    for file in $python_files; do
        echo "$top/samples/pipeword/$file"
    done >>"$work/zip.expected"
    LC_ALL=C sort -o "$work/zip.expected" "$work/zip.expected"
    unzip -Z1 "$zip" | LC_ALL=C sort >"$work/zip.listed"
    same_lines "$work/zip.expected" "$work/zip.listed"
}

unpack_zip() {
    mkdir -p "$work/zip" && unzip -q "$zip" -d "$work/zip"
}

# Every line ends in CR LF, including the last one.
crlf_text() {
    local text bare crlf last
    for text in README.txt CHANGES.txt LICENSE.txt samples/pipeword-client.ps1 \
        samples/pipeword_client.c samples/pipeword_client.py samples/pipeword_example.c; do
        bare=$(tr -d '\r' <"$unzipped/$text" | wc -l)
        crlf=$(grep -c "$(printf '\r')\$" "$unzipped/$text")
        last=$(tail -c 2 "$unzipped/$text" | od -An -c | tr -d ' ')
        if [ "$bare" -eq 0 ] || [ "$bare" -ne "$crlf" ] || [ "$last" != '\r\n' ]; then
            printf '%s: %s lines, %s ending in CR LF, ends with %s\n' "$text" "$bare" "$crlf" \
                "$last"
            return 1
        fi
    done
}

texts_say_what_they_are() {
    head -1 "$unzipped/README.txt" | grep "pipeword $version for $bits-bit Windows" &&
        tr -d '\r' <"$unzipped/CHANGES.txt" | cmp - packaging/debian-changelog &&
        head -1 "$unzipped/CHANGES.txt" | grep "^pipeword ($version)" &&
        grep "^MIT License" "$unzipped/LICENSE.txt" &&
        grep "^Copyright (c) [0-9]* the pipeword authors" "$unzipped/LICENSE.txt"
}

# README.txt speaks of the ZIP's machine: the server's line under "Files", the MinGW compiler
# of each build command and MSVC's /machine; nothing of the other machine's.
readme_names_its_machine() {
    local own other
    if [ "$bits" = 64 ]; then
        own="64-bit x86-64 (x64)|x86_64-w64-mingw32-gcc|/machine:x64"
        other="i686|32-bit x86|/machine:x86"
    else
        own="32-bit x86|i686-w64-mingw32-gcc|/machine:x86"
        other="x86_64|x86-64|/machine:x64"
    fi
    tr -d '\r' <"$unzipped/README.txt" >"$work/readme" || return 1
    grep -q "^pipeword.exe  *the server: a ${own%%|*} console program" "$work/readme" ||
        { echo "the server's line under Files names no ${own%%|*}"; return 1; }
    [ "$(grep -c -F -e "$(echo "$own" | cut -d'|' -f2)" "$work/readme")" -eq 2 ] ||
        { echo "not two build commands with $(echo "$own" | cut -d'|' -f2)"; return 1; }
    grep -q -F -e "${own##*|}" "$work/readme" || { echo "no ${own##*|}"; return 1; }
    if grep -E -e "$other" "$work/readme"; then
        echo "^ speaks of the other machine"
        return 1
    fi
}

# README.txt's error list has every code of README.md's table but those met only on Linux
# ("both (Linux)", "server (Linux)").
readme_lists_every_error() {
    awk -F'|' '$2 ~ /^ 0x[0-9a-f]+ $/ && $4 !~ /^ [a-z]+ \(Linux\) $/ {
        gsub(/ /, "", $2); print $2 }' README.md >"$work/codes.md"
    [ -s "$work/codes.md" ] || { echo "no error codes found in README.md's table"; return 1; }
    tr -d '\r' <"$unzipped/README.txt" |
        sed -n '/^Error codes/,/^Licence/s/^  \(0x[0-9a-f]*\) .*/\1/p' >"$work/codes.txt"
    LC_ALL=C sort -o "$work/codes.md" "$work/codes.md"
    LC_ALL=C sort -o "$work/codes.txt" "$work/codes.txt"
    same_lines "$work/codes.md" "$work/codes.txt"
}

# The ZIP's machine, console subsystem, only the DLLs every Windows has; for the programs the
# version resource and the manifest for that machine.
windows_executables() {
    local exe
    for exe in pipeword.exe pipeword-client.exe pipeword.dll; do
        $objdump -p "$unzipped/$exe" >"$work/headers" || return 1
        grep -q "file format $format\$" "$work/headers" &&
            grep -q "Subsystem.*Windows CUI" "$work/headers" ||
            { echo "$exe: not a $bits-bit x86 console executable"; return 1; }
        sed -n 's/^[[:space:]]*DLL Name: //p' "$work/headers" | tr '[:lower:]' '[:upper:]' |
            sort -u |
            grep -v -x -e KERNEL32.DLL -e ADVAPI32.DLL -e MSVCRT.DLL >"$work/other-dlls"
        if [ -s "$work/other-dlls" ]; then
            echo "$exe imports DLLs that Windows does not ship:"
            cat "$work/other-dlls"
            return 1
        fi
    done
    for exe in pipeword.exe pipeword-client.exe; do
        strings -el "$unzipped/$exe" | grep -q -x "$version" ||
            { echo "$exe carries no version $version"; return 1; }
        strings "$unzipped/$exe" | grep -q 'requestedExecutionLevel level="asInvoker"' ||
            { echo "$exe carries no asInvoker manifest"; return 1; }
        strings "$unzipped/$exe" | grep -q "processorArchitecture=\"$architecture\"" ||
            { echo "$exe carries no manifest for $architecture"; return 1; }
    done
}

# The C example built against the ZIP's header and import library by README.txt's MinGW
# command (its backslashes made slashes), in the ZIP's folder, beside the DLL.
zip_example_builds() {
    tr -d '\r' <"$unzipped/README.txt" |
        sed -n 's/^    \([a-z0-9_-]*-gcc .*pipeword_example.*\)$/\1/p' |
        tr '\134' / >"$work/build-example"
    [ "$(wc -l <"$work/build-example")" -eq 1 ] ||
        { echo "README.txt has no one MinGW command for pipeword_example.c"; return 1; }
    cat "$work/build-example"
    (cd "$unzipped" && sh "$work/build-example") && [ -f "$unzipped/pipeword_example.exe" ]
}
# A Wine prefix of our own, copied from an initialised one (as the Windows tests leave in
# build/windows/wineprefix and build/windows64/wineprefix) or made afresh.
wine_prefix() {
    local template
    remove_wine_prefix
    prefix=""
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    template=${PIPEWORD_WINE_TEMPLATE:-$root/build/windows$([ "$bits" = 64 ] && echo 64)/wineprefix}
    if [ -f "$template/system.reg" ]; then
        copy_wine_prefix "$template" "release$bits" || return 1
    else
        prefix=$work/wineprefix$bits
    fi
    export WINEPREFIX="$prefix"
    start_wine_prefix "$machine" "$work/wineboot.log" || { tail "$work/wineboot.log"; return 1; }
}

wine_exchange() {
    local wine
    wine=$(wine_loader "$machine")
    (cd "$unzipped" && exchange "$wine ./pipeword.exe" "$wine ./pipeword-client.exe --wait 15000" \
        "$work/served.crlf")
}

wine_example() {
    local wine
    wine=$(wine_loader "$machine")
    (cd "$unzipped" && exchange "$wine ./pipeword.exe" "$wine ./pipeword_example.exe" \
        "$work/served.crlf" CorvaneStop)
}

python_files=$(unzip -Z1 "$wheel" | sed -n 's,^pipeword/,,p' | LC_ALL=C sort)
for zip in $zips; do
    top=$(basename "$zip" .zip)
    unzipped=$work/zip/$top
    case $top in
    *-win64)
        bits=64 preset=release-windows64 mingw=x86_64-w64-mingw32
        format=pei-x86-64 architecture=amd64
        ;;
    *)
        bits=32 preset=release-windows mingw=i686-w64-mingw32
        format=pei-i386 architecture=x86
        ;;
    esac
    objdump=$mingw-objdump
    machine=$(preset_machine "$preset")
    check "$top.zip lists exactly the programs, pipeword.dll, include/, lib/, the texts, samples/" \
        zip_lists_exactly
    check "$top.zip unpacks" unpack_zip
    check "$top: README.txt, CHANGES.txt, LICENSE.txt and the samples have CR LF line ends" \
        crlf_text
    check "$top: README.txt names version $version; CHANGES.txt the change log; LICENSE.txt MIT" \
        texts_say_what_they_are
    check "$top: README.txt names the $bits-bit programs, $mingw-gcc and its MSVC machine" \
        readme_names_its_machine
    check "$top: README.txt lists every Windows error code of README.md's table" \
        readme_lists_every_error
    check "$top: programs and DLL: PE $bits-bit x86 console, system DLLs only; version, manifest" \
        windows_executables
    example_check="$top: samples/pipeword_example.c builds on the ZIP's DLL by README.txt's command"
    if command -v "$mingw-gcc" >/dev/null; then
        check "$example_check" zip_example_builds
    else
        skip "$example_check: $mingw-gcc is not installed here"
    fi
    wine_prefix_check="$top: Wine prefix for the ZIP's programs"
    wine_exchange_check="$top: Wine: pipeword.exe Stop from the ZIP serves pipeword-client.exe \
from the ZIP"
    wine_example_check="$top: Wine: pipeword.exe Stop from the ZIP serves the C example on the \
ZIP's DLL"
    if windows_build_runs "$preset"; then
        check "$wine_prefix_check" wine_prefix
        check "$wine_exchange_check" wine_exchange
        if [ -f "$unzipped/pipeword_example.exe" ]; then
            check "$wine_example_check" wine_example
        else
            skip "$wine_example_check: it was not built"
        fi
    else
        skip "$wine_prefix_check: $no_32bit_why"
        skip "$wine_exchange_check: $no_32bit_why"
        skip "$wine_example_check: $no_32bit_why"
    fi
done

# ---- The Debian packages -------------------------------------------------------------------

binaries="/usr/bin/pipeword /usr/bin/pipeword-client"
tmpfiles=/usr/lib/tmpfiles.d/pipeword.conf
libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
dist_packages=/usr/lib/python3/dist-packages

# package_files PACKAGE: the files (and links) of PACKAGE, one a line.
package_files() {
    local doc="/usr/share/doc/$1" file
    printf '%s\n' "$doc/copyright" "$doc/changelog.gz"
    case $1 in
    pipeword)
        # shellcheck disable=SC2086 # one path a word
        printf '%s\n' $binaries $tmpfiles /usr/share/man/man1/pipeword.1.gz \
            /usr/share/man/man1/pipeword-client.1.gz "$doc/README.Debian" \
            /usr/share/lintian/overrides/pipeword
        ;;
    libpipeword1) printf '%s\n' "$libdir/libpipeword.so.1" "$libdir/libpipeword.so.1.0.0" ;;
    libpipeword-dev)
        printf '%s\n' /usr/include/pipeword.h "$libdir/libpipeword.so" "$libdir/libpipeword.a" \
            "$libdir/pkgconfig/pipeword.pc" "$doc/examples/pipeword_example.c"
        for file in config config-version targets targets-release; do
            echo "$libdir/cmake/pipeword/pipeword-$file.cmake"
        done
        ;;
    python3-pipeword)
        for file in $python_files; do
            echo "$dist_packages/pipeword/$file"
        done
        printf '%s\n' "$dist_packages/pipeword-$version.dist-info/METADATA" \
            "$dist_packages/pipeword-$version.dist-info/WHEEL" \
            "$doc/examples/pipeword_client.py"
        ;;
    esac
}

# package_deb PACKAGE: the .deb of PACKAGE.
package_deb() {
    local package
    for package in $debs; do
        case $(basename "$package") in
        "$1"_*) echo "$package" ;;
        esac
    done
}

for package in $deb_packages; do
    package_files "$package"
done | LC_ALL=C sort >"$work/deb.files"

# deb_fields PACKAGE: its name, version, architecture and maintainer; its Depends: none on
# the C++ runtime for the static programs, the C library's (dpkg-shlibdeps) for the shared
# library, the shared library of this very version for the development files, Python 3 for
# the Python package.
deb_fields() {
    local want_arch=$arch depends
    [ "$1" = python3-pipeword ] && want_arch=all
    dpkg-deb -f "$(package_deb "$1")" Package Version Architecture Depends Maintainer \
        >"$work/fields" || return 1
    cat "$work/fields"
    grep -x "Package: $1" "$work/fields" >/dev/null &&
        grep -x "Version: $version" "$work/fields" >/dev/null &&
        grep -x "Architecture: $want_arch" "$work/fields" >/dev/null &&
        grep "^Maintainer: .*<.*@.*>" "$work/fields" >/dev/null || return 1
    depends=$(sed -n 's/^Depends: //p' "$work/fields")
    case $1 in
    pipeword) ! echo "$depends" | grep -E "libstdc\+\+|libgcc" ;;
    libpipeword1) echo "$depends" | grep -q "libc6 (>= " ;;
    libpipeword-dev) [ "$depends" = "libpipeword1 (= $version)" ] ;;
    python3-pipeword) [ "$depends" = "python3:any (>= 3.8)" ] ;;
    esac
}

# deb_contents PACKAGE: exactly its files, root's, executables 755, links, the rest 644;
# directories (755) only above them; its control files.
deb_contents() {
    local listed
    listed=$(package_deb "$1")
    dpkg-deb -c "$listed" >"$work/contents" || return 1
    package_files "$1" | LC_ALL=C sort >"$work/files.expected"
    awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' "$work/contents" | LC_ALL=C sort \
        >"$work/files.listed"
    same_lines "$work/files.expected" "$work/files.listed" || return 1
    awk -v bins=" $binaries " '
        $2 != "root/root" { print "not root/root: " $0; bad = 1 }
        $1 ~ /^d/ && $1 != "drwxr-xr-x" { print "directory mode: " $0; bad = 1 }
        $1 ~ /^-/ {
            path = $6; sub(/^\./, "", path)
            want = index(bins, " " path " ") ? "-rwxr-xr-x" : "-rw-r--r--"
            if ($1 != want) { print "mode " $1 ", expected " want ": " path; bad = 1 }
        }
        $1 !~ /^[-dl]/ { print "neither file, link nor directory: " $0; bad = 1 }
        END { exit bad }' "$work/contents" || return 1
    dpkg-deb --ctrl-tarfile "$listed" | tar -tv --numeric-owner |
        awk '{ sub(/^\.\//, "", $6); print $1, $2, $6 }' | LC_ALL=C sort >"$work/control.listed"
    {
        printf '%s\n' "-rw-r--r-- 0/0 control" "-rw-r--r-- 0/0 md5sums"
        case $1 in
        pipeword) echo "-rwxr-xr-x 0/0 postinst" ;;
        libpipeword1) printf -- '-rw-r--r-- 0/0 %s\n' shlibs symbols triggers ;;
        python3-pipeword) printf -- '-rwxr-xr-x 0/0 %s\n' postinst prerm ;;
        esac
    } >"$work/control.expected"
    same_lines "$work/control.expected" "$work/control.listed"
}

unpack_debs() {
    local package
    for package in $debs; do
        dpkg-deb -x "$package" "$work/deb" || return 1
    done
}

# The programs carry the C++ runtime (no libstdc++, libgcc_s or libm at run time), and
# the package depends on the C library whenever they need the shared one.
deb_libraries() {
    local program
    dpkg-deb -f "$deb" Depends >"$work/fields"
    for program in pipeword pipeword-client; do
        readelf -d "$work/deb/usr/bin/$program" >"$work/dynamic" || return 1
        sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' "$work/dynamic" >"$work/needed"
        echo "$program needs: $(tr '\n' ' ' <"$work/needed")"
        if grep -E '^(libstdc\+\+|libgcc_s|libm)\.' "$work/needed"; then
            echo "$program needs a shared C++ runtime"
            return 1
        fi
        if grep -q '^libc\.so' "$work/needed" && ! grep -q "libc6" "$work/fields"; then
            echo "$program needs libc.so, but the package does not depend on libc6"
            return 1
        fi
    done
}

# The manual pages format without a warning and name the package's version; every package
# has the same change log, which starts with this version, and copyright file.
deb_documents() {
    local page file logged package
    for page in pipeword pipeword-client; do
        file=$work/deb/usr/share/man/man1/$page.1.gz
        LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$file" \
            >"$work/page" 2>"$work/page.warnings" || return 1
        if [ -s "$work/page.warnings" ]; then
            echo "$page.1:"
            cat "$work/page.warnings"
            return 1
        fi
        grep -q "pipeword $version" "$work/page" ||
            { echo "$page.1 names no version $version"; return 1; }
    done
    gzip -dc "$work/deb/usr/share/doc/pipeword/changelog.gz" >"$work/changelog" &&
        logged=$(dpkg-parsechangelog -l "$work/changelog" -S Version) || return 1
    [ "$logged" = "$version" ] ||
        { echo "the change log's last entry is $logged, not $version"; return 1; }
    grep -q "^License: Expat" "$work/deb/usr/share/doc/pipeword/copyright" || return 1
    for package in $deb_packages; do
        for file in changelog.gz copyright; do
            cmp "$work/deb/usr/share/doc/pipeword/$file" \
                "$work/deb/usr/share/doc/$package/$file" || return 1
        done
    done
}

# The Python package is the same files in the wheel, in python3-pipeword and beside the
# ZIPs' Python sample.
python_package() {
    local zip file
    mkdir -p "$work/wheel" && unzip -q -o "$wheel" -d "$work/wheel" || return 1
    for file in $python_files; do
        cmp "$work/wheel/pipeword/$file" "$work/deb$dist_packages/pipeword/$file" || return 1
        for zip in $zips; do
            cmp "$work/wheel/pipeword/$file" \
                "$work/zip/$(basename "$zip" .zip)/samples/pipeword/$file" || return 1
        done
    done
    grep -x "__version__ = \"$version\"" "$work/wheel/pipeword/_version.py"
}

# lintian's verdict on PACKAGE: errors and warnings fail (the overrides give their reasons);
# info tags are shown.
deb_lintian() {
    local status
    lintian --fail-on error,warning --display-info "$(package_deb "$1")" >"$work/lintian" 2>&1
    status=$?
    grep -v -x 'running with root privileges is not recommended!' "$work/lintian"
    return $status
}

for package in $deb_packages; do
    check "$package: fields: $package $version, Depends" deb_fields "$package"
    check "$package: files and control files" deb_contents "$package"
done
check "the packages unpack" unpack_debs
check "programs need no shared C++ runtime; Depends covers the C library" deb_libraries
check "manual pages format cleanly; versions agree; each package's copyright and change log" \
    deb_documents
check "the Python package: the same files in the wheel, python3-pipeword and each ZIP" \
    python_package
for package in $deb_packages; do
    if command -v lintian >/dev/null; then
        check "lintian $(basename "$(package_deb "$package")"): no errors or warnings" \
            deb_lintian "$package"
        sed -n 's/^I: /     note: lintian: /p' "$work/lintian"
    else
        skip "lintian $package: not installed here (apt-get install lintian)"
    fi
done

# ---- The Linux tarball ---------------------------------------------------------------------

tarball_top=$(basename "$tarball" .tar.gz)

# Exactly these members, in byte order of their names, root's, dated SOURCE_DATE_EPOCH,
# directories and programs 755, links, the rest 644; gzip keeps no name and no time.
tarball_members() {
    local file date
    for file in "" bin/ bin/pipeword bin/pipeword-client include/ include/pipeword.h lib/ \
        lib/cmake/ lib/cmake/pipeword/ lib/libpipeword.a lib/libpipeword.so \
        lib/libpipeword.so.1 lib/libpipeword.so.1.0.0 lib/pkgconfig/ lib/pkgconfig/pipeword.pc \
        lib/tmpfiles.d/ lib/tmpfiles.d/pipeword.conf share/ share/doc/ share/doc/pipeword/ \
        share/doc/pipeword/LICENSE share/doc/pipeword/README.md share/doc/pipeword/changelog \
        share/doc/pipeword/docs/ $(cd docs && printf 'share/doc/pipeword/docs/%s ' *.md) \
        share/man/ share/man/man1/ share/man/man1/pipeword-client.1.gz \
        share/man/man1/pipeword.1.gz lib/cmake/pipeword/pipeword-config-version.cmake \
        lib/cmake/pipeword/pipeword-config.cmake \
        lib/cmake/pipeword/pipeword-targets-release.cmake \
        lib/cmake/pipeword/pipeword-targets.cmake; do
        echo "$tarball_top/$file"
    done | LC_ALL=C sort >"$work/tarball.expected"
    TZ=UTC tar -tzv --full-time --numeric-owner -f "$tarball" >"$work/tarball.contents" ||
        return 1
    awk '{ print $6 }' "$work/tarball.contents" >"$work/tarball.listed"
    same_lines "$work/tarball.expected" "$work/tarball.listed" || return 1
    date=$(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S')
    awk -v date="$date" '
        $2 != "0/0" { print "not 0/0: " $0; bad = 1 }
        $4 " " $5 != date { print "not dated " date ": " $0; bad = 1 }
        {
            want = $6 ~ /\/$/ || $6 ~ /\/bin\/./ ? "rwxr-xr-x" : "rw-r--r--"
            if ($1 !~ /^l/ && substr($1, 2) != want) { print "mode " $1 ": " $6; bad = 1 }
        }
        END { exit bad }' "$work/tarball.contents" || return 1
    [ "$(od -An -tx1 -N8 "$tarball")" = " 1f 8b 08 00 00 00 00 00" ] ||
        { echo "gzip keeps a name or a time: $(od -An -tx1 -N8 "$tarball")"; return 1; }
}

# Its programs and its library, archive and header are the Debian packages' files; its
# pipeword.pc names the prefix /usr/local.
tarball_files() {
    local file
    mkdir -p "$work/tarball" && tar -xzf "$tarball" -C "$work/tarball" || return 1
    unpacked=$work/tarball/$tarball_top
    for file in bin/pipeword:/usr/bin/pipeword bin/pipeword-client:/usr/bin/pipeword-client \
        lib/libpipeword.so.1.0.0:$libdir/libpipeword.so.1.0.0 \
        lib/libpipeword.a:$libdir/libpipeword.a include/pipeword.h:/usr/include/pipeword.h; do
        cmp "$unpacked/${file%%:*}" "$work/deb${file#*:}" || return 1
    done
    grep -x "prefix=/usr/local" "$unpacked/lib/pkgconfig/pipeword.pc"
}

# Unpacked elsewhere, the C example is built against it with pkg-config --define-prefix and
# gets the word from its pipeword.
tarball_example() {
    local flags
    flags=$(PKG_CONFIG_PATH=$unpacked/lib/pkgconfig pkg-config --define-prefix --cflags --libs \
        pipeword) || return 1
    echo "pkg-config: $flags"
    # shellcheck disable=SC2086 # the compiler's options, one a word
    cc client/samples/pipeword_example.c $flags -Wl,-rpath,"$unpacked/lib" \
        -o "$work/tarball_example" || return 1
    exchange "$unpacked/bin/pipeword" "$work/tarball_example" "$work/served" CorvaneStop
}

# Unpacked elsewhere, find_package(pipeword) finds its CMake package: the C example builds
# with the static archive's target and gets the word.
tarball_cmake_package() {
    local project="$work/cmake-example"
    mkdir -p "$project" || return 1
    printf '%s\n' "cmake_minimum_required(VERSION 3.25)" "project(example C)" \
        "find_package(pipeword 1.0 REQUIRED)" \
        "add_executable(example $root/client/samples/pipeword_example.c)" \
        "target_link_libraries(example PRIVATE pipeword::pipeword_static)" \
        >"$project/CMakeLists.txt"
    cmake -S "$project" -B "$project/build" -DCMAKE_PREFIX_PATH="$unpacked" \
        >"$project/log" 2>&1 && cmake --build "$project/build" >>"$project/log" 2>&1 ||
        { tail -20 "$project/log"; return 1; }
    exchange "$unpacked/bin/pipeword" "$project/build/example" "$work/served" CorvaneStop
}

check "$tarball_top.tar.gz: exactly its members, sorted, root's, dated, modes; gzip -n" \
    tarball_members
check "$tarball_top: programs, library, archive and header the .debs'; pipeword.pc for /usr/local" \
    tarball_files
tarball_example_check="$tarball_top, unpacked elsewhere: the C example built with pkg-config \
--define-prefix gets CorvaneStop from its pipeword Stop"
check "$tarball_top, unpacked elsewhere: find_package(pipeword) builds the C example on \
pipeword::pipeword_static, which gets CorvaneStop" tarball_cmake_package
# The C example needs a compiler and pkg-config, here and in the install's namespace.
compiles=false
if command -v cc >/dev/null && command -v pkg-config >/dev/null; then
    compiles=true
fi
if $compiles; then
    check "$tarball_example_check" tarball_example
else
    skip "$tarball_example_check: cc or pkg-config is not installed here (apt-get install" \
        "gcc pkg-config)"
fi

# ---- The package on this machine -----------------------------------------------------------

# Nothing of ours may be overwritten or removed: none of the packages, none of their files.
may_install() {
    local package status clash file
    for package in $deb_packages; do
        status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)
        if [ -n "$status" ] && [ "$status" != not-installed ]; then
            echo "$package is already installed here ($status); remove it first" \
                "(dpkg --purge $deb_packages)"
            return 1
        fi
    done
    clash=""
    for file in $(cat "$work/deb.files"); do
        if [ -e "$file" ] || [ -L "$file" ]; then
            clash="$clash $file"
        fi
    done
    if [ -n "$clash" ]; then
        echo "refusing to install over files that are already here:$clash"
        return 1
    fi
}

# Docker-style "path-exclude" lines in dpkg's configuration drop files of a package without
# a word (and dpkg -L still lists them). Each file of ours that the rules would drop is
# reported and included again for this install. dpkg reads dpkg.cfg.d/ (names of letters,
# digits, "_" and "-" only, in order) before dpkg.cfg; the last rule that matches a path wins.
path_excludes() {
    local config file dropped_by rule pattern
    : >"$work/includes"
    : >"$work/rules"
    for config in /etc/dpkg/dpkg.cfg.d/* /etc/dpkg/dpkg.cfg; do
        case $config in
        /etc/dpkg/dpkg.cfg.d/*[!A-Za-z0-9_-]*) continue ;;
        esac
        [ -f "$config" ] || continue
        sed -n "s#^[[:space:]]*\(path-exclude\|path-include\)[[:space:]=]*\(.*\)#$config \1 \2#p" \
            "$config" >>"$work/rules"
    done
    for file in $(cat "$work/deb.files"); do
        dropped_by=""
        while read -r config rule pattern; do
            # shellcheck disable=SC2254 # the pattern is a glob, as dpkg reads it
            case $file in
            $pattern)
                if [ "$rule" = path-exclude ]; then
                    dropped_by="$config ($rule $pattern)"
                else
                    dropped_by=""
                fi
                ;;
            esac
        done <"$work/rules"
        if [ -n "$dropped_by" ]; then
            echo "note: dpkg would drop $file: $dropped_by; included again"
            echo "--path-include=$file" >>"$work/includes"
        fi
    done
}

# patiently COMMAND...: runs COMMAND as root, dpkg in it, again while dpkg's lock is held:
# dpkg waits for no lock, another install in progress makes it fail at once. Standard output
# is left in $work/dpkg.out, standard error in $work/dpkg.log.
patiently() {
    local tries=0
    until $as_root "$@" >"$work/dpkg.out" 2>"$work/dpkg.log"; do
        tries=$((tries + 1))
        if ! grep -q "lock" "$work/dpkg.log" || [ $tries -ge 60 ]; then
            cat "$work/dpkg.out" "$work/dpkg.log"
            return 1
        fi
        sleep 2
    done
}

# Where this machine allows it (root, unshare and setpriv), dpkg -i and the postinst's cases
# run as root in a mount namespace of their own ("unshare --mount": mounts made there stay
# there) with an empty /tmp: the postinst makes /tmp/.pipe there, never in this machine's /tmp.
private_tmp=false
if $as_root unshare --mount true 2>/dev/null && command -v setpriv >/dev/null; then
    private_tmp=true
fi
# For the scripts run so, with the harness's root_only.sh as their first argument: its
# helpers (cover_tmp empty, an empty tmpfs of the namespace's own over /tmp, and as_nobody),
# and state PATH, which shows what is at PATH (a link itself, not where it leads).
# shellcheck disable=SC2016 # expanded by the inner shell
namespace_functions='
. "$1" || exit 1
shift
state() { stat -c "%F %a %u:%g" "$1" 2>&1; }
'

# Whatever bears the name in the packages' folders, and dpkg's records of the packages.
snapshot() {
    find /usr/bin /usr/include /usr/lib /usr/share /var/lib/dpkg/info -maxdepth 3 \
        -name '*pipeword*' 2>/dev/null | LC_ALL=C sort
}

# With a private /tmp, the install is followed at once by what a user does first, in the
# default directory that the postinst has just made, each part of what it printed after a
# line "== PART": an ordinary user runs the manual page's example (fresh); the C example,
# built by root with cc and pkg-config where they are installed (c), and the Python example
# under /usr/bin/python3 (python), each get the word from pipeword Stop, run by root and by
# an ordinary user with nothing in the environment but PATH. What it printed is left in
# $work/fresh.
install_debs() {
    snapshot >"$work/before"
    installed_here=true
    if ! $private_tmp; then
        # shellcheck disable=SC2046,SC2086 # one option a line, one package a word
        patiently dpkg -i $(sort -u "$work/includes") $debs
        return
    fi
    # The packages are copied into the empty /tmp from the folder they are in, which stays at
    # hand as the working directory when it is itself under the /tmp that gets covered.
    # shellcheck disable=SC2016,SC2046,SC2086 # expanded by the inner shell; one a line
    patiently unshare --mount sh -c "$namespace_functions"'
        compiles=$1 && cd "$2" && shift 2 && cover_tmp empty || exit 1
        while [ "$1" != -- ]; do
            cp "$1" /tmp/ && shift || exit 1
        done
        shift
        cd / && dpkg -i "$@" /tmp/*.deb >&2 || exit 1
        # served_by USER CLIENT...: pipeword Stop and CLIENT, both run by USER (root or
        # nobody) with nothing in the environment but PATH.
        served_by() {
            as=""
            [ "$1" = nobody ] && as=as_nobody
            shift
            ($as env -i PATH=/usr/bin:/bin sh -c "
                /usr/bin/pipeword Stop >/tmp/server.\$(id -u) 2>&1 &
                \"\$@\" 2>&1
                echo \"client exit status \$?\"
                wait \$!
                echo \"server exit status \$?\"
                cat /tmp/server.\$(id -u)" sh "$@")
        }
        echo "== fresh"
        state /tmp/.pipe
        served_by nobody /usr/bin/pipeword-client -q
        echo "== c"
        if $compiles && cc /usr/share/doc/libpipeword-dev/examples/pipeword_example.c \
            $(pkg-config --cflags --libs pipeword) -o /tmp/pipeword_example 2>&1; then
            served_by root /tmp/pipeword_example
            served_by nobody /tmp/pipeword_example
        fi
        echo "== python"
        for user in root nobody; do
            served_by $user /usr/bin/python3 \
                /usr/share/doc/python3-pipeword/examples/pipeword_client.py
        done' sh "$harness_lib/root_only.sh" "$compiles" "$dist" \
        $(for package in $debs; do basename "$package"; done) -- \
        $(sort -u "$work/includes") || return 1
    cp "$work/dpkg.out" "$work/fresh"
}

# part NAME: what the namespace printed after "== NAME", up to the next part.
part() {
    awk -v start="== $1" '$0 == start { on = 1; next } /^== / { on = 0 } on' "$work/fresh"
}

# word_served [STATE]: the lines of a client that got the word from pipeword Stop, with the
# server's, after the state of /tmp/.pipe if given.
word_served() {
    [ $# -gt 0 ] && echo "$1"
    printf '%s\n' CorvaneStop "client exit status 0" "server exit status 1"
    cat "$work/served"
}

fresh_exchange() {
    word_served "directory 1777 0:0" >"$work/fresh.expected"
    part fresh >"$work/fresh.part"
    same_lines "$work/fresh.expected" "$work/fresh.part"
}

# installed_example NAME: the part NAME, the example served as root and as uid 65534.
installed_example() {
    { word_served && word_served; } >"$work/$1.expected"
    part "$1" >"$work/$1.part"
    same_lines "$work/$1.expected" "$work/$1.part"
}

installed_files() {
    local path file
    # shellcheck disable=SC2086 # one package a word
    dpkg -L $deb_packages >"$work/listed" || return 1
    # dpkg -L parts the packages' lists with an empty line.
    while read -r path; do
        [ -z "$path" ] || [ -d "$path" ] || echo "$path"
    done <"$work/listed" | LC_ALL=C sort >"$work/installed"
    same_lines "$work/deb.files" "$work/installed" || return 1
    for file in $(cat "$work/deb.files"); do
        [ -f "$file" ] || { echo "listed but not on disk: $file"; return 1; }
    done
    # The files' MD5 sums against the packages'.
    # shellcheck disable=SC2086 # one package a word
    dpkg --verify $deb_packages
}

man_pages() {
    local page where
    for page in pipeword pipeword-client; do
        where=$(env -u MANPATH man -w "$page") || return 1
        [ "$where" = "/usr/share/man/man1/$page.1.gz" ] ||
            { echo "man finds $page at $where"; return 1; }
    done
    LC_ALL=C.UTF-8 MANWIDTH=80 env -u MANPATH man -P cat pipeword >"$work/man" 2>&1 &&
        grep -q "hand one control word to one client over a named pipe" "$work/man" &&
        grep -q "CorvaneContinue" "$work/man" ||
        { head -20 "$work/man"; return 1; }
    LC_ALL=C.UTF-8 MANWIDTH=80 env -u MANPATH man -P cat pipeword-client >"$work/man" 2>&1 &&
        grep -q "write one request to a pipeword server" "$work/man" ||
        { head -20 "$work/man"; return 1; }
}

installed_exchange() {
    mkdir -p "$work/pipes"
    PIPEWORD_PIPE_DIR=$work/pipes exchange /usr/bin/pipeword \
        "/usr/bin/pipeword-client --wait 15000" "$work/served"
}

# The entry that makes /tmp/.pipe root's at boot, and the postinst that applies it at
# install: where a private /tmp can be had, the postinst is run in an empty one for each case,
# with systemd-tmpfiles (which takes over another user's directory, as at boot) where it is
# installed, then with it hidden, where the postinst makes the directory itself and leaves
# alone whatever another user put there first.
postinst_cases() {
    local warning
    grep -v -e '^#' -e '^$' "$tmpfiles" >"$work/entries" || return 1
    printf 'd /tmp/.pipe 1777 root root -\n' >"$work/entries.expected"
    same_lines "$work/entries.expected" "$work/entries" || return 1
    if ! $private_tmp; then
        echo "note: the postinst is not run here (needs root, unshare and setpriv)"
        return 0
    fi
    warning="pipeword: /tmp/.pipe is not a directory of root's, so pipeword cannot use it as"
    warning="$warning its default pipe directory; remove it, then run: dpkg-reconfigure pipeword"
    {
        if command -v systemd-tmpfiles >/dev/null; then
            printf '%s\n' "systemd-tmpfiles; another user's directory:" "directory 1777 0:0"
        fi
        printf '%s\n' "no systemd-tmpfiles; nothing:" "directory 1777 0:0" \
            "no systemd-tmpfiles; another user's directory:" "$warning" \
            "directory 700 65534:65534" \
            "no systemd-tmpfiles; another user's link to theirs:" "$warning" \
            "symbolic link 777 65534:65534" "directory 700 65534:65534"
    } >"$work/postinst.expected"
    # shellcheck disable=SC2016 # expanded by the inner shell
    $as_root unshare --mount sh -c "$namespace_functions"'
        configure() { /var/lib/dpkg/info/pipeword.postinst configure 2>&1; }
        if command -v systemd-tmpfiles >/dev/null; then
            echo "systemd-tmpfiles; another user'\''s directory:"
            cover_tmp empty && (as_nobody mkdir -m 700 /tmp/.pipe) && configure &&
                state /tmp/.pipe
            # Hidden from here on: /dev/null is no program.
            mount --bind /dev/null "$(command -v systemd-tmpfiles)" || exit 1
        fi
        echo "no systemd-tmpfiles; nothing:"
        cover_tmp empty && configure && state /tmp/.pipe
        echo "no systemd-tmpfiles; another user'\''s directory:"
        cover_tmp empty && (as_nobody mkdir -m 700 /tmp/.pipe) && configure &&
            state /tmp/.pipe
        echo "no systemd-tmpfiles; another user'\''s link to theirs:"
        cover_tmp empty && (as_nobody mkdir -m 700 /tmp/theirs) &&
            (as_nobody ln -s /tmp/theirs /tmp/.pipe) && configure && state /tmp/.pipe &&
            state /tmp/theirs
    ' sh "$harness_lib/root_only.sh" >"$work/postinst.out" 2>&1
    same_lines "$work/postinst.expected" "$work/postinst.out"
}

purge_debs() {
    local package status file
    # shellcheck disable=SC2086 # one package a word
    patiently dpkg --purge $deb_packages || return 1
    installed_here=false
    for package in $deb_packages; do
        status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)
        if [ -n "$status" ] && [ "$status" != not-installed ]; then
            echo "$package is still $status"
            return 1
        fi
        if dpkg -L "$package" >/dev/null 2>&1; then
            echo "dpkg still lists files of $package"
            return 1
        fi
    done
    for file in $(cat "$work/deb.files") $dist_packages/pipeword; do
        if [ -e "$file" ]; then
            echo "left behind: $file"
            return 1
        fi
    done
    snapshot >"$work/after"
    same_lines "$work/before" "$work/after"
}

check "the packages may be installed here" may_install
if [ "$failures" -ne "$failures_before" ]; then
    report
    exit 1
fi
path_excludes >"$work/notes"
sed 's/^/     /' "$work/notes"
c_example_check="installed set, in it: cc pipeword_example.c \$(pkg-config --cflags --libs \
pipeword) gets CorvaneStop from pipeword Stop, as root and as uid 65534"
python_example_check="installed set, in it: /usr/bin/python3 pipeword_client.py, no path set, \
gets CorvaneStop from pipeword Stop, as root and as uid 65534"
if $private_tmp; then
    check "dpkg -i of the four packages, with a /tmp of its own" install_debs
    check "right after dpkg -i: /tmp/.pipe root's, 1777; uid 65534: pipeword Stop & pipeword-client -q" \
        fresh_exchange
    if $compiles; then
        check "$c_example_check" installed_example c
    else
        skip "$c_example_check: cc or pkg-config is not installed here (apt-get install gcc" \
            "pkg-config)"
    fi
    check "$python_example_check" installed_example python
else
    echo "     note: no private /tmp here (needs root, unshare and setpriv): the postinst applies"
    echo "     the tmpfiles.d entry to this machine's /tmp"
    check "dpkg -i of the four packages" install_debs
    skip "right after dpkg -i, an ordinary user's exchange: no private /tmp here"
    skip "$c_example_check: no private /tmp here"
    skip "$python_example_check: no private /tmp here"
fi
check "dpkg -L: exactly the packages' files, intact" installed_files
check "man pipeword and man pipeword-client render the installed pages" man_pages
check "/usr/bin/pipeword Stop serves /usr/bin/pipeword-client" installed_exchange
check "postinst: makes /tmp/.pipe root's; without systemd-tmpfiles, leaves another user's alone" \
    postinst_cases
check "dpkg --purge of the four packages leaves nothing behind" purge_debs
report
