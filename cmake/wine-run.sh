#!/bin/sh
# Runs a Windows executable under Wine with a prefix kept inside the build tree.
# WINEPREFIX may be set by the caller; by default it is build/windows/wineprefix.
here=$(cd "$(dirname "$0")" && pwd)
: "${WINEPREFIX:=$here/../build/windows/wineprefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# A persistent server started with its own standard streams: one that a test's wine started
# would hold the test runner's output pipe open and keep it waiting.
wineserver -p </dev/null >/dev/null 2>&1
exec wine "$@"
