#!/bin/sh
# Times full runs of pipeword.exe under Wine, for information: Wine's own start-up is most
# of it. For each Windows build this machine runs (the 64-bit one everywhere, the 32-bit one
# where the kernel runs 32-bit programs; a build it cannot run is named, with the reason),
# builds pipeword.exe and pipeword-client.exe (the toolchain and build type of the windows
# or windows64 preset) into build/bench-windows or build/bench-windows64, runs them in a
# copy of that preset's test prefix with a wineserver of its own, and prints the median
# and 90th percentile of
#   refused:  pipeword.exe a b  (two arguments: no pipe, no thread; Wine start and exit)
#   full run: pipeword.exe Stop with pipeword-client.exe started beside it, launch to exit
#             (the client looks for the pipe every 50 ms, which adds up to 50 ms)
# and checks that every full run ended with status 1 and the client got "CorvaneStop".
#   sh bench/wine.sh [RUNS]    (default 20)
set -u
cd "$(dirname "$0")/.." || exit 2
root=$(pwd)
runs=${1:-20}
# shellcheck source=../scripts/presets.sh
. scripts/presets.sh
# shellcheck source=../tests/lib/wine.sh
. tests/lib/wine.sh
export WINEDEBUG=-all
work=""
cleanup() {
    if [ -n "$work" ]; then
        wineserver -k >/dev/null 2>&1
        rm -rf "$work"
    fi
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

# bench_build PRESET TOOLCHAIN: builds and times the programs of one Windows build.
bench_build() {
    machine=$(preset_machine "$1")
    build=$root/build/bench-$1
    log=$(mktemp)
    if ! { cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$2" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF &&
        cmake --build "$build" -j"$jobs" --target pipeword pipeword-client; } >"$log" 2>&1; then
        tail -40 "$log"
        rm -f "$log"
        echo "wine: build failed ($1)" >&2
        return 1
    fi
    rm -f "$log"

    export WINEPREFIX="$build/wineprefix"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        rm -rf "$WINEPREFIX"
        if [ -f "$root/build/$1/wineprefix/system.reg" ]; then
            cp -a "$root/build/$1/wineprefix" "$WINEPREFIX"
        fi
    fi
    work=$(mktemp -d)
    start_wine_prefix "$machine" "$work/wineboot.log" || { tail "$work/wineboot.log"; return 1; }

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
    strip=i686-w64-mingw32-strip
    [ "$machine" = amd64 ] && strip=x86_64-w64-mingw32-strip
    $strip -o "$stripped" "$server" 2>/dev/null || cp "$server" "$stripped"
    echo "$1: pipeword.exe: $(stat -c %s "$server") bytes as built, $(stat -c %s "$stripped")" \
        "stripped; $("$(wine_loader "$machine")" --version 2>/dev/null)"
    echo "refused (Wine start and exit): $(figures "$work/refused")"
    echo "full run with a client:        $(figures "$work/full")"
    cleanup
    work=""
    if [ "$failures" -ne 0 ]; then
        echo "wine: $failures runs went wrong ($1)"
        return 1
    fi
}

outcome=0
bench_build windows64 mingw-w64-x86_64.cmake || outcome=1
if windows_build_runs windows; then
    bench_build windows mingw-w64-i686.cmake || outcome=1
else
    echo "windows: not timed, 32-bit Wine cannot run here: $no_32bit_why"
fi
exit $outcome
