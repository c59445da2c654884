# shellcheck shell=dash # "local": dash has it, as Debian's policy asks of every /bin/sh
# Sourced by the scripts that build and test the CMake presets (scripts/test.sh, release.sh,
# wine-stage-under-load.sh): how many jobs, a preset's configure-and-build step, and the
# counts of a ctest run. Run from the top of the checkout.

# Build and test jobs: one per processor.
jobs=$(nproc 2>/dev/null || echo 2)

# build_preset PRESET LOG: configures and builds PRESET, their output in LOG; when either step
# fails, shows the end of LOG and returns 1.
build_preset() {
    if ! cmake --preset "$1" >"$2" 2>&1 ||
        ! cmake --build --preset "$1" -j"$jobs" >>"$2" 2>&1; then
        tail -60 "$2"
        return 1
    fi
}

# ctest_counts JUNIT STATUS: prints "PASSED FAILED SKIPPED" for the ctest run that wrote the
# JUnit report JUNIT (ctest --output-junit) and ended with STATUS. A run that failed with no
# failed test in its report (ctest itself failed, or wrote no report) counts as one failure.
ctest_counts() {
    local counts
    # One line of three numbers, or nothing.
    counts=$(python3 scripts/ctest-counts.py results "$1" 2>/dev/null)
    set -- ${counts:-0 0 0} "$2"
    if [ "$4" -ne 0 ] && [ "$2" -eq 0 ]; then
        set -- "$1" 1 "$3" "$4"
    fi
    echo "$1 $2 $3"
}

# listed_tests PRESET: how many tests ctest lists for PRESET.
listed_tests() {
    ctest --preset "$1" --show-only=json-v1 | python3 scripts/ctest-counts.py listed -
}
