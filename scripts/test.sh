#!/bin/sh
# Builds every configuration and runs every test: native, AddressSanitizer + UBSan,
# ThreadSanitizer, the fuzz targets, and both Windows builds under Wine: the 64-bit one
# everywhere, the 32-bit one where the kernel runs 32-bit programs (elsewhere it is built,
# and its tests are counted as skipped, with the reason). Installs what it needs first.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)
logs=$root/build/logs
# shellcheck source=../tests/lib/wine.sh
. tests/lib/wine.sh

sh scripts/install-deps.sh all || exit 1
mkdir -p "$logs"

jobs=$(nproc 2>/dev/null || echo 2)
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

run_preset() {
    preset=$1
    log=$logs/$preset
    echo "==== $preset: configure and build"
    if ! cmake --preset "$preset" >"$log.build" 2>&1 ||
        ! cmake --build --preset "$preset" -j"$jobs" >>"$log.build" 2>&1; then
        tail -60 "$log.build"
        failed=$((failed + 1))
        broken="$broken $preset(build)"
        return
    fi
    runner=""
    if [ "$preset" = tsan ]; then
        runner=$tsan_runner
    fi
    case $preset in
    windows*)
        if ! windows_build_runs "$preset"; then
            count=$(ctest --preset "$preset" -N | sed -n 's/^Total Tests: //p')
            echo "==== $preset: ${count:=0} tests under 32-bit Wine skipped: $no_32bit_why"
            skipped=$((skipped + count))
            return
        fi
        # Each Windows build keeps its Wine prefix inside its build tree; a running
        # wineserver keeps each test quick.
        WINEPREFIX=$root/build/$preset/wineprefix
        export WINEPREFIX
        [ -f "$WINEPREFIX/system.reg" ] || echo "==== $preset: creating the Wine prefix"
        machine=i386
        [ "$preset" = windows64 ] && machine=amd64
        if ! start_wine_prefix "$machine" "$log.wineboot"; then
            tail -20 "$log.wineboot"
            failed=$((failed + 1))
            broken="$broken $preset(wineboot)"
            return
        fi
        ;;
    esac
    echo "==== $preset: test"
    rm -f "build/$preset/reports/"*.txt
    $runner ctest --preset "$preset" -j"$jobs" --timeout 300 >"$log.test" 2>&1
    count_tests "$preset" $?
    case $preset in
    windows*) wineserver -k 2>/dev/null ;;
    esac
}

# count_tests NAME STATUS: shows the results of a ctest run logged in $log.test, with the
# lines that tests left in the build's reports/ folder, and adds them to the totals.
count_tests() {
    grep -E "Test +#" "$log.test"
    cat "build/$1/reports/"*.txt 2>/dev/null
    if [ "$2" -ne 0 ]; then
        echo "---- $1: output of the failed tests"
        grep -v -E "^ *[0-9]+/[0-9]+ Test +#" "$log.test" | tail -150
        broken="$broken $1"
    fi
    counts=$(sed -n 's/.*tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\).*/\1 \2/p' \
        "$log.test")
    if [ -n "$counts" ]; then
        set -- $counts
        failed=$((failed + $1))
        passed=$((passed + $2 - $1))
    else
        failed=$((failed + 1))
    fi
}

# The libFuzzer targets, built with clang into build/fuzz; each runs for 30 s.
run_fuzz() {
    log=$logs/fuzz
    echo "==== fuzz: configure and build (clang, libFuzzer)"
    if ! cmake -S . -B build/fuzz -DPIPEWORD_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >"$log.build" 2>&1 ||
        ! cmake --build build/fuzz -j"$jobs" >>"$log.build" 2>&1; then
        tail -60 "$log.build"
        failed=$((failed + 1))
        broken="$broken fuzz(build)"
        return
    fi
    echo "==== fuzz: run each target"
    rm -f build/fuzz/reports/*.txt
    ctest --test-dir build/fuzz -j"$jobs" --output-on-failure >"$log.test" 2>&1
    count_tests fuzz $?
}

for preset in native asan tsan; do
    run_preset "$preset"
done
run_fuzz
run_preset windows
run_preset windows64

# The release artifacts: built from this tree, then installed and run as a user would.
echo "==== release: build the packages and check them"
sh tests/release/check.sh >"$logs/release" 2>&1 || broken="$broken release"
grep -E "^(ok|FAIL|skip|     )" "$logs/release" || tail -40 "$logs/release"
counts=$(sed -n 's/^release: \([0-9]*\) passed, \([0-9]*\) failed, \([0-9]*\) skipped$/\1 \2 \3/p' \
    "$logs/release")
set -- ${counts:-0 1 0}
passed=$((passed + $1))
failed=$((failed + $2))
skipped=$((skipped + $3))

echo
if [ -n "$broken" ]; then
    echo "Failing configurations:$broken (logs in build/logs)"
fi
echo "total: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ] && [ -z "$broken" ]
