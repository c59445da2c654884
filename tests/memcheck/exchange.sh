#!/bin/sh
# The exchange under Valgrind's memcheck: the built server runs "Stop" with the built
# client, once with a short request and once with a request read in three pieces. Each run
# must end with status 1, the client must get "CorvaneStop", and memcheck must report no
# invalid access and no leak (definite, indirect or possible).
# Usage: exchange.sh SERVER CLIENT [REPORT]   (REPORT: a file that receives the "ok" lines)
set -u
server=$1
client=$2
report=${3:-/dev/null}
: >"$report"
here=$(cd "$(dirname "$0")" && pwd)

if ! command -v valgrind >/dev/null 2>&1; then
    echo "FAIL: valgrind is not installed (scripts/install-deps.sh all installs it)"
    exit 1
fi
work=$(mktemp -d)
server_pid=""
cleanup() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM
mkdir "$work/pipes"
export PIPEWORD_PIPE_DIR="$work/pipes"
failures=0

# memcheck_case NAME CLIENT_ARG...
memcheck_case() {
    name=$1
    shift
    before=$failures
    # Valgrind runs one thread at a time; with its default lock the main thread's busy poll
    # would starve the worker until the deadline. The fair lock takes turns.
    valgrind --fair-sched=yes --error-exitcode=99 --leak-check=full \
        --show-leak-kinds=definite,indirect,possible \
        --errors-for-leak-kinds=definite,indirect,possible \
        --suppressions="$here/worker-thread.supp" --log-file="$work/$name.log" \
        "$server" Stop >"$work/$name.server" 2>&1 &
    server_pid=$!
    "$client" --wait 30000 "$@" >"$work/$name.client" 2>&1
    client_status=$?
    wait "$server_pid"
    server_status=$?
    server_pid=""
    if [ "$server_status" -ne 1 ]; then
        echo "FAIL: $name: status $server_status under valgrind (99: memcheck found errors)"
        failures=$((failures + 1))
    fi
    if [ "$client_status" -ne 0 ] ||
        ! grep -q '^Reply 24 bytes: "CorvaneStop"$' "$work/$name.client"; then
        echo "FAIL: $name: the client did not get its word:"
        cat "$work/$name.client"
        failures=$((failures + 1))
    fi
    if ! grep -q 'ERROR SUMMARY: 0 errors' "$work/$name.log"; then
        echo "FAIL: $name: memcheck reports:"
        grep -v -E '^==[0-9]+== *$' "$work/$name.log" | tail -60
        failures=$((failures + 1))
    fi
    if [ "$failures" -eq "$before" ]; then
        summary=$(sed -n -e 's/^==[0-9]*== *//' -e '/definitely lost:/p' -e '/ERROR SUMMARY:/p' \
            "$work/$name.log" | tr '\n' ' ')
        echo "ok: memcheck $name: $summary" | tee -a "$report"
    fi
}

memcheck_case short-request
memcheck_case request-in-three-pieces --bytes 5000
[ "$failures" -eq 0 ]
