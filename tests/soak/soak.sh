#!/bin/sh
# Soak: many consecutive whole runs of the built server with the built client, cycling through
# the three replies. Every client must receive exactly its word, every server must exit with
# status 1, and after every run no socket may be left in the pipe directory and no process
# started with this soak's pipe directory may still exist. Reports the count and the median
# time of a run (server start to server exit).
# Usage: soak.sh SERVER CLIENT [RUNS [REPORT]]   (REPORT: a file that receives the last line)
set -u
server=$1
client=$2
runs=${3:-500}
report=${4:-/dev/null}
runner=""
# shellcheck source=../lib/harness.sh source-path=SCRIPTDIR
. "$(dirname "$0")/../lib/harness.sh"
# Handed to each program alone: a tool of the soak's own that carried it would count as ours.
pipes=$PIPEWORD_PIPE_DIR
unset PIPEWORD_PIPE_DIR

fail() {
    failures=$((failures + 1))
    if [ "$failures" -le 5 ]; then
        echo "FAIL: run $run: $*"
    fi
}

now_ns() { date +%s%N; }

# Processes, anywhere, whose environment names this soak's pipe directory: only the servers
# and clients started here carry it.
ours() {
    grep -l -s -a "PIPEWORD_PIPE_DIR=$pipes" /proc/[0-9]*/environ | cut -d/ -f3
}

run=0
: >"$work/times"
while [ "$run" -lt "$runs" ]; do
    run=$((run + 1))
    case $((run % 3)) in
    1) argument="" word=Start bytes=12 ;;
    2) argument=Stop word=CorvaneStop bytes=24 ;;
    0) argument=Continue word=CorvaneContinue bytes=32 ;;
    esac
    began=$(now_ns)
    PIPEWORD_PIPE_DIR=$pipes "$server" $argument >"$work/server.out" 2>&1 &
    server_pid=$! pids=$!
    # The client would wait for the pipe by itself, but in steps of 50 ms: the soak starts it
    # once the socket is there, so that the times measure the runs rather than that wait.
    tries=0
    while [ ! -S "$pipes/SamplePipe" ] && [ "$tries" -lt 5000 ]; do
        tries=$((tries + 1))
        sleep 0.001
    done
    PIPEWORD_PIPE_DIR=$pipes "$client" --wait 15000 "Run $run" >"$work/client.out" 2>&1
    client_status=$?
    wait "$server_pid"
    server_status=$?
    ended=$(now_ns)
    pids=""
    echo $(((ended - began) / 1000)) >>"$work/times"

    printf '%s\n' 'Connected to \\.\pipe\SamplePipe' "Sent $((${#run} * 2 + 10)) bytes" \
        "Reply $bytes bytes: \"$word\"" >"$work/client.expected"
    if [ "$client_status" -ne 0 ] || ! cmp -s "$work/client.expected" "$work/client.out"; then
        fail "client status $client_status, output: $(cat "$work/client.out")"
    fi
    if [ "$server_status" -ne 1 ]; then
        fail "server status $server_status, output: $(cat "$work/server.out")"
    fi
    left=$(find "$pipes" -type s)
    if [ -n "$left" ]; then
        fail "socket left behind: $left"
        rm -f $left
    fi
    stray=$(ours)
    if [ -n "$stray" ]; then
        fail "processes left running: $stray"
    fi
done

median=$(sort -n "$work/times" | awk '{ t[NR] = $1 } END {
    m = NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2
    printf "%.1f ms (fastest %.1f ms, slowest %.1f ms)", m / 1000, t[1] / 1000, t[NR] / 1000 }')
echo "soak: $run runs, $((run - failures)) clean, $failures failed; median run $median" |
    tee "$report"
[ "$failures" -eq 0 ] && [ "$run" -eq "$runs" ]
