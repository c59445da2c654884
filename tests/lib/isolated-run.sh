# Sourced by the end-to-end scripts: a private pipe directory for the programs they run, and,
# when Windows executables run under Wine, a private Wine prefix (pipe names are global to a
# wineserver), so that script runs never see each other's pipes and can run at once.
# Needs: runner (empty natively), label (names the prefix), and a cleanup function already
#        trapped on EXIT that calls isolated_run_cleanup.
# Sets:  work (a private directory), PIPEWORD_PIPE_DIR, WINEPREFIX; fail, failures, now_ms.

work=$(mktemp -d)
prefix=""

isolated_run_cleanup() {
    if [ -n "$prefix" ]; then
        WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
        WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1
        rm -rf "$prefix"
    fi
    rm -rf "$work"
}

mkdir "$work/pipes"
export PIPEWORD_PIPE_DIR="$work/pipes"

if [ -n "$runner" ]; then
    # The same rule as the runner's for the initialised prefix.
    here=$(cd "$(dirname "$runner")" && pwd)
    source_prefix=${WINEPREFIX:-$here/../build/windows/wineprefix}
    if [ ! -f "$source_prefix/system.reg" ]; then
        echo "FAIL: no initialised Wine prefix at $source_prefix (run wineboot -i there)"
        exit 1
    fi
    # shellcheck source=wine-prefix.sh
    . "$(dirname "$0")/../lib/wine-prefix.sh"
    copy_wine_prefix "$source_prefix" "$label" || exit 1
    export WINEPREFIX="$prefix"
    export WINEDEBUG=-all
    # Kept up between runs so that each wine start is quick; it ends by itself 10 s after
    # its last process should the script be killed before its clean-up.
    wineserver -p10 </dev/null >/dev/null 2>&1
fi

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

now_ms() { date +%s%3N; }
