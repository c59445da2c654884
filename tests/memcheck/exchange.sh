#!/bin/sh
# The exchange under Valgrind's memcheck: the built server runs "Stop" with the built
# client, once with a short request and once with a request read in three pieces. Each run
# must end with status 1, the client must get "CorvaneStop", and memcheck must report no
# invalid access and no leak (definite, indirect or possible).
# Usage: exchange.sh SERVER CLIENT [REPORT]   (REPORT: a file that receives the "ok" lines)
# shellcheck shell=dash # "local": dash has it, as Debian's policy asks of every /bin/sh
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
runner=""
# shellcheck source=../lib/harness.sh source-path=SCRIPTDIR
. "$here/../lib/harness.sh"

# memcheck_case NAME CLIENT_ARG...
memcheck_case() {
    local log summary
    begin_case "$1"
    shift
    log=$work/$case_name.log
    # Valgrind runs one thread at a time; with its default lock the main thread's busy poll
    # would starve the worker until the deadline. The fair lock takes turns.
    start server valgrind --fair-sched=yes --error-exitcode=99 --leak-check=full \
        --show-leak-kinds=definite,indirect,possible \
        --errors-for-leak-kinds=definite,indirect,possible \
        --suppressions="$here/worker-thread.supp" --log-file="$log" "$server" Stop
    run client "$client" --wait 30000 "$@"
    finish server
    if [ "$(recall server status)" -ne 1 ]; then
        fail "$case_name: status $(recall server status) under valgrind (99: memcheck found errors)"
    fi
    if [ "$(recall client status)" -ne 0 ] ||
        ! grep -q '^Reply 24 bytes: "CorvaneStop"$' "$work/client.out"; then
        fail "$case_name: the client did not get its word:"
        cat "$work/client.out" "$work/client.err"
    fi
    if ! grep -q 'ERROR SUMMARY: 0 errors' "$log"; then
        fail "$case_name: memcheck reports:"
        grep -v -E '^==[0-9]+== *$' "$log" | tail -60
    fi
    if [ "$failures" -eq "$failures_before" ]; then
        summary=$(sed -n -e 's/^==[0-9]*== *//' -e '/definitely lost:/p' -e '/ERROR SUMMARY:/p' \
            "$log" | tr '\n' ' ')
        echo "ok: memcheck $case_name: $summary" | tee -a "$report"
    fi
}

memcheck_case short-request
memcheck_case request-in-three-pieces --bytes 5000
[ "$failures" -eq 0 ]
