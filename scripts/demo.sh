#!/bin/sh
# Builds the Linux programs, then runs pipeword with the given argument (none, Stop or
# Continue) and a client against it, and shows what each printed and its exit status.
set -e
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh native
# shellcheck source=presets.sh
. scripts/presets.sh
cmake --preset native >/dev/null
cmake --build --preset native -j"$jobs" --target pipeword pipeword-client >/dev/null

# A pipe directory of the demo's own, so that it runs the same for every user: the shared
# default, /tmp/.pipe, is used only if it is root's (see "On Linux" in the README).
server_output=$(mktemp)
PIPEWORD_PIPE_DIR=$(mktemp -d)
export PIPEWORD_PIPE_DIR
trap 'rm -rf "$server_output" "$PIPEWORD_PIPE_DIR"' EXIT
set +e
build/native/pipeword "$@" >"$server_output" &
server=$!
client_output=$(build/native/pipeword-client "Hello from pipeword-client")
client_status=$?
wait $server
server_status=$?
set -e

echo "---- pipeword $* (exit status $server_status)"
cat "$server_output"
echo "---- pipeword-client (exit status $client_status)"
printf "%s\n" "$client_output"
