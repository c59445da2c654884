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
machine=$(pe_machine "$1")
# The prefix, its persistent server and Wine's services, started with standard streams of
# their own: started by the program's wine, they would hold the test runner's output pipe
# open and keep it waiting.
if ! start_wine_prefix "$machine"; then
    echo "wine-run.sh: could not start the Wine prefix $WINEPREFIX" \
        "(see ${WINEPREFIX%/}.wineboot.log)" >&2
    exit 1
fi
exec "$(wine_loader "$machine")" "$@"
