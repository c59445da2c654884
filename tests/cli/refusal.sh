#!/bin/sh
# The program refuses any argument count but none or one: one exact line, status 0, and no
# pipe ever created.
# Usage: refusal.sh PROGRAM [RUNNER...]   (RUNNER runs Windows executables, e.g. under Wine)
program=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/pipes"
export PIPEWORD_PIPE_DIR="$work/pipes"
case $program in
*.exe) printf 'More input parameters found. Server Message Send 0 \r\n' >"$work/expected" ;;
*) printf 'More input parameters found. Server Message Send 0 \n' >"$work/expected" ;;
esac
failures=0

run_case() {
    "$@" >"$work/actual" 2>/dev/null
    status=$?
    if [ "$status" -ne 0 ] || ! cmp -s "$work/expected" "$work/actual"; then
        echo "FAIL: [$*] status $status, output:"
        od -c "$work/actual"
        failures=$((failures + 1))
    else
        echo "ok: [$*]"
    fi
}

run_case "$@" "$program" Stop Continue
run_case "$@" "$program" Stop Stop
run_case "$@" "$program" a b c
run_case "$@" "$program" "" ""
if [ -n "$(ls -A "$work/pipes")" ]; then
    echo "FAIL: a refused run left something in the pipe directory: $(ls -A "$work/pipes")"
    failures=$((failures + 1))
fi
[ "$failures" -eq 0 ]
