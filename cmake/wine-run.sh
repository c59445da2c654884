#!/bin/sh
# Runs a Windows executable under the Wine that matches it (64-bit Wine for an x86-64
# image), in WINEPREFIX if the caller set one, else in the prefix that the tests of its
# build keep inside the build tree (build/windows or build/windows64).
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../tests/lib/wine.sh
. "$here/../tests/lib/wine.sh"
: "${WINEPREFIX:=$(default_wine_prefix "$here/.." "$1")}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# A persistent server started with its own standard streams: one that a test's wine started
# would hold the test runner's output pipe open and keep it waiting.
wineserver -p </dev/null >/dev/null 2>&1
exec "$(wine_loader "$(pe_machine "$1")")" "$@"
