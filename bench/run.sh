#!/bin/sh
# Measures what one use of pipeword costs, beside the smallest C server that does the same
# exchange (the limit) and the same server written in Python, and prints the table that
# docs/benchmarks.md shows.
#   sh bench/run.sh [RUNS]     RUNS measured rounds of the three servers (default 300)
# pipeword is built as the Debian package builds it (the release-native preset's flags)
# into build/bench; every run is also written to build/bench/runs.csv. Timings suffer from
# anything else running: the load average is printed before and after.
set -eu
cd "$(dirname "$0")/.."
runs=${1:-300}
build=build/bench
jobs=$(nproc 2>/dev/null || echo 2)

log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DCMAKE_CXX_FLAGS="-D_FORTIFY_SOURCE=2 -fstack-protector-strong -fstack-clash-protection" \
    -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro,-z,now" &&
    cmake --build "$build" -j"$jobs" --target pipeword pwbench limit_server; } >"$log" 2>&1; then
    tail -40 "$log"
    echo "bench: build failed" >&2
    exit 1
fi
if [ ! -x "$build/bench/pwbench" ]; then
    echo "bench: $build/bench/pwbench is missing: is add_subdirectory(bench) in CMakeLists.txt?" >&2
    exit 1
fi
python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3)

stripped=$(mktemp)
strip -o "$stripped" "$build/pipeword"
echo "date:     $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "source:   $(git describe --always --dirty 2>/dev/null || echo unknown)"
echo "machine:  $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)," \
    "$(nproc) CPUs, $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo)," \
    "Linux $(uname -r)"
echo "tools:    $(cc --version | head -1); $("$python" --version) ($python)"
echo "pipeword: $(stat -c %s "$build/pipeword") bytes as built, $(stat -c %s "$stripped") stripped"
rm -f "$stripped"
echo "load:     $(cut -d' ' -f1-3 /proc/loadavg) (before)"
echo
"$build/bench/pwbench" -n "$runs" -w 5 --csv "$build/runs.csv" \
    "pipeword=$build/pipeword Stop" \
    "limit=$build/bench/limit_server Stop" \
    "python=$python $(pwd)/bench/pipeword_server.py Stop"
echo
echo "load:     $(cut -d' ' -f1-3 /proc/loadavg) (after)"
