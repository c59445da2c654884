#!/bin/sh
# The program refuses any argument count but none or one: one exact line, status 0, and no
# pipe ever created.
# Usage: refusal.sh PROGRAM [RUNNER]   (RUNNER runs Windows executables, e.g. under Wine)
set -u
server=$1
runner=${2:-}
label=refusal
# shellcheck source=../lib/harness.sh source-path=SCRIPTDIR
. "$(dirname "$0")/../lib/harness.sh"

# refused ARG...: what the program prints to stderr is not looked at.
refused() {
    begin_case "[$*]"
    run refused "$server" "$@"
    status refused 0
    : >"$work/refused.err"
    expect refused 'More input parameters found. Server Message Send 0 '
    end_case
}

refused Stop Continue
refused Stop Stop
refused a b c
refused "" ""
if [ -n "$(ls -A "$PIPEWORD_PIPE_DIR")" ]; then
    fail "a refused run left something in the pipe directory: $(ls -A "$PIPEWORD_PIPE_DIR")"
fi
[ "$failures" -eq 0 ]
