#!/bin/sh
# Installs what building and testing need, on Debian 12, and is quick when it is all there.
#   install-deps.sh native   compiler, CMake and GoogleTest for the Linux build
#   install-deps.sh all      also both Windows cross-toolchains, Wine, the sanitizer
#                            runtimes, clang with libFuzzer for the fuzz targets, Valgrind,
#                            and what the release packages need (dpkg-shlibdeps from
#                            dpkg-dev; unzip, man-db and lintian for their check, which
#                            also builds the C example with pkg-config and runs the Python
#                            one with python3)
# 64-bit Wine is installed everywhere; 32-bit Wine (wine32, from the i386 architecture) only
# where the kernel runs 32-bit programs, which is probed first: elsewhere the i386 package
# lists are never fetched at all.
#
# A package list that fails to download (a mirror caught mid-sync) is reported and is no
# error by itself. An install that cannot then be resolved (the i386 libraries must match
# amd64 versions that only the missing list names) is tried once more with the release's own
# suite as target. Exit status 1, with one line saying what and why, if that fails too.
set -u
cd "$(dirname "$0")/.." || exit 1
# shellcheck source=../tests/lib/wine.sh
. tests/lib/wine.sh

want="cmake g++ libgtest-dev googletest"
if [ "${1:-all}" = all ]; then
    want="$want g++-mingw-w64-i686 binutils-mingw-w64-i686"
    want="$want g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64"
    if runs_32bit_programs; then
        want="$want wine32:i386"
    else
        echo "install-deps: no 32-bit Wine: $no_32bit_why"
    fi
    want="$want clang libclang-rt-14-dev valgrind"
    want="$want dpkg-dev unzip man-db lintian pkg-config python3"
fi
missing=""
for package in $want; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $package"
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo=sudo
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT

case $missing in
*:i386*)
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $sudo dpkg --add-architecture i386 || exit 1
    fi
    ;;
esac

if ! $sudo apt-get update -qq >"$log" 2>&1; then
    # Which lists could not be fetched, one line; apt keeps the rest.
    failed=$(sed -n 's/^\(E\|W\): Failed to fetch \([^ ]*\).*/\2/p' "$log" | paste -sd ' ')
    echo "install-deps: apt-get update could not fetch every package list" \
        "(${failed:-see below}); going on with those it has"
    [ -n "$failed" ] || sed 's/^/    /' "$log"
fi

# install [OPTION...]: installs the missing packages; apt's messages are kept in $log.
install() {
    # shellcheck disable=SC2086 # one package a word
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" $missing >"$log" 2>&1
}
if install; then
    exit 0
fi
suite=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release)
if [ -n "$suite" ]; then
    echo "install-deps: the install could not be resolved; trying again with the release's" \
        "own suite as target (-t $suite)"
    if install -t "$suite"; then
        exit 0
    fi
fi
why=$(grep -E '^E: ' "$log" | tail -1)
echo "install-deps: could not install$missing: ${why:-apt-get install failed}"
grep -vxF "$why" "$log" | sed 's/^/    /' | tail -20
exit 1
