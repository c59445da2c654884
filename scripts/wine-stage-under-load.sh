#!/bin/sh
# Runs a Windows stage of the test command N times in a row while the native tests that
# wait out the deadline run over and over beside it, the load a shared CI machine gives it.
# Usage: wine-stage-under-load.sh [N [STAGE]]   N runs (default 10) of STAGE, windows64 (the
# default, which runs on every machine) or windows (32-bit: only where the kernel runs
# 32-bit programs). Builds the native preset and STAGE first.
# Prints one line per run and the totals; logs in build/logs/under-load/.
# Exit status 0 when every run of both passed.
set -u
cd "$(dirname "$0")/.." || exit 2
root=$(pwd)
runs=${1:-10}
stage=${2:-windows64}
case $stage in
windows | windows64) ;;
*)
    echo "wine-stage-under-load: no Windows stage $stage (windows or windows64)" >&2
    exit 2
    ;;
esac
# shellcheck source=../tests/lib/wine.sh
. tests/lib/wine.sh
# shellcheck source=presets.sh
. scripts/presets.sh
if ! windows_build_runs "$stage"; then
    echo "wine-stage-under-load: $stage cannot run here: $no_32bit_why" >&2
    exit 2
fi
logs=$root/build/logs/under-load
mkdir -p "$logs"
rm -f "$logs"/*

for preset in native "$stage"; do
    build_preset "$preset" "$logs/$preset.build" || exit 1
done

# The prefix and the persistent server as the test command sets them up.
WINEPREFIX=$root/build/$stage/wineprefix
WINEDEBUG=-all
export WINEPREFIX WINEDEBUG
start_wine_prefix "$(preset_machine "$stage")" "$logs/wineboot" || {
    tail -20 "$logs/wineboot"
    exit 1
}

# The load: the native deadline tests, again and again until the Windows runs are done.
stop=$logs/stop
(
    round=1
    while [ ! -f "$stop" ]; do
        ctest --preset native -L deadline -j"$jobs" --timeout 300 >"$logs/native.$round" 2>&1 ||
            echo "$round" >>"$logs/native.failed"
        round=$((round + 1))
    done
    echo $((round - 1)) >"$logs/native.rounds"
) &
load=$!

failed=0
run=1
while [ "$run" -le "$runs" ]; do
    began=$(date +%s)
    ctest --preset "$stage" -j"$jobs" --timeout 300 --output-junit "$logs/$stage.$run.xml" \
        >"$logs/$stage.$run" 2>&1
    status=$?
    # shellcheck disable=SC2046 # three numbers
    set -- $(ctest_counts "$logs/$stage.$run.xml" "$status")
    echo "$stage run $run: $1 passed, $2 failed, $3 skipped ($(($(date +%s) - began)) s)"
    if [ "$status" -ne 0 ]; then
        failed=$((failed + 1))
        grep -E "\*\*\*|Failed|FAIL" "$logs/$stage.$run" | head -20
    fi
    run=$((run + 1))
done
touch "$stop"
wait "$load"
wineserver -k 2>/dev/null

native_failed=0
if [ -f "$logs/native.failed" ]; then
    native_failed=$(wc -l <"$logs/native.failed")
fi
echo "$stage stage: $((runs - failed)) of $runs runs passed;" \
    "native deadline tests beside it: $(cat "$logs/native.rounds") rounds, $native_failed failed"
[ "$failed" -eq 0 ] && [ "$native_failed" -eq 0 ]
