#!/bin/sh
# Builds every configuration and runs every test: native, AddressSanitizer + UBSan,
# ThreadSanitizer, the fuzz targets, and both Windows builds under Wine: the 64-bit one
# everywhere, the 32-bit one where the kernel runs 32-bit programs (elsewhere it is built,
# and its tests are counted as skipped, with the reason). Installs what it needs first.
# shellcheck shell=dash # "local": dash has it, as Debian's policy asks of every /bin/sh
set -u
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)
logs=$root/build/logs
# shellcheck source=../tests/lib/wine.sh
. tests/lib/wine.sh
# shellcheck source=presets.sh
. scripts/presets.sh

sh scripts/install-deps.sh all || exit 1
mkdir -p "$logs"

passed=0
failed=0
skipped=0
broken=""

# ThreadSanitizer cannot map its shadow memory under the kernel's largest address-space
# randomisation; its tests run with randomisation off where that is allowed.
tsan_runner=""
if setarch "$(uname -m)" -R true 2>/dev/null; then
    tsan_runner="setarch $(uname -m) -R"
fi

WINEDEBUG=-all
export WINEDEBUG

# add PASSED FAILED SKIPPED: adds to the totals.
add() {
    passed=$((passed + $1))
    failed=$((failed + $2))
    skipped=$((skipped + $3))
}

run_preset() {
    local preset="$1" log="$logs/$1" runner="" count
    echo "==== $preset: configure and build"
    if ! build_preset "$preset" "$log.build"; then
        add 0 1 0
        broken="$broken $preset(build)"
        return
    fi
    if [ "$preset" = tsan ]; then
        runner=$tsan_runner
    fi
    case $preset in
    windows*)
        if ! windows_build_runs "$preset"; then
            count=$(listed_tests "$preset")
            echo "==== $preset: ${count:=0} tests under 32-bit Wine skipped: $no_32bit_why"
            add 0 0 "$count"
            return
        fi
        # Each Windows build keeps its Wine prefix inside its build tree; a running
        # wineserver keeps each test quick.
        WINEPREFIX=$root/build/$preset/wineprefix
        export WINEPREFIX
        [ -f "$WINEPREFIX/system.reg" ] || echo "==== $preset: creating the Wine prefix"
        if ! start_wine_prefix "$(preset_machine "$preset")" "$log.wineboot"; then
            tail -20 "$log.wineboot"
            add 0 1 0
            broken="$broken $preset(wineboot)"
            return
        fi
        ;;
    esac
    echo "==== $preset: test"
    rm -f "build/$preset/reports/"*.txt "$log.xml"
    $runner ctest --preset "$preset" -j"$jobs" --timeout 300 --output-junit "$log.xml" \
        >"$log.test" 2>&1
    count_tests "$preset" "$log" $?
    case $preset in
    windows*) wineserver -k 2>/dev/null ;;
    esac
}

# count_tests PRESET LOG STATUS: shows the results of PRESET's ctest run, which ended with
# STATUS, logged in LOG.test with its JUnit report in LOG.xml, and the lines that tests left
# in the build's reports/ folder; adds them to the totals.
count_tests() {
    grep -E "Test +#" "$2.test"
    cat "build/$1/reports/"*.txt 2>/dev/null
    if [ "$3" -ne 0 ]; then
        echo "---- $1: output of the failed tests"
        grep -v -E "^ *[0-9]+/[0-9]+ Test +#" "$2.test" | tail -150
        broken="$broken $1"
    fi
    # shellcheck disable=SC2046 # three numbers
    add $(ctest_counts "$2.xml" "$3")
}

for preset in native asan tsan fuzz windows windows64; do
    run_preset "$preset"
done

# The release artifacts: built from this tree, then installed and run as a user would.
echo "==== release: build the packages and check them"
rm -f "$logs/release.counts"
RELEASE_COUNTS=$logs/release.counts sh tests/release/check.sh >"$logs/release" 2>&1 ||
    broken="$broken release"
grep -E "^(ok|FAIL|skip|     )" "$logs/release" || tail -40 "$logs/release"
# shellcheck disable=SC2046 # three numbers
add $(cat "$logs/release.counts" 2>/dev/null || echo 0 1 0)

echo
if [ -n "$broken" ]; then
    echo "Failing configurations:$broken (logs in build/logs)"
fi
echo "total: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ] && [ -z "$broken" ]
