#!/bin/sh
# Times full runs of pipeword.exe under Wine, for information: Wine's own start-up is most
# of it. Builds pipeword.exe and pipeword-client.exe (the windows preset's toolchain and
# build type) into build/bench-windows, runs them in a copy of the test prefix
# build/windows/wineprefix with a wineserver of its own, and prints the median and 90th
# percentile of
#   refused:  pipeword.exe a b  (two arguments: no pipe, no thread; Wine start and exit)
#   full run: pipeword.exe Stop with pipeword-client.exe started beside it, launch to exit
#             (the client looks for the pipe every 50 ms, which adds up to 50 ms)
# and checks that every full run ended with status 1 and the client got "CorvaneStop".
#   sh bench/wine.sh [RUNS]    (default 20)
set -u
cd "$(dirname "$0")/.." || exit 2
root=$(pwd)
runs=${1:-20}
build=$root/build/bench-windows
jobs=$(nproc 2>/dev/null || echo 2)

log=$(mktemp)
if ! { cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF &&
    cmake --build "$build" -j"$jobs" --target pipeword pipeword-client; } >"$log" 2>&1; then
    tail -40 "$log"
    rm -f "$log"
    echo "wine: build failed" >&2
    exit 1
fi
rm -f "$log"

export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    rm -rf "$WINEPREFIX"
    if [ -f "$root/build/windows/wineprefix/system.reg" ]; then
        cp -a "$root/build/windows/wineprefix" "$WINEPREFIX"
    else
        wineboot -i >/dev/null 2>&1
    fi
fi
work=$(mktemp -d)
cleanup() {
    wineserver -k >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM
wineserver -p </dev/null >/dev/null 2>&1

server=$build/pipeword.exe
client=$build/pipeword-client.exe
run=$root/cmake/wine-run.sh
now_us() { echo $(($(date +%s%N) / 1000)); }

failures=0
i=-2 # two warm-up runs of each
while [ "$i" -lt "$runs" ]; do
    began=$(now_us)
    sh "$run" "$server" a b >"$work/refused.out" 2>/dev/null
    status=$?
    ended=$(now_us)
    if [ "$status" -ne 0 ]; then
        echo "wine: refused run ended with status $status"
        failures=$((failures + 1))
    fi
    [ "$i" -ge 0 ] && echo $((ended - began)) >>"$work/refused"

    began=$(now_us)
    sh "$run" "$server" Stop >"$work/server.out" 2>/dev/null &
    server_pid=$!
    sh "$run" "$client" >"$work/client.out" 2>/dev/null
    client_status=$?
    wait "$server_pid"
    status=$?
    ended=$(now_us)
    if [ "$status" -ne 1 ] || [ "$client_status" -ne 0 ] ||
        ! grep -q "CorvaneStop" "$work/client.out"; then
        echo "wine: full run: server status $status, client status $client_status"
        cat "$work/server.out" "$work/client.out"
        failures=$((failures + 1))
    fi
    [ "$i" -ge 0 ] && echo $((ended - began)) >>"$work/full"
    i=$((i + 1))
done

# median and 90th percentile (closest rank) of a file of microseconds, in milliseconds
figures() {
    sort -n "$1" | awk '{ v[NR] = $1 } END {
        m = int((NR + 1) / 2); p = int(NR * 0.9 + 0.999);
        printf "median %.1f ms, p90 %.1f ms (%d runs)", v[m] / 1000, v[p] / 1000, NR }'
}
stripped=$work/stripped.exe
i686-w64-mingw32-strip -o "$stripped" "$server" 2>/dev/null || cp "$server" "$stripped"
echo "pipeword.exe: $(stat -c %s "$server") bytes as built, $(stat -c %s "$stripped") stripped;" \
    "$(wine --version 2>/dev/null)"
echo "refused (Wine start and exit): $(figures "$work/refused")"
echo "full run with a client:        $(figures "$work/full")"
if [ "$failures" -ne 0 ]; then
    echo "wine: $failures runs went wrong"
    exit 1
fi
