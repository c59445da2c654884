#!/bin/sh
# Builds every configuration and runs every test: native, AddressSanitizer + UBSan,
# ThreadSanitizer, the fuzz targets, and the Windows build under Wine. Installs what it
# needs first.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)
logs=$root/build/logs

sh scripts/install-deps.sh all || exit 1
mkdir -p "$logs"

jobs=$(nproc 2>/dev/null || echo 2)
passed=0
failed=0
broken=""

# ThreadSanitizer cannot map its shadow memory under the kernel's largest address-space
# randomisation; its tests run with randomisation off where that is allowed.
tsan_runner=""
if setarch "$(uname -m)" -R true 2>/dev/null; then
    tsan_runner="setarch $(uname -m) -R"
fi

# Wine keeps its prefix inside the build tree; a running wineserver keeps each test quick.
WINEPREFIX=$root/build/windows/wineprefix
WINEDEBUG=-all
export WINEPREFIX WINEDEBUG

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
    if [ "$preset" = windows ]; then
        if [ ! -f "$WINEPREFIX/system.reg" ]; then
            echo "==== windows: creating the Wine prefix"
            wineboot -i >"$log.wineboot" 2>&1
            # The registry files appear only once that wineserver has exited and saved them;
            # the exchange tests copy the prefix from them.
            wineserver -w
        fi
        # A persistent server, and Wine's background services started now: started by the
        # first test's wine, they would hold the test runner's output pipe open and keep that
        # test waiting until its time-out.
        wineserver -p </dev/null >/dev/null 2>&1
        wineboot </dev/null >>"$log.wineboot" 2>&1
    fi
    echo "==== $preset: test"
    rm -f "build/$preset/reports/"*.txt
    $runner ctest --preset "$preset" -j"$jobs" --timeout 300 >"$log.test" 2>&1
    count_tests "$preset" $?
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

# The release artifacts: built from this tree, then installed and run as a user would.
echo "==== release: build the packages and check them"
sh tests/release/check.sh >"$logs/release" 2>&1 || broken="$broken release"
grep -E "^(ok|FAIL|     )" "$logs/release" || tail -40 "$logs/release"
counts=$(sed -n 's/^release: \([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' "$logs/release")
set -- ${counts:-0 1}
passed=$((passed + $1))
failed=$((failed + $2))
wineserver -k 2>/dev/null

echo
if [ -n "$broken" ]; then
    echo "Failing configurations:$broken (logs in build/logs)"
fi
echo "total: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ -z "$broken" ]
