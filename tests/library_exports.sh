#!/bin/sh
# libpipeword exports exactly the functions that lib/pipeword.def lists (from a DLL, under
# their plain names); on Linux it also imports nothing that installs a signal handler or
# registers a function for the process's exit or a thread's, as the layer does for servers
# alone: a client's library leaves the process's signals and its exit as they are.
# Usage: library_exports.sh LIBRARY DEF_FILE [OBJDUMP]    (OBJDUMP: the DLL's objdump)
set -u
library=$1
def=$2
objdump=${3:-}
failures=0
expected=$(sed -n 's/^    \(pipeword_[a-z_]*\)\r*$/\1/p' "$def" | LC_ALL=C sort)
if [ -n "$objdump" ]; then
    # The export table's names: "[   0] pipeword_ask" after "[Ordinal/Name Pointer] Table".
    exported=$("$objdump" -p "$library" |
        sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p')
else
    exported=$(nm -D --defined-only --format=just-symbols "$library")
fi
exported=$(printf '%s\n' "$exported" | LC_ALL=C sort)
if [ -z "$expected" ] || [ "$exported" != "$expected" ]; then
    echo "FAIL: $(basename "$library") exports other names than $(basename "$def") lists:"
    printf '%s\n' "$expected" >"${TMPDIR:-/tmp}/expected.$$"
    printf '%s\n' "$exported" | diff "${TMPDIR:-/tmp}/expected.$$" - | sed -n 's/^[<>]/  &/p'
    rm -f "${TMPDIR:-/tmp}/expected.$$"
    failures=1
else
    echo "ok: $(basename "$library") exports the $(printf '%s\n' "$expected" | wc -l) functions of $(basename "$def") alone"
fi
if [ -z "$objdump" ]; then
    handlers=$(nm -D --undefined-only --format=just-symbols "$library" |
        grep -E '^(signal|sigaction|sigset|bsd_signal|atexit|on_exit|__cxa_atexit|__cxa_thread_atexit_impl|pthread_atfork)(@|$)')
    if [ -n "$handlers" ]; then
        echo "FAIL: $(basename "$library") imports" $handlers
        failures=1
    else
        echo "ok: $(basename "$library") installs no signal handler and registers nothing at exit"
    fi
fi
exit $failures
