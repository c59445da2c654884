#!/bin/sh
# Runs the benchmark driver while every core is kept busy by a `yes >/dev/null` of its own,
# to see what a loaded machine does to a run, and above all that a run without a client
# still ends a little after its 10-second deadline.
#   sh bench/loaded.sh PWBENCH-ARGUMENTS...
# for example (no client, five runs; each must end with status 0, the table shows how long):
#   sh bench/loaded.sh --no-client -n 5 -w 0 "pipeword=build/bench/pipeword Stop"
# The driver must have been built (sh bench/run.sh builds it into build/bench).
set -u
cd "$(dirname "$0")/.." || exit 2
driver=build/bench/bench/pwbench
if [ ! -x "$driver" ]; then
    echo "loaded: $driver is missing; sh bench/run.sh builds it" >&2
    exit 2
fi
hogs=""
stop_hogs() {
    for pid in $hogs; do
        kill "$pid" 2>/dev/null
    done
    for pid in $hogs; do
        wait "$pid" 2>/dev/null
    done
    hogs=""
}
trap stop_hogs EXIT
trap 'exit 1' HUP INT TERM
cores=$(nproc 2>/dev/null || echo 2)
i=0
while [ "$i" -lt "$cores" ]; do
    yes >/dev/null &
    hogs="$hogs $!"
    i=$((i + 1))
done
echo "loaded: $cores busy loops running (pids$hogs)"
"$driver" "$@"
status=$?
stop_hogs
exit $status
