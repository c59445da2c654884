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
    # The same rule as the runner's for the initialised prefix. The registry files are
    # copied, since wineserver rewrites a hard-linked file in place; drive_c is only read.
    here=$(cd "$(dirname "$runner")" && pwd)
    source_prefix=${WINEPREFIX:-$here/../build/windows/wineprefix}
    if [ ! -f "$source_prefix/system.reg" ]; then
        echo "FAIL: no initialised Wine prefix at $source_prefix (run wineboot -i there)"
        exit 1
    fi
    prefix=$(mktemp -d "$source_prefix.$label.XXXXXX") || exit 1
    cp -a "$source_prefix"/*.reg "$source_prefix/dosdevices" "$prefix"/ || exit 1
    if [ -f "$source_prefix/.update-timestamp" ]; then
        cp -a "$source_prefix/.update-timestamp" "$prefix"/
    fi
    cp -al "$source_prefix/drive_c" "$prefix"/ 2>/dev/null ||
        cp -a "$source_prefix/drive_c" "$prefix"/ || exit 1
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
