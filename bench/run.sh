#!/bin/sh
# Measures what one use of pipeword costs, beside the same exchange in minimal C with
# pipeword's run control (busypoll) and without it (limit, one thread), and the same server
# written in Python, and prints what docs/benchmarks.md shows: the table by phase, the
# targets, and where the time goes by system call (with perf, when it may trace).
#   sh bench/run.sh [RUNS]     RUNS measured rounds of the four servers (default 300); the
#                              traced run takes at most 100
# pipeword is built as the Debian package builds it (the release-native preset's flags, also
# for the C servers) into build/bench; every run is also written to build/bench/runs.csv.
# Timings suffer from anything else running: the load average is printed before and after.
set -eu
cd "$(dirname "$0")/.."
runs=${1:-300}
build=build/bench
# shellcheck source=../scripts/presets.sh
. scripts/presets.sh

hardening="-D_FORTIFY_SOURCE=2 -fstack-protector-strong -fstack-clash-protection"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DCMAKE_CXX_FLAGS="$hardening" -DCMAKE_C_FLAGS="$hardening" \
    -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro,-z,now" -DPIPEWORD_STATIC=ON &&
    cmake --build "$build" -j"$jobs" --target pipeword pwbench limit_server poll_server; } >"$log" 2>&1; then
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
needs=$(readelf -d "$build/pipeword" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
echo "pipeword: $(stat -c %s "$build/pipeword") bytes as built, $(stat -c %s "$stripped") stripped;" \
    "shared libraries: ${needs:-none}"
rm -f "$stripped"
echo "load:     $(cut -d' ' -f1-3 /proc/loadavg) (before)"
echo
set -- "pipeword=$build/pipeword Stop" \
    "busypoll=$build/bench/poll_server Stop" \
    "limit=$build/bench/limit_server Stop" \
    "python=$python $(pwd)/bench/pipeword_server.py Stop"
"$build/bench/pwbench" -n "$runs" -w 5 --csv "$build/runs.csv" "$@"
echo
"$python" bench/targets.py "$build/runs.csv"
echo
echo "load:     $(cut -d' ' -f1-3 /proc/loadavg) (after)"
if perf trace -e exit_group true >/dev/null 2>&1; then
    traced=$((runs < 100 ? runs : 100))
    echo
    echo "By system call (perf trace, $traced rounds):"
    "$python" bench/phases.py -n "$traced" "$@"
    echo "load:     $(cut -d' ' -f1-3 /proc/loadavg) (after the traced run)"
else
    echo "(perf trace is not available here: no breakdown by system call)"
fi
