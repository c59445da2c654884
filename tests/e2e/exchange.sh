#!/bin/sh
# End-to-end runs of the built server with the built client, as a launcher sees them: every
# console line of both in order, both exit statuses, and how long the server took.
# Usage: exchange.sh GROUP SERVER CLIENT [RUNNER]
#   GROUP   replies | client-closes | no-client | client-never-reads | client-cli | samples
#   CLIENT  pipeword-client; for the samples group the sample client to run (a .py file is
#           run with python3)
#   RUNNER  runs Windows executables (cmake/wine-run.sh). Pipe names are global to a
#           wineserver, so each group then runs in a Wine prefix of its own, copied from the
#           initialised one; natively each group has a pipe directory of its own. Either way
#           the groups can run at once.
set -u
group=$1
server=$2
client=$3
runner=${4:-}

server_pid=""
client_pid=""
cleanup() {
    # Only when a case was cut short are a server or client of ours still running.
    for pid in $server_pid $client_pid; do
        kill "$pid" 2>/dev/null
    done
    isolated_run_cleanup
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM
label=$group
# shellcheck source=../lib/isolated-run.sh source-path=SCRIPTDIR
. "$(dirname "$0")/../lib/isolated-run.sh"
# shellcheck source=../lib/fresh-tmp.sh
. "$(dirname "$0")/../lib/fresh-tmp.sh"

# platform_lines: LF-ended lines in, the lines as the programs print them out (CR LF on
# Windows).
platform_lines() {
    case $server in
    *.exe) sed 's/$/\r/' ;;
    *) cat ;;
    esac
}

# expect FILE LINE...: the expected output, one argument a line; no argument for none.
expect() {
    file=$1
    shift
    if [ $# -gt 0 ]; then
        printf '%s\n' "$@" | platform_lines >"$file"
    else
        : >"$file"
    fi
}

# serve ARG...: starts the server in the background with these arguments.
serve() {
    server_began=$(now_ms)
    if [ -n "$runner" ]; then
        "$runner" "$server" "$@" >"$work/server.out" 2>"$work/server.err" &
    else
        "$server" "$@" >"$work/server.out" 2>"$work/server.err" &
    fi
    server_pid=$!
}

# served: waits for the server; sets server_status and server_ms.
served() {
    wait "$server_pid"
    server_status=$?
    server_pid=""
    server_ms=$(($(now_ms) - server_began))
}

# run_client ARG...: the client with these arguments, in the foreground.
run_client() {
    case $client in
    *.py) python3 "$client" "$@" ;;
    *.exe) "$runner" "$client" "$@" ;;
    *) "$client" "$@" ;;
    esac
}

# ask ARG...: runs the client in the foreground; sets client_status and client_ms.
ask() {
    began=$(now_ms)
    run_client "$@" >"$work/client.out" 2>"$work/client.err"
    client_status=$?
    client_ms=$(($(now_ms) - began))
}

# ask_later ARG...: starts the client in the background; asked waits for it and makes its
# output the client's, so that another client can be asked meanwhile.
ask_later() {
    run_client "$@" >"$work/later.out" 2>"$work/later.err" &
    client_pid=$!
}

asked() {
    wait "$client_pid"
    client_status=$?
    client_pid=""
    mv "$work/later.out" "$work/client.out"
    mv "$work/later.err" "$work/client.err"
}

# wait_for_line TEXT: until the server has printed a line starting with TEXT (20 s at most).
wait_for_line() {
    tries=0
    while ! grep -q "^$1" "$work/server.out" 2>/dev/null; do
        tries=$((tries + 1))
        if [ "$tries" -gt 400 ]; then
            return 1
        fi
        sleep 0.05
    done
}

# same NAME WHO: compares WHO's output (server or client) with WHO.expected, and its stderr
# with WHO.err.expected: without that file stderr must stay empty (a sanitizer reports there).
same() {
    if ! cmp -s "$work/$2.expected" "$work/$2.out"; then
        fail "$1: $2 output differs (expected <, actual >)"
        diff "$work/$2.expected" "$work/$2.out" | cut -c1-300 | cat -v
    fi
    if [ -f "$work/$2.err.expected" ]; then
        if ! cmp -s "$work/$2.err.expected" "$work/$2.err"; then
            fail "$1: $2 stderr differs (expected <, actual >)"
            diff "$work/$2.err.expected" "$work/$2.err" | cut -c1-300 | cat -v
        fi
    elif [ -s "$work/$2.err" ]; then
        fail "$1: $2 wrote to stderr:"
        head -40 "$work/$2.err"
    fi
}

# status NAME WHO ACTUAL EXPECTED
status() {
    if [ "$3" -ne "$4" ]; then
        fail "$1: $2 exit status $3, expected $4"
    fi
}

# between NAME WHAT MS LOW HIGH
between() {
    if [ "$3" -lt "$4" ] || [ "$3" -gt "$5" ]; then
        fail "$1: $2 took $3 ms, expected $4 to $5 ms"
    fi
}

# no_socket_left NAME: natively, a finished server leaves no socket in its pipe directory.
no_socket_left() {
    if [ -z "$runner" ]; then
        left=$(find "$PIPEWORD_PIPE_DIR" -type s)
        if [ -n "$left" ]; then
            fail "$1: socket left behind: $left"
            find "$PIPEWORD_PIPE_DIR" -type s -exec rm -f {} +
        fi
    fi
}

finish_case() {
    if [ "$failures" -eq "$failures_before" ]; then
        echo "ok: $1"
    fi
}

begin_case() {
    failures_before=$failures
    rm -f "$work"/server.* "$work"/client.* "$work"/later.*
}

created='The named pipe (\\.\pipe\SamplePipe) is created.'
waiting="Waiting for the client's connection..."
connected='Client is connected.'
sample_pipe='\\.\pipe\SamplePipe'
opened="Connected to $sample_pipe"
replacement=$(printf '\357\277\275')

# at NAME: where the client's diagnostics place the pipe NAME: its socket natively, nothing
# on Windows.
at() {
    if [ -z "$runner" ]; then
        printf ' at %s/%s' "$PIPEWORD_PIPE_DIR" "$1"
    fi
}

# reply_case NAME MODE REPLY BYTES [CLIENT_ARG...]: a whole exchange with the default
# request; MODE "-" starts the server without an argument.
reply_case() {
    name=$1
    reply=$3
    bytes=$4
    begin_case
    if [ "$2" = - ]; then serve; else serve "$2"; fi
    shift 4
    ask --wait 15000 "$@"
    served
    status "$name" server "$server_status" 1
    status "$name" client "$client_status" 0
    expect "$work/server.expected" "$created" "$waiting" "$connected" \
        'Receive 12 bytes from client: "Hello"' \
        "Send $bytes bytes to client: \"$reply\"" 'Server Message Send 1 '
    same "$name" server
    expect "$work/client.expected" "$opened" 'Sent 12 bytes' "Reply $bytes bytes: \"$reply\""
    same "$name" client
    no_socket_left "$name"
    finish_case "$name"
}

# request_case NAME COUNT RECEIVE_LINE... CLIENT_ARG...: a request of some shape, shown in
# COUNT receive lines and answered "Start".
request_case() {
    name=$1
    count=$2
    shift 2
    begin_case
    : >"$work/receive"
    while [ "$count" -gt 0 ]; do
        printf '%s\n' "$1" >>"$work/receive"
        shift
        count=$((count - 1))
    done
    serve
    ask --wait 15000 "$@"
    served
    status "$name" server "$server_status" 1
    status "$name" client "$client_status" 0
    {
        printf '%s\n' "$created" "$waiting" "$connected"
        cat "$work/receive"
        printf '%s\n' 'Send 12 bytes to client: "Start"' 'Server Message Send 1 '
    } | platform_lines >"$work/server.expected"
    same "$name" server
    sent=$(sed -n 's/^Receive \([0-9]*\) .*/\1/p' "$work/receive" |
        awk '{ total += $1 } END { print total }')
    expect "$work/client.expected" "$opened" "Sent $sent bytes" 'Reply 12 bytes: "Start"'
    same "$name" client
    no_socket_left "$name"
    finish_case "$name"
}

# letters FROM COUNT: the client's filler text, code units FROM to FROM + COUNT - 1.
letters() {
    awk -v from="$1" -v count="$2" 'BEGIN {
        a = "abcdefghijklmnopqrstuvwxyz"
        for (i = from; i < from + count; i++) printf "%s", substr(a, i % 26 + 1, 1)
    }'
}

replies() {
    reply_case start - Start 12
    reply_case stop Stop CorvaneStop 24
    # Read 8 bytes at a time, the client assembles the reply from four pieces.
    reply_case continue-in-pieces Continue CorvaneContinue 32 --read-size 8

    name='unrecognised-argument'
    begin_case
    serve stop
    ask --wait 15000
    served
    status "$name" server "$server_status" 1
    status "$name" client "$client_status" 1
    expect "$work/server.expected" "$created" "$waiting" "$connected" \
        'Receive 12 bytes from client: "Hello"' 'Server Message Send 1 '
    same "$name" server
    # The disconnect finds the client's read either waiting (broken pipe) or still to come
    # (not connected); both mean the pipe closed without a reply.
    code=0x000000e9
    if grep -q 'w/err 0x0000006d' "$work/client.err"; then
        code=0x0000006d
    fi
    expect "$work/client.expected" "$opened" 'Sent 12 bytes'
    expect "$work/client.err.expected" \
        "pipeword-client: no reply: the server closed the pipe without one (ReadFile w/err $code)"
    same "$name" client
    no_socket_left "$name"
    finish_case "$name"

    request_case request-of-5000-bytes 3 \
        "Receive 2048 bytes from client: \"$(letters 0 1024)\"" \
        "Receive 2048 bytes from client: \"$(letters 1024 1024)\"" \
        "Receive 904 bytes from client: \"$(letters 2048 452)\"" \
        --bytes 5000
    request_case request-of-0-bytes 1 'Receive 0 bytes from client: ""' --empty

    # UTF-16LE "x", CR, TAB, "y", DEL, LF, "Server Message Send 1 ", LF, e acute, NUL: the
    # control characters must neither end the line nor forge a report line.
    printf 'x\000\r\000\t\000y\000\177\000\n\000' >"$work/request.bin"
    printf 'Server Message Send 1 ' | sed 's/./&@/g' | tr '@' '\000' >>"$work/request.bin"
    printf '\n\000\351\000\000\000' >>"$work/request.bin"
    r=$replacement
    request_case request-with-control-characters 1 \
        "Receive 62 bytes from client: \"x$r${r}y$r${r}Server Message Send 1 $r$(printf '\303\251')\"" \
        --file "$work/request.bin"

    # The client waits for a pipe that does not exist yet.
    name='client-waits-for-the-pipe'
    begin_case
    ask_later --wait 15000 Continue
    sleep 1
    serve Stop
    asked
    served
    status "$name" server "$server_status" 1
    status "$name" client "$client_status" 0
    expect "$work/server.expected" "$created" "$waiting" "$connected" \
        'Receive 18 bytes from client: "Continue"' 'Send 24 bytes to client: "CorvaneStop"' \
        'Server Message Send 1 '
    same "$name" server
    expect "$work/client.expected" "$opened" 'Sent 18 bytes' 'Reply 24 bytes: "CorvaneStop"'
    same "$name" client
    no_socket_left "$name"
    finish_case "$name"

}

client_closes() {
    name='client-closes-without-writing'
    begin_case
    serve Stop
    # Connecting only once the server waits in ConnectNamedPipe: a client that came and went
    # before that call would fail the connect instead of the read.
    wait_for_line "Waiting for the client" || fail "$name: the server never waited"
    sleep 0.2
    ask --close-without-writing
    served
    status "$name" server "$server_status" 0
    status "$name" client "$client_status" 0
    between "$name" server "$server_ms" 9500 30000
    expect "$work/server.expected" "$created" "$waiting" "$connected" \
        'ReadFile from pipe failed w/err 0x0000006d' 'Server Message Send 0 '
    same "$name" server
    expect "$work/client.expected" "$opened" 'Closing without writing'
    same "$name" client
    no_socket_left "$name"
    finish_case "$name"
}

no_client() {
    name='no-client'
    begin_case
    serve
    served
    status "$name" server "$server_status" 0
    between "$name" server "$server_ms" 9500 30000
    expect "$work/server.expected" "$created" "$waiting" 'Server Message Send 0 '
    same "$name" server
    no_socket_left "$name"
    finish_case "$name"
}

client_never_reads() {
    name='client-never-reads'
    begin_case
    serve Stop
    ask_later --wait 15000 --no-read 15
    wait_for_line "Client is connected" || fail "$name: no client connected"
    # The only instance is taken: a second client waits for it in vain.
    ask --wait 500
    status "$name" "second client" "$client_status" 2
    expect "$work/client.expected"
    expect "$work/client.err.expected" "pipeword-client: $sample_pipe$(at SamplePipe) stayed busy \
for 500 ms: its server is serving another client (WaitNamedPipeW w/err 0x00000079)"
    same "$name" client
    rm "$work/client.err.expected"
    served
    status "$name" server "$server_status" 0
    between "$name" server "$server_ms" 9500 30000
    expect "$work/server.expected" "$created" "$waiting" "$connected" \
        'Receive 12 bytes from client: "Hello"' 'Send 24 bytes to client: "CorvaneStop"' \
        'Server Message Send 0 '
    same "$name" server
    no_socket_left "$name"
    asked
    status "$name" client "$client_status" 0
    expect "$work/client.expected" "$opened" 'Sent 12 bytes' \
        'Keeping the pipe open for 15 s without reading'
    same "$name" client
    finish_case "$name"
}

# The client's command line as people and scripts use it: stdout for the exchange (the word
# alone with -q), stderr for problems, GNU-style options.
client_cli() {
    version=$(sed -n 's/^project(pipeword VERSION \([0-9.]*\).*/\1/p' \
        "$(dirname "$0")/../../CMakeLists.txt")
    usage='Usage: pipeword-client [options] [--] [TEXT] (see --help)'

    name='help-and-version'
    begin_case
    for option in -h --help; do
        ask "$option"
        status "$name" "client $option" "$client_status" 0
        if ! head -1 "$work/client.out" | grep -q '^Usage: pipeword-client ' ||
            [ -s "$work/client.err" ]; then
            fail "$name: $option printed:"
            head -5 "$work/client.out" "$work/client.err"
        fi
    done
    ask --version
    status "$name" client "$client_status" 0
    expect "$work/client.expected" "pipeword-client $version"
    same "$name" client
    finish_case "$name"

    # Refused at once with the reason and the usage line, never sent as a request.
    for refusal in "unknown option '-x'|-x" "unknown option '--bogus=1'|--bogus=1" \
        '--quiet takes no value|--quiet=yes' '--wait needs a value|--wait' \
        "--wait takes milliseconds, not 'soon'|--wait=soon"; do
        name="refused: ${refusal#*|}"
        begin_case
        ask "${refusal#*|}"
        status "$name" client "$client_status" 2
        expect "$work/client.expected"
        expect "$work/client.err.expected" "pipeword-client: ${refusal%%|*}" "$usage"
        same "$name" client
        finish_case "$name"
    done

    # A bare pipe name, --name=value, and -- before a TEXT that starts with "-"; with -q
    # stdout holds the word alone, as word=$(pipeword-client -q) wants it.
    name='quiet-with-a-bare-name-an-equals-value-and-double-dash'
    begin_case
    serve Stop
    ask -q --pipe SamplePipe --wait=15000 -- -x
    served
    status "$name" server "$server_status" 1
    status "$name" client "$client_status" 0
    expect "$work/server.expected" "$created" "$waiting" "$connected" \
        'Receive 6 bytes from client: "-x"' 'Send 24 bytes to client: "CorvaneStop"' \
        'Server Message Send 1 '
    same "$name" server
    expect "$work/client.expected" CorvaneStop
    same "$name" client
    no_socket_left "$name"
    finish_case "$name"

    # No reply: stdout stays empty in quiet mode, the reason goes to stderr, status 1.
    name='quiet-without-a-reply'
    begin_case
    serve other
    ask -q --wait 15000
    served
    status "$name" server "$server_status" 1
    status "$name" client "$client_status" 1
    code=0x000000e9
    if grep -q 'w/err 0x0000006d' "$work/client.err"; then
        code=0x0000006d
    fi
    expect "$work/client.expected"
    expect "$work/client.err.expected" \
        "pipeword-client: no reply: the server closed the pipe without one (ReadFile w/err $code)"
    same "$name" client
    finish_case "$name"

    # No pipe within the client's wait: where it looked (natively the socket path and the
    # variable that moves it), and the code last.
    name='client-finds-no-pipe'
    begin_case
    ask --wait 300 --pipe NoSuchPipe
    status "$name" client "$client_status" 2
    between "$name" client "$client_ms" 300 20000
    pipe='\\.\pipe\NoSuchPipe'
    hint='?'
    if [ -z "$runner" ]; then
        hint=', with the same PIPEWORD_PIPE_DIR?'
    fi
    expect "$work/client.expected"
    expect "$work/client.err.expected" "pipeword-client: no server for $pipe$(at NoSuchPipe) \
within 300 ms: is it running$hint (CreateFileW w/err 0x00000002)"
    same "$name" client
    finish_case "$name"
}

# sample_exchange NAME: the sample client started before the server, which it waits for;
# it prints the word alone.
sample_exchange() {
    name=$1
    begin_case
    ask_later Ready
    sleep 1
    serve Stop
    asked
    served
    status "$name" server "$server_status" 1
    status "$name" client "$client_status" 0
    expect "$work/server.expected" "$created" "$waiting" "$connected" \
        'Receive 12 bytes from client: "Ready"' 'Send 24 bytes to client: "CorvaneStop"' \
        'Server Message Send 1 '
    same "$name" server
    expect "$work/client.expected" CorvaneStop
    same "$name" client
    no_socket_left "$name"
    finish_case "$name"
}

# The README's client samples against the real server: the Python one natively, the C one
# cross-built and under Wine.
samples() {
    sample_exchange "sample $(basename "$client") waits for the server"
    case $client in
    *.py) ;;
    *) return ;;
    esac
    if [ "$(id -u)" -ne 0 ] || ! unshare --mount true 2>/dev/null; then
        echo "skipped: the Python sample's trust checks (they need root)"
        return
    fi

    # The default /tmp/.pipe, in a private /tmp: used when the server (root) made it, refused
    # without a traceback once it belongs to another user. The outputs go out through
    # descriptors opened before /tmp is covered.
    name='python-sample-and-the-default-directory'
    begin_case
    # shellcheck disable=SC2016 # expanded by the inner shell
    fresh_tmp sh -c '
        unset PIPEWORD_PIPE_DIR
        "$1" Stop >&3 2>&3 &
        python3 "$2" >&4 2>&4
        echo "client $?" >&5
        wait $!
        echo "server $?" >&5
        chown 65534 /tmp/.pipe
        python3 "$2" >&6 2>&6
        echo "refused $?" >&5
    ' sh "$server" "$client" 3>"$work/server.out" 4>"$work/client.out" \
        5>"$work/statuses" 6>"$work/refused.out"
    printf '%s\n' 'client 0' 'server 1' 'refused 1' >"$work/statuses.expected"
    if ! cmp -s "$work/statuses.expected" "$work/statuses"; then
        fail "$name: exit statuses $(cat "$work/statuses" | tr '\n' ' ')"
    fi
    expect "$work/client.expected" CorvaneStop
    : >"$work/client.err"
    same "$name" client
    expect "$work/refused.expected" \
        "pipeword client: /tmp/.pipe is not root's; set PIPEWORD_PIPE_DIR"
    : >"$work/refused.err"
    same "$name" refused
    finish_case "$name"

    # A server of another user in a shared directory of root's: connected, then refused.
    name='python-sample-refuses-an-untrusted-server'
    begin_case
    chmod 0755 "$work"
    export PIPEWORD_PIPE_DIR="$work/shared"
    mkdir -m 1777 "$PIPEWORD_PIPE_DIR"
    mkdir -p "$work/bin"
    cp "$server" "$work/bin/"
    setpriv --reuid 65534 --regid 65534 --clear-groups "$work/bin/$(basename "$server")" Stop \
        >"$work/server.out" 2>"$work/server.err" &
    server_pid=$!
    ask
    status "$name" client "$client_status" 1
    expect "$work/client.expected"
    expect "$work/client.err.expected" \
        'pipeword client: the server runs as uid 65534, whom this user does not trust'
    same "$name" client
    kill "$server_pid"
    wait "$server_pid" 2>/dev/null
    server_pid=""
    finish_case "$name"
}

case $group in
replies) replies ;;
client-cli) client_cli ;;
samples) samples ;;
client-closes) client_closes ;;
no-client) no_client ;;
client-never-reads) client_never_reads ;;
*)
    echo "unknown group $group"
    exit 2
    ;;
esac
[ "$failures" -eq 0 ]
