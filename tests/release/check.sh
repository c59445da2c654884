#!/bin/sh
# Checks the release packages as their users get them:
#   the Windows ZIPs the 32-bit one (win32) and the 64-bit one (win64), each: exactly the
#                    expected files; text files with CR LF line ends; both executables
#                    console programs for the ZIP's machine (x86 or x64) that import only
#                    system DLLs and carry the version and a manifest for that machine;
#                    pipeword.exe from the ZIP serves pipeword-client.exe from the ZIP under
#                    Wine, where this machine runs them (32-bit Wine needs a kernel that runs
#                    32-bit programs: elsewhere those checks are reported as skipped);
#   the .deb         its fields (Depends from dpkg-shlibdeps), its files and control
#                    files, the shared libraries its programs need (no C++ runtime), and
#                    lintian's verdict where lintian is installed; then, on this machine
#                    (as root, or through sudo): dpkg -i, in a mount namespace with an empty
#                    /tmp of its own where one can be had, and in it, right after the
#                    install, an ordinary user's pipeword serving pipeword-client in the
#                    /tmp/.pipe that the postinst made; the manual pages through man, the
#                    installed pipeword serving the installed pipeword-client, the postinst
#                    with and without systemd-tmpfiles, before another user's directory or
#                    link (each case in an empty /tmp of its own, never in this machine's
#                    /tmp), dpkg --purge, and nothing left behind;
#   all of them      byte for byte what a second build of the same sources makes in another
#                    folder: the tracked files as they are in this working tree (uncommitted
#                    changes included, untracked files left out), copied to a temporary
#                    folder and built there by scripts/release.sh with the same
#                    SOURCE_DATE_EPOCH (scripts/source-date-epoch.sh: the commit's time
#                    unless it is set). A package that differs is named, with the members
#                    that differ in it (and diffoscope's report where it is installed).
# Usage: check.sh [DIST]   checks the packages in DIST; without it, builds them into dist/
#                          first (scripts/release.sh).
# The check refuses to install over a pipeword that is already installed, or over any file
# of the package that is already on the system: it never replaces or removes what it did not
# put there.
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
deb=$dist/pipeword_${version}_$arch.deb

# dpkg -i and dpkg --purge need root.
as_root=""
if [ "$(id -u)" -ne 0 ]; then
    as_root=sudo
fi

installed_here=false
release_cleanup() {
    if $installed_here; then
        $as_root dpkg --purge pipeword >/dev/null 2>&1
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
    for package in $zips "$deb"; do
        [ -f "$package" ] || { echo "missing: $package"; return 1; }
        (cd "$dist" && sha256sum -c "$(basename "$package").sha256") || return 1
    done
}

# The server's lines for "pipeword Stop" and the client's default 12-byte request.
printf '%s\n' \
    'The named pipe (\\.\pipe\SamplePipe) is created.' \
    "Waiting for the client's connection..." \
    'Client is connected.' \
    'Receive 12 bytes from client: "Hello"' \
    'Send 24 bytes to client: "CorvaneStop"' \
    'Server Message Send 1 ' >"$work/served"
sed 's/$/\r/' "$work/served" >"$work/served.crlf"

# exchange SERVER-COMMAND CLIENT-COMMAND EXPECTED: runs "SERVER Stop" and the client against
# it (each command a program and its first arguments, split at spaces); the server must print
# exactly EXPECTED and exit with 1, the client must get the word.
exchange() {
    local ok=true server_status client_status
    # shellcheck disable=SC2086 # split at spaces
    start server $1 Stop
    # shellcheck disable=SC2086 # split at spaces
    run client $2 --wait 15000
    finish server
    server_status=$(recall server status)
    client_status=$(recall client status)
    if [ "$server_status" -ne 1 ] || [ "$client_status" -ne 0 ]; then
        echo "server exit status $server_status (expected 1), client $client_status (expected 0)"
        ok=false
    fi
    same_lines "$3" "$work/server.out" || ok=false
    if ! grep -q 'Reply 24 bytes: "CorvaneStop"' "$work/client.out"; then
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
for package in $zips "$deb"; do
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
    *.zip) zipinfo -T "$1" | sed 1d ;;
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
        *.zip) unzip -q "$package" -d "$work/cmp/$side" ;;
        *.deb) dpkg-deb -R "$package" "$work/cmp/$side" ;;
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
for package in $zips "$deb"; do
    check "same bytes from the second build: $(basename "$package")" same_bytes "$package"
done

# ---- The Windows ZIPs ----------------------------------------------------------------------
# Each check below is of the ZIP that zip names: top is its folder, unzipped where it is
# unpacked, bits 32 or 64.

zip_lists_exactly() {
    printf '%s\n' "$top/LICENSE.txt" "$top/README.txt" "$top/pipeword-client.exe" \
        "$top/pipeword.exe" "$top/samples/" "$top/samples/pipeword-client.ps1" \
        "$top/samples/pipeword_client.c" "$top/samples/pipeword_client.py" \
        >"$work/zip.expected"
    unzip -Z1 "$zip" | LC_ALL=C sort >"$work/zip.listed"
    same_lines "$work/zip.expected" "$work/zip.listed"
}

unpack_zip() {
    mkdir -p "$work/zip" && unzip -q "$zip" -d "$work/zip"
}

# Every line ends in CR LF, including the last one.
crlf_text() {
    local text bare crlf last
    for text in README.txt LICENSE.txt samples/pipeword-client.ps1 samples/pipeword_client.c \
        samples/pipeword_client.py; do
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
    head -1 "$unzipped/README.txt" | grep "pipeword $version for Windows" &&
        grep "^MIT License" "$unzipped/LICENSE.txt" &&
        grep "^Copyright (c) [0-9]* the pipeword authors" "$unzipped/LICENSE.txt"
}

# The ZIP's machine, console subsystem, only the DLLs every Windows has, the version
# resource, the manifest for that machine.
windows_executables() {
    local objdump format architecture exe
    if [ "$bits" = 64 ]; then
        objdump=x86_64-w64-mingw32-objdump format=pei-x86-64 architecture=amd64
    else
        objdump=i686-w64-mingw32-objdump format=pei-i386 architecture=x86
    fi
    for exe in pipeword.exe pipeword-client.exe; do
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
    (cd "$unzipped" && exchange "$wine ./pipeword.exe" "$wine ./pipeword-client.exe" \
        "$work/served.crlf")
}

for zip in $zips; do
    top=$(basename "$zip" .zip)
    unzipped=$work/zip/$top
    case $top in
    *-win64) bits=64 preset=release-windows64 ;;
    *) bits=32 preset=release-windows ;;
    esac
    machine=$(preset_machine "$preset")
    check "$top.zip lists exactly $top/{pipeword.exe,pipeword-client.exe,README.txt,LICENSE.txt,samples/}" \
        zip_lists_exactly
    check "$top.zip unpacks" unpack_zip
    check "$top: README.txt, LICENSE.txt and the samples have CR LF line ends" crlf_text
    check "$top: README.txt names version $version; LICENSE.txt is the MIT licence" \
        texts_say_what_they_are
    check "$top: executables: PE $bits-bit x86 console, system DLLs only; version, manifest" \
        windows_executables
    wine_prefix_check="$top: Wine prefix for the ZIP's programs"
    wine_exchange_check="$top: Wine: pipeword.exe Stop from the ZIP serves pipeword-client.exe \
from the ZIP"
    if windows_build_runs "$preset"; then
        check "$wine_prefix_check" wine_prefix
        check "$wine_exchange_check" wine_exchange
    else
        skip "$wine_prefix_check: $no_32bit_why"
        skip "$wine_exchange_check: $no_32bit_why"
    fi
done

# ---- The Debian package --------------------------------------------------------------------

binaries="/usr/bin/pipeword /usr/bin/pipeword-client"
tmpfiles=/usr/lib/tmpfiles.d/pipeword.conf
documents="/usr/share/man/man1/pipeword.1.gz /usr/share/man/man1/pipeword-client.1.gz
/usr/share/doc/pipeword/copyright /usr/share/doc/pipeword/changelog.gz
/usr/share/doc/pipeword/examples/pipeword_client.py $tmpfiles
/usr/share/lintian/overrides/pipeword"
# shellcheck disable=SC2086 # one path a word
printf '%s\n' $binaries $documents | LC_ALL=C sort >"$work/deb.files"

deb_fields() {
    dpkg-deb -f "$deb" Package Version Architecture Depends Maintainer >"$work/fields" ||
        return 1
    cat "$work/fields"
    grep -x "Package: pipeword" "$work/fields" >/dev/null &&
        grep -x "Version: $version" "$work/fields" >/dev/null &&
        grep -x "Architecture: $arch" "$work/fields" >/dev/null &&
        ! grep -E "^Depends: .*(libstdc\+\+|libgcc)" "$work/fields" &&
        grep "^Maintainer: .*<.*@.*>" "$work/fields" >/dev/null
}

# Exactly these files, root's, executables 755 and the rest 644; directories only above them.
deb_contents() {
    dpkg-deb -c "$deb" >"$work/contents" || return 1
    awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' "$work/contents" | LC_ALL=C sort \
        >"$work/deb.listed"
    same_lines "$work/deb.files" "$work/deb.listed" || return 1
    awk -v bins=" $binaries " '
        $2 != "root/root" { print "not root/root: " $0; bad = 1 }
        $1 ~ /^d/ && $1 != "drwxr-xr-x" { print "directory mode: " $0; bad = 1 }
        $1 ~ /^-/ {
            path = $6; sub(/^\./, "", path)
            want = index(bins, " " path " ") ? "-rwxr-xr-x" : "-rw-r--r--"
            if ($1 != want) { print "mode " $1 ", expected " want ": " path; bad = 1 }
        }
        $1 !~ /^[-d]/ { print "neither file nor directory: " $0; bad = 1 }
        END { exit bad }' "$work/contents" || return 1
    # The control files, with the postinst that applies the tmpfiles.d entry at install.
    dpkg-deb --ctrl-tarfile "$deb" | tar -tv --numeric-owner |
        awk '{ sub(/^\.\//, "", $6); print $1, $2, $6 }' | LC_ALL=C sort >"$work/control.listed"
    printf '%s\n' "-rw-r--r-- 0/0 control" "-rw-r--r-- 0/0 md5sums" \
        "-rwxr-xr-x 0/0 postinst" >"$work/control.expected"
    same_lines "$work/control.expected" "$work/control.listed"
}

unpack_deb() {
    dpkg-deb -x "$deb" "$work/deb"
}

# The programs carry the C++ runtime (no libstdc++, libgcc_s or libm at run time), and
# the package depends on the C library whenever they need the shared one.
deb_libraries() {
    local program
    for program in pipeword pipeword-client; do
        readelf -d "$work/deb/usr/bin/$program" >"$work/dynamic" || return 1
        sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' "$work/dynamic" >"$work/needed"
        echo "$program needs: $(tr '\n' ' ' <"$work/needed")"
        if grep -E '^(libstdc\+\+|libgcc_s|libm)\.' "$work/needed"; then
            echo "$program needs a shared C++ runtime"
            return 1
        fi
        if grep -q '^libc\.so' "$work/needed" && ! grep -q "^Depends: .*libc6" "$work/fields"; then
            echo "$program needs libc.so, but the package does not depend on libc6"
            return 1
        fi
    done
}

# The manual pages format without a warning and name the package's version; the change log
# starts with this version.
deb_documents() {
    local page file logged
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
    grep -q "^License: Expat" "$work/deb/usr/share/doc/pipeword/copyright"
}

# lintian's verdict: errors and warnings fail (the package's overrides give their reasons);
# info tags are shown.
deb_lintian() {
    local status
    lintian --fail-on error,warning --display-info "$deb" >"$work/lintian" 2>&1
    status=$?
    grep -v -x 'running with root privileges is not recommended!' "$work/lintian"
    return $status
}

check "package fields: pipeword $version $arch, Depends from dpkg-shlibdeps" deb_fields
check "package files: programs, pages, copyright, change log, sample, tmpfiles.d, postinst" \
    deb_contents
check "package unpacks" unpack_deb
check "programs need no shared C++ runtime; Depends covers the C library" deb_libraries
check "manual pages format cleanly; versions agree" deb_documents
if command -v lintian >/dev/null; then
    check "lintian $(basename "$deb"): no errors or warnings" deb_lintian
    sed -n 's/^I: /     note: lintian: /p' "$work/lintian"
else
    skip "lintian: not installed here (apt-get install lintian)"
fi

# ---- The package on this machine -----------------------------------------------------------

# Nothing of ours may be overwritten or removed: no pipeword package, none of its files.
may_install() {
    local status clash file
    status=$(dpkg-query -W -f='${db:Status-Status}' pipeword 2>/dev/null)
    if [ -n "$status" ] && [ "$status" != not-installed ]; then
        echo "pipeword is already installed here ($status); remove it first (dpkg --purge pipeword)"
        return 1
    fi
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

# What the package's folders hold, and dpkg's records of pipeword.
snapshot() {
    local record
    {
        find /usr/bin /usr/share/man/man1 /usr/share/doc /usr/lib/tmpfiles.d \
            /usr/share/lintian/overrides -maxdepth 1
        for record in /var/lib/dpkg/info/pipeword.* /var/lib/dpkg/info/pipeword:*; do
            [ -e "$record" ] && echo "$record"
        done
    } 2>/dev/null | LC_ALL=C sort
}

# With a private /tmp, the install is followed at once by the manual page's example run by
# an ordinary user, in the default directory that the postinst has just made; what it
# printed is left in $work/fresh.
install_deb() {
    snapshot >"$work/before"
    installed_here=true
    if ! $private_tmp; then
        # shellcheck disable=SC2046 # one option a line
        patiently dpkg -i $(sort -u "$work/includes") "$deb"
        return
    fi
    # The package is copied into the empty /tmp from the folder it is in, which stays at hand
    # as the working directory when it is itself under the /tmp that gets covered.
    # shellcheck disable=SC2016,SC2046 # expanded by the inner shell; one option a line
    patiently unshare --mount sh -c "$namespace_functions"'
        cd "$1" && shift && cover_tmp empty && cp "$1" /tmp/package.deb && shift && cd / ||
            exit 1
        dpkg -i "$@" /tmp/package.deb >&2 || exit 1
        state /tmp/.pipe
        (as_nobody env -u PIPEWORD_PIPE_DIR sh -c "
            /usr/bin/pipeword Stop >/tmp/server.out 2>&1 &
            /usr/bin/pipeword-client -q 2>&1
            echo \"client exit status \$?\"
            wait \$!
            echo \"server exit status \$?\"
            cat /tmp/server.out")' sh "$harness_lib/root_only.sh" "$(dirname "$deb")" \
        "$(basename "$deb")" $(sort -u "$work/includes") || return 1
    cp "$work/dpkg.out" "$work/fresh"
}

fresh_exchange() {
    {
        printf '%s\n' "directory 1777 0:0" CorvaneStop "client exit status 0" \
            "server exit status 1"
        cat "$work/served"
    } >"$work/fresh.expected"
    same_lines "$work/fresh.expected" "$work/fresh"
}

installed_files() {
    local path file
    dpkg -L pipeword >"$work/listed" || return 1
    while read -r path; do
        [ -d "$path" ] || echo "$path"
    done <"$work/listed" | LC_ALL=C sort >"$work/installed"
    same_lines "$work/deb.files" "$work/installed" || return 1
    for file in $(cat "$work/deb.files"); do
        [ -f "$file" ] || { echo "listed but not on disk: $file"; return 1; }
    done
    # The files' MD5 sums against the package's.
    dpkg --verify pipeword
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
    PIPEWORD_PIPE_DIR=$work/pipes exchange /usr/bin/pipeword /usr/bin/pipeword-client \
        "$work/served"
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

purge_deb() {
    local status file
    patiently dpkg --purge pipeword || return 1
    installed_here=false
    status=$(dpkg-query -W -f='${db:Status-Status}' pipeword 2>/dev/null)
    if [ -n "$status" ] && [ "$status" != not-installed ]; then
        echo "pipeword is still $status"
        return 1
    fi
    if dpkg -L pipeword >/dev/null 2>&1; then
        echo "dpkg still lists files of pipeword"
        return 1
    fi
    for file in $(cat "$work/deb.files") /usr/share/doc/pipeword; do
        if [ -e "$file" ]; then
            echo "left behind: $file"
            return 1
        fi
    done
    snapshot >"$work/after"
    same_lines "$work/before" "$work/after"
}

check "the package may be installed here" may_install
if [ "$failures" -ne "$failures_before" ]; then
    report
    exit 1
fi
path_excludes >"$work/notes"
sed 's/^/     /' "$work/notes"
if $private_tmp; then
    check "dpkg -i $(basename "$deb"), with a /tmp of its own" install_deb
    check "right after dpkg -i: /tmp/.pipe root's, 1777; uid 65534: pipeword Stop & pipeword-client -q" \
        fresh_exchange
else
    echo "     note: no private /tmp here (needs root, unshare and setpriv): the postinst applies"
    echo "     the tmpfiles.d entry to this machine's /tmp"
    check "dpkg -i $(basename "$deb")" install_deb
    skip "right after dpkg -i, an ordinary user's exchange: no private /tmp here"
fi
check "dpkg -L: exactly the package's files, intact" installed_files
check "man pipeword and man pipeword-client render the installed pages" man_pages
check "/usr/bin/pipeword Stop serves /usr/bin/pipeword-client" installed_exchange
check "postinst: makes /tmp/.pipe root's; without systemd-tmpfiles, leaves another user's alone" \
    postinst_cases
check "dpkg --purge pipeword leaves nothing behind" purge_deb
report
