#!/bin/sh
# End-to-end runs of the built server with the built client, as a launcher sees them: every
# console line of both in order, both exit statuses, and how long the server took.
# Usage: exchange.sh GROUP SERVER CLIENT [RUNNER]
#   GROUP   replies | client-closes | no-client | client-never-reads | client-cli | samples
#   CLIENT  pipeword-client; for the samples group the sample client to run (a .py file is
#           run with python3), and SAMPLES_HOLDER names pipeword-client, which holds the
#           pipe busy
#   RUNNER  runs Windows executables (cmake/wine-run.sh). Pipe names are global to a
#           wineserver, so each group then runs in a Wine prefix of its own, copied from the
#           initialised one; natively each group has a pipe directory of its own. Either way
#           the groups can run at once.
# shellcheck shell=dash # "local": dash has it, as Debian's policy asks of every /bin/sh
set -u
group=$1
server=$2
client=$3
runner=${4:-}
label=$group
# shellcheck source=../lib/harness.sh source-path=SCRIPTDIR
. "$(dirname "$0")/../lib/harness.sh"

# reply_case NAME REPLY WORD [CLIENT_ARG...]: a whole exchange with the default request.
reply_case() {
    begin_case "$1"
    shift
    exchanged "$@"
    no_socket_left
    end_case
}

# client_first NAME TEXT CLIENT_ARG...: the client, started a second before the server
# ("Stop"), waits for the pipe and sends TEXT.
client_first() {
    local text="$2"
    begin_case "$1"
    shift 2
    start client "$client" "$@"
    sleep 1
    start server "$server" Stop
    finish client
    finish server
    status server 1
    status client 0
    expect_served server "$text" CorvaneStop
}

replies() {
    reply_case start "" Start
    reply_case stop Stop CorvaneStop
    # Read 8 bytes at a time, the client assembles the reply from four pieces.
    reply_case continue-in-pieces Continue CorvaneContinue --read-size 8

    # A word the server does not know runs the exchange with no reply, as ever, and is named
    # on standard error, for whoever typed it.
    begin_case unrecognised-argument
    start server "$server" stop
    run client "$client" --wait 15000
    finish server
    status server 1
    status client 1
    expect_stderr server "pipeword: \"stop\" is not a word this server knows (Stop, Continue, or \
none for Start): it runs with no reply"
    expect server "$created" "$waiting" "$connected" \
        'Receive 12 bytes from client: "Hello"' 'Server Message Send 1 '
    expect_no_reply client
    expect client "$opened" 'Sent 12 bytes'
    no_socket_left
    end_case

    filler_lines 5000 >"$work/lines"
    request_case request-of-5000-bytes "$work/lines" --bytes 5000
    echo 'Receive 0 bytes from client: ""' >"$work/lines"
    request_case request-of-0-bytes "$work/lines" --empty

    # UTF-16LE "x", CR, TAB, "y", DEL, LF, "Server Message Send 1 ", LF, e acute, NUL: the
    # control characters must neither end the line nor forge a report line. The file's name
    # is not ASCII: on Windows it opens by its UTF-16 name, not in the ANSI code page.
    request="$work/request-$(printf '\303\251\342\202\254').bin"
    printf 'x\000\r\000\t\000y\000\177\000\n\000' >"$request"
    printf 'Server Message Send 1 ' | sed 's/./&@/g' | tr '@' '\000' >>"$request"
    printf '\n\000\351\000\000\000' >>"$request"
    r=$fffd
    printf '%s\n' "Receive 62 bytes from client: \"x$r${r}y$r${r}Server Message Send 1 \
$r$(printf '\303\251')\"" >"$work/lines"
    request_case request-with-control-characters "$work/lines" --file "$request"

    # The client waits for a pipe that does not exist yet.
    client_first client-waits-for-the-pipe Continue --wait 15000 Continue
    expect_replied client Continue CorvaneStop
    no_socket_left
    end_case
}

client_closes() {
    begin_case client-closes-without-writing
    start server "$server" Stop
    # Connecting only once the server waits in ConnectNamedPipe: a client that came and went
    # before that call would fail the connect instead of the read.
    wait_for server "Waiting for the client"
    sleep 0.2
    run client "$client" --close-without-writing
    finish server
    status server 0
    status client 0
    lasted_the_deadline server
    expect server "$created" "$waiting" "$connected" \
        'ReadFile from pipe failed w/err 0x0000006d' 'Server Message Send 0 '
    expect client "$opened" 'Closing without writing'
    no_socket_left
    end_case
}

no_client() {
    begin_case no-client
    run server "$server"
    status server 0
    lasted_the_deadline server
    expect server "$created" "$waiting" 'Server Message Send 0 '
    no_socket_left
    end_case
}

client_never_reads() {
    begin_case client-never-reads
    start server "$server" Stop
    start client "$client" --wait 15000 --no-read 15
    wait_for server "Client is connected"
    # The only instance is taken: a second client waits for it in vain.
    run second "$client" --wait 500
    status second 2
    expect_stderr second "$(busy_line 500)"
    expect second
    finish server
    status server 0
    lasted_the_deadline server
    expect_served server Hello CorvaneStop 0
    no_socket_left
    finish client
    status client 0
    expect client "$opened" 'Sent 12 bytes' 'Keeping the pipe open for 15 s without reading'
    end_case
}

# redirected IN OUT ARG...: the client with standard input from IN and standard output to
# OUT (client.out left empty when OUT is another file); keeps its exit status.
redirected() {
    local input="$1" output="$2"
    shift 2
    [ "$output" = "$work/client.out" ] || : >"$work/client.out"
    case $client in
    *.exe) "$runner" "$client" "$@" <"$input" >"$output" 2>"$work/client.err" ;;
    *) "$client" "$@" <"$input" >"$output" 2>"$work/client.err" ;;
    esac
    remember client status $?
}

# The client's command line as people and scripts use it: stdout for the exchange (the word
# alone with -q), stderr for problems, GNU-style options.
client_cli() {
    version=$(sed -n 's/^project(pipeword VERSION \([0-9.]*\).*/\1/p' \
        "$(dirname "$0")/../../CMakeLists.txt")
    copyright=$(grep -m1 '^Copyright ' "$(dirname "$0")/../../LICENSE")

    # Combined short options and a long name cut short work as getopt_long's; the help's
    # lines fit 79 columns.
    begin_case help-and-version
    for option in -h --help -qh --he; do
        run client "$client" "$option"
        status client 0
        if ! head -1 "$work/client.out" | grep -q '^Usage: pipeword-client ' ||
            [ -s "$work/client.err" ]; then
            fail "$case_name: $option printed:"
            head -5 "$work/client.out" "$work/client.err"
        fi
    done
    if tr -d '\r' <"$work/client.out" | awk 'length > 79 { found = 1 } END { exit !found }'; then
        fail "$case_name: --help has lines longer than 79 columns"
    fi
    # GNU's form: the program, its package and version; LICENSE's copyright line; the
    # licence; no warranty.
    run client "$client" --version
    status client 0
    expect client "pipeword-client (pipeword) $version" "$copyright" \
        'License MIT <https://opensource.org/licenses/MIT>.' \
        'This is free software: you are free to change and redistribute it.' \
        'There is NO WARRANTY, to the extent permitted by law.'
    end_case

    # Refused at once in one line, the reason and then "(see --help)", never sent as a
    # request; a value out of range is refused naming the range, and an unknown short option
    # with how to send text that starts with "-".
    hint="; to send text that starts with '-', put '--' before it"
    for refusal in "unknown option '-e'$hint|-hello" "unknown option '--bogus=1'|--bogus=1" \
        '--quiet takes no value|--quiet=yes' '--wait needs a value|--wait' \
        "--no-read takes seconds up to 86400, not '86401'|--no-read=86401" \
        "option '--pa' is ambiguous: --pause-before-writing, --pause-after-piece|--pa" \
        "unknown option '-x'$hint|-qx"; do
        begin_case "refused: ${refusal#*|}"
        run client "$client" "${refusal#*|}"
        status client 2
        expect_stderr client "pipeword-client: ${refusal%%|*} (see --help)"
        expect client
        end_case
    done

    # A bare pipe name, --name=value, names cut short, and -- before a TEXT that starts with
    # "-"; with -q stdout holds the word alone, as word=$(pipeword-client -q) wants it.
    begin_case quiet-with-a-bare-name-an-equals-value-and-double-dash
    start server "$server" Stop
    run client "$client" -q --pi SamplePipe --wai=15000 -- -x
    finish server
    status server 1
    status client 0
    expect_served server -x CorvaneStop
    expect client CorvaneStop
    no_socket_left
    end_case

    # A word that cannot be written is an error, never a success: with stdout on a full disk
    # the exchange is made, then the write error ends the client with status 2.
    begin_case quiet-into-a-full-disk
    start server "$server" Stop
    redirected /dev/null /dev/full -q --wait 15000
    finish server
    status server 1
    status client 2
    expect_served server Hello CorvaneStop
    full_line="pipeword-client: write error: No space left on device"
    case $client in
    *.exe) full_line="$full_line (w/err 0x00000070)" ;;
    esac
    expect_stderr client "$full_line"
    expect client
    redirected /dev/null /dev/full --version
    status client 2
    expect_stderr client "$full_line"
    expect client
    end_case

    # "--file -" reads the request from standard input byte for byte: a CR LF pair (the unit
    # U+0A0D) and a Ctrl+Z (U+001A, shown as U+FFFD) arrive as they are, which Windows' text
    # mode would have turned into LF and an end of input.
    begin_case request-from-standard-input
    printf 'a\000\r\n\032\000b\000\000\000' >"$work/request"
    start server "$server" Stop
    redirected "$work/request" "$work/client.out" -q --file - --wait 15000
    finish server
    status server 1
    status client 0
    replacement=$(printf '\357\277\275')
    printf 'Receive 10 bytes from client: "a\340\250\215%sb"\n' "$replacement" |
        served_lines CorvaneStop >"$work/server.lines"
    expect_file server "$work/server.lines"
    expect client CorvaneStop
    end_case

    # No reply: stdout stays empty in quiet mode, the reason goes to stderr, status 1.
    begin_case quiet-without-a-reply
    start server "$server" other
    run client "$client" -q --wait 15000
    finish server
    status server 1
    status client 1
    expect_no_reply client
    expect client
    end_case

    # What the client quotes it shows safely: the ESC of an escape sequence in a pipe name as
    # U+FFFD, as the server shows requests; a path in quotes, so that an empty one shows.
    # Natively an argument that is not UTF-8 is refused rather than changed into another name.
    begin_case escaped-quoted-and-refused-arguments
    replacement=$(printf '\357\277\275')
    run client "$client" --wait 0 --pipe "$(printf 'a\033[31mred')"
    status client 2
    expect_stderr client "$(no_server_line "a${replacement}[31mred" 0)"
    expect client
    run client "$client" --file=
    status client 2
    expect_stderr client "pipeword-client: cannot open the request file '': No such file or \
directory"
    expect client
    if [ -z "$runner" ]; then
        run client "$client" --pipe "$(printf 'bad\377name')"
        status client 2
        expect_stderr client "pipeword-client: the argument 'bad${replacement}name' is not valid \
UTF-8 (U+FFFD, which stands for such bytes, counts as not valid) (see --help)"
        expect client
    fi
    end_case

    # Natively a request is one socket record: the largest that this system carries, as
    # --help states it with what sets it, goes through whole, and one byte more is refused
    # at once with that limit, before any pipe is looked for (none is there). Windows writes
    # a message of any size whole.
    if [ -z "$runner" ]; then
        begin_case largest-request-and-one-byte-more
        run client "$client" --help
        largest=$(sed -n 's/^Here a pipe message carries at most \([0-9]*\) bytes,$/\1/p' \
            "$work/client.out")
        cause=$(sed -n '/^Here a pipe message carries at most/{n;s/\.$//;p;}' "$work/client.out")
        if [ -z "$largest" ] || [ -z "$cause" ]; then
            fail "$case_name: --help states no limit of this system:"
            grep -A2 '^A request' "$work/client.out"
        fi
        run client "$client" --bytes $((largest + 1))
        status client 2
        expect_stderr client "pipeword-client: the request of $((largest + 1)) bytes is too \
large for this system: a pipe message carries at most $largest bytes here, $cause"
        expect client
        end_case
        # Under the sanitizers the server's 2,000-odd receive lines for it take much of its
        # 10 s deadline, and under load all of it. The boundary is this system's, which the
        # native build covers; a large message's use of memory the sanitizers check with
        # hostile_requests' 200,000-byte request.
        if [ -n "${EXCHANGE_SANITIZED:-}" ]; then
            skip "largest-request-goes-through (under the sanitizers the server's receive \
lines for its $largest bytes take much of its 10 s deadline; the native build covers the \
boundary)"
        else
            filler_lines "$largest" >"$work/largest.lines"
            request_case largest-request-goes-through "$work/largest.lines" --bytes "$largest"
        fi
    fi

    # No pipe within the client's wait: where it looked (natively the socket path and the
    # variable that moves it), and the code last.
    begin_case client-finds-no-pipe
    run client "$client" --wait 300 --pipe NoSuchPipe
    status client 2
    between client 300 20000
    expect_stderr client "$(no_server_line NoSuchPipe 300)"
    expect client
    end_case
}

# The README's client samples against the real server: the Python one (the Python package's
# user) natively, the C one cross-built and under Wine, the C example of libpipeword on both.
# Each prints the word alone, or one line with the outcome's Win32 code.
samples() {
    # Started before the server, which it waits for.
    client_first "sample $(basename "$client") waits for the server" Ready Ready
    expect client CorvaneStop
    no_socket_left
    end_case

    # Statuses as pipeword-client's: 1 for a pipe closed without a reply (the server's
    # unrecognised argument sends none).
    begin_case "sample $(basename "$client") gets no reply"
    start server "$server" stop
    run client "$client"
    finish server
    status client 1
    case $client in
    *pipeword_example*) expect_no_reply client "pipeword client" ;;
    *)
        # Broken pipe; the C one may also find the pipe not connected (see expect_no_reply).
        code=0x0000006d
        if [ -n "$runner" ] && ! grep -q 'error 0x0000006d' "$work/client.err"; then
            code=0x000000e9
        fi
        expect_stderr client "pipeword client: the server closed the pipe without a reply \
(error $code)"
        ;;
    esac
    expect client
    end_case

    # While another client holds the one instance (stopped, so that it outlasts the wait
    # however loaded the machine is), the sample waits out its 5 s and says the pipe is busy.
    begin_case "sample $(basename "$client") finds the pipe busy"
    start server "$server" Stop
    start holder "${SAMPLES_HOLDER:?SAMPLES_HOLDER names pipeword-client}" --wait 15000 \
        --pause-before-writing 1
    wait_for holder 'Waiting 1 s before writing'
    kill -STOP "$(recall holder pid)"
    run client "$client"
    kill -CONT "$(recall holder pid)"
    status client 2
    pipe=SamplePipe
    case $client in
    *.py) pipe="$sample_pipe$(at SamplePipe)" ;;
    esac
    busy="pipeword client: $pipe stayed busy for 5 s: its server is serving another client \
(error 0x000000e7)"
    case $client in
    *pipeword_example*) expect_stderr client "$(busy_line 5000 "pipeword client")" ;;
    *) expect_stderr client "$busy" ;;
    esac
    expect client
    between client 5000 30000
    # The holder only kept the instance: whether the server's deadline, which the sample's
    # wait has used half of, still lets it finish depends on the machine's load.
    finish holder
    finish server
    no_socket_left
    end_case

    case $client in
    *.py) ;;
    *) return ;;
    esac
    # A socket left by a killed server refuses connections too, but holds no lock: no pipe.
    begin_case python-sample-and-a-socket-left-by-a-killed-server
    start server "$server" Stop
    wait_for server "$waiting"
    kill_now server
    finish server
    run client "$client"
    status client 2
    expect_stderr client "pipeword client: no server for $sample_pipe$(at SamplePipe) within 5 \
s: its socket is left from a server that was killed (error 0x00000002)"
    expect client
    end_case

    # Importing the package does nothing else. With no server it ends at once, without a
    # word (an ask would wait its 5 s, the margin here, and say so); while a server waits,
    # it never connects: the server's one exchange is still there for the client after it.
    begin_case importing-the-python-package-does-nothing-else
    run importer python3 -c 'import pipeword, pipeword.__main__'
    status importer 0
    expect importer
    between importer 0 4999
    start server "$server" Stop
    wait_for server "$waiting"
    run importer python3 -c 'import pipeword, pipeword.__main__'
    status importer 0
    expect importer
    run client "$client"
    finish server
    status client 0
    expect client CorvaneStop
    expect_served server Hello CorvaneStop
    end_case

    if [ "$(id -u)" -ne 0 ] || ! unshare --mount true 2>/dev/null; then
        skip "the Python package's trust checks (they need root)"
        return
    fi

    # The default /tmp/.pipe, in a private /tmp: used when the server (root) made it, refused
    # at once once it belongs to another user. The outputs go out through descriptors opened
    # before /tmp is covered; stderr is not kept apart.
    begin_case python-sample-and-the-default-directory
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
    printf '%s\n' 'client 0' 'server 1' 'refused 2' >"$work/statuses.expected"
    if ! cmp -s "$work/statuses.expected" "$work/statuses"; then
        fail "$case_name: exit statuses $(cat "$work/statuses" | tr '\n' ' ')"
    fi
    : >"$work/client.err"
    expect client CorvaneStop
    : >"$work/refused.err"
    refused=$(
        unset PIPEWORD_PIPE_DIR
        package_denied_line "the default pipe directory '/tmp/.pipe' is uid 65534's, not root's"
    )
    expect refused "$refused"
    end_case

    # A server of another user in a shared directory of root's: connected, then refused.
    begin_case python-sample-refuses-an-untrusted-server
    export PIPEWORD_PIPE_DIR="$work/shared"
    mkdir -m 1777 "$PIPEWORD_PIPE_DIR"
    theirs=$(nobody_copy "$server") || exit 1
    start server as_nobody "$theirs" Stop
    run client "$client"
    status client 2
    expect_stderr client "$(package_denied_line "the server runs as uid 65534, and this client \
trusts only root, its own user and the owner of a pipe directory named in PIPEWORD_PIPE_DIR")"
    expect client
    kill "$(recall server pid)"
    finish server
    end_case
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
