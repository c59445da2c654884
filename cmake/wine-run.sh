#!/bin/sh
# Runs a Windows executable under Wine with a prefix kept inside the build tree.
# WINEPREFIX may be set by the caller; by default it is build/windows/wineprefix.
here=$(cd "$(dirname "$0")" && pwd)
: "${WINEPREFIX:=$here/../build/windows/wineprefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec wine "$@"
