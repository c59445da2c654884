#!/bin/sh
# Hostile and broken clients, rival and killed servers, odd pipe directories and access
# control, against the built executables: every console line of each program in order, and
# every exit status.
# Usage: hostile.sh GROUP SERVER CLIENT [RUNNER]
#   RUNNER runs Windows executables (cmake/wine-run.sh); each run then has a Wine prefix of
#   its own, copied from the initialised one. Natively each run has a pipe directory of its
#   own. Either way the groups can run at once.
#   Groups for both platforms:
#     requests              request sizes around the 2048-byte piece, and request contents
#                           (odd sizes, no NUL, embedded NULs, lone surrogates, control
#                           characters and line separators)
#     client-killed-early   a client killed after connecting, before writing (10 s)
#     client-killed-late    a client killed after writing, and one killed mid-reply
#     second-client         other clients while one is served
#     second-server         a second server while the first waits (10 s natively)
#     killed-server         servers killed, then a new one serving normally
#   Linux only (the program over the POSIX layer):
#     pipe-dir              a missing pipe directory, the longest one that fits, a relative
#                           one whose working directory has gone, and the programs without
#                           /proc (that one as root)
#     pipe-dir-too-long     a pipe directory too long for a socket address (10 s)
#     pipe-dir-no-parent    a pipe directory whose parent is missing (10 s)
#     pipe-dir-unwritable   a pipe directory the server may not write to (10 s; root)
#     raw-clients           a descriptor sent with the request, two messages, sockets of the
#                           wrong kind ($HOSTILE_RAW_CLIENT)
#     access                who may open the pipe (root; $HOSTILE_ADMINS_ONLY_SERVER)
#     default-dir           the default directory /tmp/.pipe made first by another user, or
#                           by nobody yet, also spelled otherwise (root; in a private /tmp;
#                           $HOSTILE_IMPOSTOR; the Python package on PYTHONPATH)
#     way-swaps             another user swapping every entry it owns on the way to the pipe
#                           directory with a look-alike of its own, in a tight loop, while
#                           root's clients ask fake servers in both for the word (root; in a
#                           private /tmp; $HOSTILE_LOOK_ALIKE, the Python package on
#                           PYTHONPATH, $HOSTILE_SWAP_TRIES tries of each client in each
#                           place, default 200)
#     closed-descriptors    the programs started with standard input and output closed
#     signals               servers ended by SIGTERM, SIGINT, SIGQUIT and SIGHUP, also the
#                           moment each of their files appears, then another user's server
#                           (root; $HOSTILE_SIGNAL_AT_FILES, $HOSTILE_SIGNAL_RUNS runs of
#                           each signal at each file, default 30)
# Exit status 0 when every case passed, 77 when the group cannot run here (not root), else 1.
# shellcheck shell=dash # "local": dash has it, as Debian's policy asks of every /bin/sh
set -u
group=$1
server=$2
client=$3
runner=${4:-}
Skipped=77
label=hostile-$group
# shellcheck source=../lib/harness.sh source-path=SCRIPTDIR
. "$(dirname "$0")/../lib/harness.sh"
# Natively every request case ends with the name free again.
if [ -z "$runner" ]; then
    request_check=name_free
fi

native_only() {
    if [ -n "$runner" ]; then
        echo "FAIL: group $group is for the Linux build only"
        exit 1
    fi
}

# needs_root WHY: skips the group when not root.
needs_root() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "skipped: $group needs root ($1)"
        exit $Skipped
    fi
}

# served_to WORD PROGRAM ARG...: the client, run as PROGRAM ARG..., gets WORD from the server
# already started, which then ends as a whole exchange of the default request must; the case
# ends with the name free.
served_to() {
    local word="$1"
    shift
    run client "$@"
    status client 0
    finish server
    status server 1
    expect_served server Hello "$word"
    name_free
    end_case
}

# ---- Requests ------------------------------------------------------------------------------

# filler_bytes COUNT FILE: the filler's first COUNT bytes.
filler_bytes() {
    local repeats
    printf 'a\000b\000c\000d\000e\000f\000g\000h\000i\000j\000k\000l\000m\000' >"$work/pattern"
    printf 'n\000o\000p\000q\000r\000s\000t\000u\000v\000w\000x\000y\000z\000' >>"$work/pattern"
    repeats=$(($1 / 52 + 1))
    while [ "$repeats" -gt 0 ]; do
        cat "$work/pattern"
        repeats=$((repeats - 1))
    done | head -c "$1" >"$2"
}

requests() {
    # Around the read size: 2049 arrives as 2048 then 1, and the 1-byte piece shows nothing
    # though the buffer still holds the first piece's text. The largest: 97 whole pieces.
    for bytes in 1 2047 2048 2049 4096 200000; do
        filler_lines "$bytes" >"$work/lines"
        request_case "request-of-$bytes-bytes" "$work/lines" --bytes "$bytes"
    done

    # No NUL anywhere, and a second piece shorter than the first: shown up to the bytes
    # read, not on into what the first piece left in the buffer.
    filler_bytes 2048 "$work/request.bin"
    printf 'X\000Y\000Z\000' >>"$work/request.bin"
    {
        printf 'Receive 2048 bytes from client: "%s"\n' "$(letters 0 1024)"
        printf 'Receive 6 bytes from client: "XYZ"\n'
    } >"$work/lines"
    request_case request-without-nul "$work/lines" --file "$work/request.bin"

    # A NUL inside each piece: each is shown up to its own NUL. The odd length leaves a lone
    # byte after the last whole code unit.
    printf 'a\000b\000c\000\000\000' >"$work/request.bin"
    filler_bytes 2048 "$work/all"
    tail -c +9 "$work/all" >>"$work/request.bin"
    printf 'Q\000\000\000R\000!' >>"$work/request.bin"
    printf 'Receive 2048 bytes from client: "abc"\nReceive 7 bytes from client: "Q"\n' \
        >"$work/lines"
    request_case request-with-embedded-nuls "$work/lines" --file "$work/request.bin"

    # Lone surrogates (high, low, a low before a high, a high at the very end) each show as
    # U+FFFD; a proper pair stays one character. The odd size leaves a byte unshown.
    printf '\000\330a\000\000\334\075\330\000\336b\000\000\336\075\330c\000\377\333\001' \
        >"$work/request.bin"
    printf 'Receive 21 bytes from client: "%sa%s%sb%s%sc%s"\n' "$fffd" "$fffd" \
        "$(printf '\360\237\230\200')" "$fffd" "$fffd" "$fffd" >"$work/lines"
    request_case request-with-lone-surrogates "$work/lines" --file "$work/request.bin"

    # A pair cut by the piece boundary: each piece holds half of it and shows U+FFFD.
    filler_bytes 2046 "$work/request.bin"
    printf '\075\330\000\336z\000\000\000' >>"$work/request.bin"
    {
        printf 'Receive 2048 bytes from client: "%s%s"\n' "$(letters 0 1023)" "$fffd"
        printf 'Receive 6 bytes from client: "%sz"\n' "$fffd"
    } >"$work/lines"
    request_case request-with-a-pair-across-pieces "$work/lines" --file "$work/request.bin"

    # Every character that can end a line for some reader shows as U+FFFD, and the request
    # stays on its one receive line: the controls U+0001 to U+001F and U+007F to U+009F, and
    # the separators U+2028 and U+2029. Their neighbours U+0020, U+007E, U+00A0, U+2027 and
    # U+202A show as themselves.
    : >"$work/request.bin"
    : >"$work/shown"
    for unit in $(seq 1 31) $(seq 127 159); do
        # shellcheck disable=SC2059 # the format is the escape for this code unit
        printf "\\$(printf '%03o' "$unit")\\000" >>"$work/request.bin"
        printf '%s' "$fffd" >>"$work/shown"
        if [ "$unit" -eq 31 ]; then
            printf ' \000~\000' >>"$work/request.bin"
            printf ' ~' >>"$work/shown"
        fi
    done
    printf '\240\000\047\040\050\040\051\040\052\040\000\000' >>"$work/request.bin"
    printf '\302\240\342\200\247%s%s\342\200\252' "$fffd" "$fffd" >>"$work/shown"
    printf 'Receive 144 bytes from client: "%s"\n' "$(cat "$work/shown")" >"$work/lines"
    request_case request-with-every-character-that-can-end-a-line "$work/lines" --file "$work/request.bin"
}

# ---- Clients that vanish -------------------------------------------------------------------

client_killed_early() {
    begin_case client-killed-after-connecting-before-writing
    start server "$server" Stop
    start client "$client" --wait 15000 --pause-before-writing 60
    wait_for client 'Waiting 60 s before writing'
    wait_for server "$connected"
    kill_now client
    finish client
    status client 137
    expect client "$opened" 'Waiting 60 s before writing'
    # The read fails as soon as the client is gone; the run still ends at its deadline.
    printed_at_once server 'ReadFile from pipe failed'
    finish server
    status server 0
    lasted_the_deadline server
    expect server "$created" "$waiting" "$connected" \
        'ReadFile from pipe failed w/err 0x0000006d' 'Server Message Send 0 '
    name_free
    end_case
}

client_killed_late() {
    # The reply waits unread in the pipe: the server stays in its flush until the client
    # goes, and then completes the exchange.
    begin_case client-killed-after-writing-before-reading
    start server "$server" Stop
    start client "$client" --wait 15000 --no-read 60
    wait_for client 'Keeping the pipe open'
    wait_for server 'Send 24 bytes'
    sleep 1
    if ! running server; then
        fail "$case_name: the server ended while the client held the reply unread"
    fi
    kill_now client
    finish client
    status client 137
    finish server
    status server 1
    expect_served server Hello CorvaneStop
    expect client "$opened" 'Sent 12 bytes' 'Keeping the pipe open for 60 s without reading'
    name_free
    end_case

    # The client reads 8 of the 32 bytes and stalls. Windows' flush waits for the whole
    # message, so the server completes only once the client is gone. The Linux layer takes a
    # message whole on the first read and hands it out in pieces from there, so the server
    # sees the reply consumed and completes at once.
    begin_case client-killed-after-reading-part-of-the-reply
    start server "$server" Continue
    start client "$client" --wait 15000 --read-size 8 --pause-after-piece 60
    wait_for client 'Read 8 bytes of the reply'
    if [ -n "$runner" ]; then
        sleep 1
        if ! running server; then
            fail "$case_name: the server ended while the client had read only part of the reply"
        fi
    else
        wait_for server 'Server Message Send' 8
    fi
    kill_now client
    finish client
    status client 137
    finish server
    status server 1
    expect_served server Hello CorvaneContinue
    expect client "$opened" 'Sent 12 bytes' \
        'Read 8 bytes of the reply, waiting 60 s before reading on'
    name_free
    end_case
}

# ---- Other clients, other servers ----------------------------------------------------------

second_client() {
    # While the first client is served (connected, not yet written), another finds the one
    # instance busy and gives up; a third keeps waiting until the server has ended. Neither
    # gets a reply, and the first exchange goes on as if they had not come. The first is held
    # stopped while the others come: on a loaded machine starting them can outlast its pause.
    begin_case second-client-while-the-first-is-served
    start server "$server" Stop
    start first "$client" --wait 15000 --pause-before-writing 3 First
    wait_for first 'Waiting 3 s before writing'
    kill -STOP "$(recall first pid)"
    wait_for server "$connected"
    start third "$client" --wait 4000 Third
    run second "$client" --wait 500 Second
    kill -CONT "$(recall first pid)"
    status second 2
    expect_stderr second "$(busy_line 500)"
    expect second
    finish first
    status first 0
    expect first "$opened" 'Waiting 3 s before writing' 'Sent 12 bytes' \
        'Reply 24 bytes: "CorvaneStop"'
    finish server
    status server 1
    expect_served server First CorvaneStop
    # The third's wait ends with the pipe gone or still unavailable: Linux waits out its
    # time (121); Wine fails the wait as the last instance closes.
    finish third
    status third 2
    tr -d '\r' <"$work/third.err" >"$work/third.lines"
    pipe='\\\\\.\\pipe\\SamplePipe( at [^ ]+)?'
    busy="$pipe stayed busy for 4000 ms: .* \\((WaitNamedPipeW|CreateFileW)"
    gone="no server for $pipe within 4000 ms: .* \\(CreateFileW"
    # Wine's wait fails with a code of its own as the last instance closes.
    closed="cannot open $pipe \\(WaitNamedPipeW"
    if [ "$(wc -l <"$work/third.lines")" -ne 1 ] || [ -s "$work/third.out" ] ||
        ! grep -Eq "^pipeword-client: ($busy|$gone|$closed) w/err 0x[0-9a-f]{8}\\)\$" \
            "$work/third.lines"; then
        fail "$case_name: the third client printed:"
        cat -v "$work/third.out" "$work/third.err"
    fi
    name_free
    end_case
}

second_server() {
    begin_case second-server-while-the-first-waits
    start first "$server" Stop
    wait_for first "$waiting"
    start second "$server" Continue
    if [ -z "$runner" ]; then
        # The name is taken: the second fails at once, and leaves the first's socket alone.
        printed_at_once second 'Unable to create named pipe'
        if [ ! -S "$PIPEWORD_PIPE_DIR/SamplePipe" ]; then
            fail "$case_name: the first server's socket file is gone"
        fi
        run client "$client" --wait 5000
        status client 0
        expect_replied client Hello CorvaneStop
        finish first
        status first 1
        expect_served first Hello CorvaneStop
        finish second
        status second 0
        lasted_the_deadline second
        expect second 'Unable to create named pipe w/err 0x000000e7' 'Server Message Send 0 '
    else
        # Wine makes a second instance of the name; clients go to the oldest first.
        wait_for second "$waiting"
        run client "$client" --wait 5000 One
        status client 0
        expect_replied client One CorvaneStop
        finish first
        status first 1
        expect_served first One CorvaneStop
        if ! running second; then
            fail "$case_name: the second server ended with the first"
        fi
        run client "$client" --wait 5000 Two
        status client 0
        expect_replied client Two CorvaneContinue
        finish second
        status second 1
        expect_served second Two CorvaneContinue
    fi
    name_free
    end_case
}

killed_server() {
    # Killed while it waits: natively its socket file stays behind, with no live server to
    # own it. A client already looking for the pipe finds none, and is served by the next
    # server once that one is up.
    begin_case server-killed-while-waiting-then-a-new-one
    start first "$server" Stop
    wait_for first "$waiting"
    kill_now first
    finish first
    status first 137
    expect first "$created" "$waiting"
    if [ -z "$runner" ] && [ ! -S "$PIPEWORD_PIPE_DIR/SamplePipe" ]; then
        fail "$case_name: the killed server left no socket file, so nothing stale is tested"
    fi
    start client "$client" --wait 15000 Again
    sleep 0.5
    run second "$server" Continue
    status second 1
    expect_served second Again CorvaneContinue
    finish client
    status client 0
    expect_replied client Again CorvaneContinue
    name_free
    end_case

    # Killed while a client is connected: the client's write fails as on a closed pipe.
    begin_case server-killed-while-serving-then-a-new-one
    start first "$server" Stop
    start client "$client" --wait 15000 --pause-before-writing 2
    wait_for first "$connected"
    kill_now first
    finish first
    status first 137
    expect first "$created" "$waiting" "$connected"
    finish client
    status client 2
    expect_stderr client "pipeword-client: the server closed the pipe before the request was \
written (WriteFile w/err 0x000000e8)"
    expect client "$opened" 'Waiting 2 s before writing'
    start second "$server"
    run client "$client" --wait 15000
    status client 0
    expect_replied client Hello Start
    finish second
    status second 1
    expect_served second Hello Start
    name_free
    end_case
}

# ---- The pipe directory (Linux) ------------------------------------------------------------

# refused_at_once WHO CAUSE PROGRAM ARG...: the server, started as PROGRAM ARG..., fails to
# create its pipe at once and says why on stderr; it is killed rather than left to wait out
# the deadline. Its output is for the caller's expect.
refused_at_once() {
    local who="$1" cause="$2"
    shift 2
    start "$who" "$@"
    printed_at_once "$who" 'Unable to create named pipe'
    printed_at_once "$who" "pipeword: $cause" err
    kill_now "$who"
    finish "$who"
    expect_stderr "$who" "pipeword: $cause"
}

# unusable_pipe_dir NAME CODE CAUSE [AS...]: the server (run by AS..., e.g. setpriv) cannot
# create its pipe: the create error line at once, the report line at the deadline, status 0,
# and on stderr the cause ("" for none).
unusable_pipe_dir() {
    local code="$2" cause="$3"
    begin_case "$1"
    shift 3
    start server "$@" "$server"
    printed_at_once server 'Unable to create named pipe'
    finish server
    status server 0
    lasted_the_deadline server
    if [ -n "$cause" ]; then
        expect_stderr server "pipeword: $cause"
    fi
    expect server "Unable to create named pipe w/err $code" 'Server Message Send 0 '
    end_case
}

# directory_of_length BYTES: a path of that many bytes in the work directory. The socket
# path is DIR/SamplePipe and must fit sun_path (108 bytes with its NUL): a directory of 96
# bytes is the longest that does.
directory_of_length() {
    local base="$work/d" padding
    padding=$(($1 - ${#base}))
    if [ "$padding" -lt 1 ]; then
        return 1
    fi
    printf '%s%s' "$base" "$(printf "%${padding}s" '' | tr ' ' x)"
}

pipe_dir() {
    native_only
    # Missing: made for its owner alone to write and for everyone to reach, whatever the
    # server's umask.
    begin_case missing-pipe-directory-is-made
    export PIPEWORD_PIPE_DIR="$work/fresh"
    umask 077
    exchanged Stop CorvaneStop
    umask 022
    mode=$(stat -c %a "$PIPEWORD_PIPE_DIR" 2>/dev/null)
    if [ "$mode" != 755 ]; then
        fail "$case_name: the pipe directory was made with mode ${mode:-none}, expected 755"
    fi
    name_free
    end_case

    begin_case longest-pipe-directory
    if directory=$(directory_of_length 96); then
        export PIPEWORD_PIPE_DIR="$directory"
        exchanged Stop CorvaneStop
        name_free
        end_case
    else
        skip "$case_name (the temporary directory's path is too long to build on)"
    fi

    # A relative pipe directory is taken against the working directory: one that has gone
    # leaves no pipe directory to use, and both programs say why, with the codes for a
    # missing directory.
    begin_case relative-pipe-directory-after-its-working-directory-went
    export PIPEWORD_PIPE_DIR=pipes
    gone="the working directory, against which the relative pipe directory 'pipes' is taken, \
no longer exists"
    refused_at_once server "$gone" in_removed_directory "$server"
    expect server 'Unable to create named pipe w/err 0x00000003'
    run client in_removed_directory "$client" --wait 0
    status client 2
    expect_stderr client "pipeword-client: no server for $sample_pipe$(at SamplePipe) within 0 \
ms: $gone (CreateFileW w/err 0x00000002)"
    expect client
    end_case

    # Without /proc no path leads to the very file that was checked: a server and a client
    # refuse with ERROR_NOT_SUPPORTED and say that /proc is needed, and a client with /proc
    # is served as ever.
    begin_case without-proc
    if [ "$(id -u)" -ne 0 ] || ! (without_proc true) 2>/dev/null; then
        skip "$case_name (needs root, to cover /proc in a mount namespace of its own)"
        return
    fi
    if [ -n "${HOSTILE_SANITIZED:-}" ]; then
        skip "$case_name (the sanitizers' runtimes need /proc themselves)"
        return
    fi
    export PIPEWORD_PIPE_DIR="$work/pipes"
    proc_less="the pipe operations need /proc mounted: they reach the files they checked \
through /proc/self/fd"
    refused_at_once server "$proc_less" without_proc "$server"
    expect server 'Unable to create named pipe w/err 0x00000032'
    no_socket_left
    start server "$server"
    wait_for server "$waiting"
    run client without_proc "$client" --wait 0
    status client 2
    expect_stderr client "pipeword-client: cannot open $sample_pipe$(at SamplePipe): $proc_less \
(CreateFileW w/err 0x00000032)"
    expect client
    served_to Start "$client" --wait 5000
}

# in_removed_directory COMMAND...: becomes COMMAND, in a working directory that has been
# removed; as a program for start and run.
in_removed_directory() {
    mkdir "$work/gone" && cd "$work/gone" && rmdir "$work/gone" && exec "$@"
}

# without_proc COMMAND...: becomes COMMAND, in a mount namespace of its own with an empty
# tmpfs over /proc (root only); as a program for start and run.
without_proc() {
    exec unshare --mount sh -c 'mount -t tmpfs none /proc && exec "$@"' sh "$@"
}

pipe_dir_too_long() {
    native_only
    if ! directory=$(directory_of_length 97); then
        directory=$work/$(printf '%120s' '' | tr ' ' x)
    fi
    export PIPEWORD_PIPE_DIR="$directory"
    unusable_pipe_dir pipe-directory-too-long-for-a-socket-address 0x000000ce ""
    if [ -e "$directory" ]; then
        fail "$case_name: the directory was made although no socket can live in it"
    fi
}

pipe_dir_no_parent() {
    native_only
    export PIPEWORD_PIPE_DIR="$work/missing/pipes"
    unusable_pipe_dir pipe-directory-without-its-parent 0x00000003 ""
}

pipe_dir_unwritable() {
    native_only
    needs_root "the server runs as another user, uid 65534"
    # Root may write anywhere: the server runs as nobody, from a copy it can reach, in a
    # directory only root may write to.
    server=$(nobody_copy "$server") || exit 1
    mkdir -m 0755 "$work/locked"
    export PIPEWORD_PIPE_DIR="$work/locked"
    unusable_pipe_dir pipe-directory-not-writable 0x00000005 \
        "this user may not make files in the pipe directory '$work/locked'" as_nobody
    if [ -n "$(ls -A "$work/locked")" ]; then
        fail "$case_name: the server left files in a directory it may not write to"
    fi
}

# ---- Raw clients (Linux) -------------------------------------------------------------------

# open_files_of PID: the files PID has open.
open_files_of() {
    local fd
    for fd in /proc/"$1"/fd/*; do
        readlink "$fd"
    done
}

raw_clients() {
    native_only
    raw=${HOSTILE_RAW_CLIENT:?HOSTILE_RAW_CLIENT names the raw test client}
    socket=$PIPEWORD_PIPE_DIR/SamplePipe
    echo "kept by the client" >"$work/marker"

    # A descriptor sent along with the request must never reach the server: it is not
    # among the server's open files while the server waits in its flush.
    for bytes in 12 4096; do
        begin_case "descriptor-sent-with-a-$bytes-byte-request"
        start server "$server"
        wait_for server "$waiting"
        start client "$raw" "$socket" descriptor "$work/marker" "$bytes" 2000
        wait_for server 'Send 12 bytes'
        open_files_of "$(recall server pid)" >"$work/open-files"
        if ! running server; then
            fail "$case_name: the server had ended before its open files were seen"
        elif grep -q "$work/marker" "$work/open-files"; then
            fail "$case_name: the server holds the client's descriptor"
        fi
        finish client
        status client 0
        finish server
        status server 1
        filler_lines "$bytes" | served_lines Start >"$work/lines.expected"
        expect_file server "$work/lines.expected"
        expect client Connected "Sent $bytes bytes with a descriptor" 'Reply 12 bytes: "Start"'
        name_free
        end_case
    done

    # One request is one message: a second message is neither read nor shown.
    begin_case second-message-is-not-read
    start server "$server" Stop
    wait_for server "$waiting"
    run client "$raw" "$socket" two-messages
    finish server
    status server 1
    status client 0
    expect_served server First CorvaneStop
    expect client Connected 'Sent 12 and 14 bytes' 'Reply 24 bytes: "CorvaneStop"'
    name_free
    end_case

    # A socket of the wrong kind is turned away by the kernel; the server never sees it.
    begin_case sockets-of-the-wrong-kind
    start server "$server"
    wait_for server "$waiting"
    for kind in stream datagram; do
        run raw "$raw" "$socket" "$kind"
        status raw 0
        if ! grep -q "^A $kind socket is refused: " "$work/raw.out"; then
            fail "$case_name: $(cat "$work/raw.out")"
        fi
    done
    served_to Start "$client" --wait 5000
}

# ---- Access control (Linux, root) ----------------------------------------------------------

# nobody_served WHO WORD: another user's client gets WORD from WHO, a server that then ends
# with status 1.
nobody_served() {
    run client as_nobody "$nobody_client" --wait 5000
    status client 0
    expect_replied client Hello "$2"
    finish "$1"
    status "$1" 1
}

# serve_with_mode MODE PROGRAM ARG...: PROGRAM, started as the server, waits with a socket of
# that mode.
serve_with_mode() {
    local mode="$1" made
    shift
    start server "$@"
    wait_for server "$waiting"
    made=$(stat -c %a "$PIPEWORD_PIPE_DIR/SamplePipe")
    if [ "$made" != "$mode" ]; then
        fail "$case_name: the socket has mode $made, expected $mode"
    fi
}

access() {
    native_only
    needs_root "clients run as another user, uid 65534"
    admins_only=${HOSTILE_ADMINS_ONLY_SERVER:?HOSTILE_ADMINS_ONLY_SERVER names the test server}
    # Everything the other user touches must be reachable by it: the work directory, copies
    # of the client, and a pipe directory that the server makes (mode 755).
    rmdir "$work/pipes"
    nobody_client=$(nobody_copy "$client") || exit 1

    # The program's descriptor lets any authenticated user read and write: the socket is
    # open to all, and another user's client gets its word.
    begin_case another-user-is-admitted
    serve_with_mode 666 "$server" Stop
    nobody_served server CorvaneStop
    expect_served server Hello CorvaneStop
    name_free
    end_case

    # A descriptor that grants Administrators alone: another user is refused at once with
    # access denied, nothing is exchanged, and the server waits on for an admitted client.
    begin_case another-user-is-refused-by-an-administrators-only-pipe
    serve_with_mode 600 "$admins_only"
    run refused as_nobody "$nobody_client" --wait 5000
    status refused 2
    between refused 0 4000
    expect_stderr refused "$(denied_line "the pipe's security does not admit this user: its \
socket is uid 0's, mode 600")"
    expect refused
    sleep 0.5
    if ! running server; then
        fail "$case_name: the server ended after the refused client"
    fi
    expect server "$created" "$waiting"
    run client "$client" --wait 5000 Root
    status client 0
    expect_replied client Root Start
    finish server
    status server 1
    expect server "$created" "$waiting" "$connected" 'Receive 10 bytes from client: "Root"' \
        'Send 12 bytes to client: "Start"'
    name_free
    end_case
}

# ---- The default pipe directory (Linux, root) ----------------------------------------------

# nobody_cannot_make_default: another user's server, finding the default directory missing
# (however PIPEWORD_PIPE_DIR spells it), fails as a path not found, says why, and leaves it
# missing: only root's server makes it.
nobody_cannot_make_default() {
    refused_at_once theirs "$missing" as_nobody "$nobody_server"
    expect theirs 'Unable to create named pipe w/err 0x00000003'
    if [ -e "$shared" ]; then
        fail "$case_name: another user's server made $shared (PIPEWORD_PIPE_DIR ${PIPEWORD_PIPE_DIR-unset})"
    fi
}

# in_private_tmp: runs the group once more, in a mount namespace of its own with an empty
# tmpfs on /tmp, and ends with its status; returns in that run. /tmp/.pipe is made and taken
# there as on a freshly started machine, and the real one is never seen.
in_private_tmp() {
    if [ -z "${HOSTILE_PRIVATE_TMP:-}" ]; then
        harness_cleanup
        trap - EXIT
        HOSTILE_PRIVATE_TMP=1
        export HOSTILE_PRIVATE_TMP
        fresh_tmp sh "$0" "$group" "$server" "$client"
        exit
    fi
}

default_dir() {
    native_only
    needs_root "the other user is uid 65534, and /tmp is mounted afresh"
    in_private_tmp
    impostor=${HOSTILE_IMPOSTOR:?HOSTILE_IMPOSTOR names a server of a plain socket}
    unset PIPEWORD_PIPE_DIR
    shared=/tmp/.pipe
    nobody_server=$(nobody_copy "$server") || exit 1
    nobody_client=$(nobody_copy "$client") || exit 1
    nobody_impostor=$(nobody_copy "$impostor") || exit 1
    # Why each program refuses, on stderr: the server's cause line, the client's line.
    missing="the default pipe directory '$shared' does not exist: only root's server or the \
Debian package's tmpfiles.d entry makes it; PIPEWORD_PIPE_DIR names another"
    foreign="the default pipe directory '$shared' is uid 65534's, not root's"

    # Whoever runs first does not get to own the shared directory: only root's server
    # makes it, and nobody else may then remove or replace what others have in it. Until
    # then a client waits for a server and says why none can be there.
    begin_case default-directory-is-made-by-root-alone
    run client "$client" --wait 0
    status client 2
    expect_stderr client "pipeword-client: no server for $sample_pipe$(at SamplePipe) within 0 \
ms: $missing (CreateFileW w/err 0x00000002)"
    expect client
    nobody_cannot_make_default
    start server "$server" Stop
    wait_for server "$waiting"
    if (as_nobody rm -f "$shared/SamplePipe") 2>/dev/null || [ ! -S "$shared/SamplePipe" ]; then
        fail "$case_name: another user removed root's socket"
    fi
    nobody_served server CorvaneStop
    expect_served server Hello CorvaneStop
    made=$(stat -c '%u %a' "$shared")
    if [ "$made" != "0 1777" ]; then
        fail "$case_name: $shared has owner and mode $made, expected 0 1777"
    fi
    start theirs as_nobody "$nobody_server" Continue
    nobody_served theirs CorvaneContinue
    name_free
    end_case

    # Another user made it first and listens in it: root's server will not use it, and
    # root's client does not even connect, let alone take the word.
    begin_case default-directory-made-first-by-another-user
    rm -rf "$shared"
    (as_nobody mkdir -m 0755 "$shared")
    start impostor as_nobody "$nobody_impostor" Continue
    wait_for impostor "$waiting"
    # However it is spelled, it is the default directory, and neither program trusts it, nor
    # does the Python package.
    for spelling in unset //tmp/.pipe /tmp//.pipe /tmp/./.pipe /tmp/.pipe; do
        if [ "$spelling" = unset ]; then
            unset PIPEWORD_PIPE_DIR
        else
            export PIPEWORD_PIPE_DIR="$spelling"
        fi
        run client "$client" --wait 0
        status client 2
        expect_stderr client "$(denied_line "$foreign")"
        expect client
        refused_at_once server "$foreign" "$server" Stop
        expect server 'Unable to create named pipe w/err 0x00000005'
        run python python3 -m pipeword --wait 0
        status python 2
        expect_stderr python "$(package_denied_line "$foreign")"
        expect python
    done
    unset PIPEWORD_PIPE_DIR
    if ! running impostor; then
        fail "$case_name: the impostor was reached"
    fi
    kill_now impostor
    finish impostor
    expect impostor "$created" "$waiting"
    # Missing, spelled otherwise, it is made by root alone, as the default.
    rm -rf "$shared"
    export PIPEWORD_PIPE_DIR=/tmp//.pipe
    nobody_cannot_make_default
    unset PIPEWORD_PIPE_DIR
    # The remedy: an administrator makes the directory.
    rm -rf "$shared"
    install -d -m 1777 -o root -g root "$shared"
    exchanged Stop CorvaneStop
    name_free
    end_case
}

# ---- Closed standard descriptors (Linux) ---------------------------------------------------

closed_descriptors() {
    native_only
    # shellcheck disable=SC2016 # for the inner shell to expand
    closed='exec "$0" "$@" <&- >&-'
    # The first file the server opens would otherwise take descriptor 0 and the next 1, its
    # standard output: the console lines, the word among them, would land in that file.
    begin_case server-started-with-standard-input-and-output-closed
    start server sh -c "$closed" "$server" Stop
    start client "$client" --wait 15000 --pause-before-writing 1
    wait_for client 'Waiting 1 s before writing'
    descriptors=/proc/$(recall server pid)/fd
    standard=$(readlink "$descriptors/0" "$descriptors/1" | sort -u)
    if [ "$standard" != /dev/null ]; then
        fail "$case_name: the server's descriptors 0 and 1 are $(echo "$standard" | tr '\n' ' ')"
    fi
    if [ -s "$PIPEWORD_PIPE_DIR/SamplePipe.lock" ]; then
        fail "$case_name: the lock file holds: $(cat -v "$PIPEWORD_PIPE_DIR/SamplePipe.lock")"
    fi
    finish client
    status client 0
    expect client "$opened" 'Waiting 1 s before writing' 'Sent 12 bytes' \
        'Reply 24 bytes: "CorvaneStop"'
    finish server
    status server 1
    name_free
    end_case

    # A client's socket in place of its standard output would carry its own console line as
    # the request.
    begin_case client-started-with-standard-input-and-output-closed
    start server "$server" Stop
    served_to CorvaneStop sh -c "$closed" "$client" --wait 15000
}

# ---- Signals (Linux, root) -----------------------------------------------------------------

# ended_by SIGNAL STATUS: root's server, sent SIGNAL while it waits, ends with STATUS and
# leaves nothing in the pipe directory; then another user's server takes the name. The
# server starts with the signal's default disposition, as from a launcher (a shell's
# background job would otherwise ignore SIGINT and SIGQUIT).
ended_by() {
    local left
    start server env --default-signal="$1" "$server" Stop
    wait_for server "$waiting"
    kill -s "$1" "$(recall server pid)"
    finish server
    status server "$2"
    expect server "$created" "$waiting"
    left=$(ls -A "$PIPEWORD_PIPE_DIR")
    if [ -n "$left" ]; then
        fail "$case_name: SIG$1 left $left"
    fi
    start theirs as_nobody "$nobody_server" Continue
    nobody_served theirs CorvaneContinue
}

signals() {
    native_only
    needs_root "the next server runs as another user, uid 65534"
    # A shared directory, root's, where any user may serve once a name is free.
    chmod 1777 "$PIPEWORD_PIPE_DIR"
    nobody_server=$(nobody_copy "$server") || exit 1
    nobody_client=$(nobody_copy "$client") || exit 1
    # shellcheck disable=SC3045 # dash has it too
    ulimit -c 0 # SIGQUIT's default action dumps core

    begin_case server-ended-by-SIGTERM-SIGINT-or-SIGQUIT
    ended_by TERM 143
    ended_by INT 130
    ended_by QUIT 131
    end_case

    # Under nohup SIGHUP stays ignored, and the server serves on.
    begin_case server-ended-by-SIGHUP-unless-started-ignoring-it
    ended_by HUP 129
    start server env --ignore-signal=HUP "$server" Stop
    wait_for server "$waiting"
    kill -s HUP "$(recall server pid)"
    served_to CorvaneStop "$client" --wait 5000

    # Each signal sent the moment the lock file appears (before the server's handlers would
    # be there were they installed late) and the moment the socket file appears (while
    # another thread may be handling it): every run ends by the signal and leaves nothing.
    begin_case a-signal-the-moment-a-file-appears-leaves-nothing
    signal_at=${HOSTILE_SIGNAL_AT_FILES:?HOSTILE_SIGNAL_AT_FILES names the signalling helper}
    for file in SamplePipe.lock SamplePipe; do
        for signal in 1 2 3 15; do
            if ! "$signal_at" "$server" "$PIPEWORD_PIPE_DIR" "$signal" "$file" \
                "${HOSTILE_SIGNAL_RUNS:-30}" \
                >"$work/signalled.out"; then
                fail "$case_name: signal $signal at $file:"
                head -20 "$work/signalled.out"
            fi
        done
    done
    start theirs as_nobody "$nobody_server" Continue
    nobody_served theirs CorvaneContinue
    name_free
    end_case
}

# ---- Swaps on the way (Linux) ---------------------------------------------------------------

# refused_every_try LINE CLIENT ARG...: the client, run $swap_tries times while the swaps go
# on, is refused every time with LINE on stderr, status 2 and no word. A try is one program
# run and nothing else, so that the swaps meet as many of its steps as they can.
refused_every_try() {
    local line=$1 try=0 outcomes expected
    shift
    : >"$work/client.out"
    : >"$work/client.err"
    while [ "$try" -lt "$swap_tries" ]; do
        "$@" >>"$work/client.out" 2>>"$work/client.err"
        echo "$?" >>"$work/client.statuses"
        try=$((try + 1))
    done
    outcomes=$(sort "$work/client.statuses" "$work/client.err" "$work/client.out" | uniq -c)
    rm "$work/client.statuses"
    expected=$(printf '%s\n' 2 "$line" | sort | uniq | sed "s/^/$swap_tries /")
    if [ "$(printf "%s\n" "$outcomes" | sed "s/^ *//")" != "$expected" ]; then
        fail "$case_name: of $swap_tries tries, expected only status 2 and '$line'; got:"
        printf "%s\n" "$outcomes" | head -20
    fi
}

# python_refused_every_try CAUSE: the Python package's ask, $swap_tries times in one
# interpreter while the swaps go on, is refused every time, for CAUSE.
python_refused_every_try() {
    python3 - "$swap_tries" "$1" >"$work/python.out" 2>&1 <<'EOF'
import sys
import pipeword
tries, cause = int(sys.argv[1]), sys.argv[2]
for attempt in range(tries):
    try:
        word = pipeword.ask("Hi", wait=0)
        print(f"try {attempt} took the word {word!r}")
        break
    except pipeword.AccessDeniedError as refusal:
        if refusal.cause != cause or refusal.code != 5:
            print(f"try {attempt} refused for another reason: {refusal}")
            break
EOF
    if [ -s "$work/python.out" ]; then
        fail "$case_name: the Python package: $(cat "$work/python.out")"
    fi
}

way_swaps() {
    native_only
    needs_root "the other user is uid 65534, and /tmp is mounted afresh"
    in_private_tmp
    look_alike=$(nobody_copy "${HOSTILE_LOOK_ALIKE:?HOSTILE_LOOK_ALIKE names the look-alike}") ||
        exit 1
    swap_tries=${HOSTILE_SWAP_TRIES:-200}
    unset PIPEWORD_PIPE_DIR
    # Everything uid 65534 owns on each way has a look-alike of its own beside it: the
    # default directory, which it made before root's server ever ran; and /tmp/d, the parent
    # of root's shared directory pipes, with which it may rename what it likes, even root's
    # pipes and its look-alike, which root's earlier servers made there. In each of them a
    # fake server answers "Fake" to anyone who asks. Seen at any single moment, every way is
    # refused; only a decision taken on one look and acted on after another could take the
    # word.
    (as_nobody mkdir -m 0755 /tmp/.pipe /tmp/.pipe-alike /tmp/d /tmp/d-alike)
    mkdir -m 1777 /tmp/d/pipes /tmp/d/pipes-alike /tmp/d-alike/pipes /tmp/d-alike/pipes-alike
    start fakes as_nobody "$look_alike" serve /tmp/.pipe/SamplePipe /tmp/.pipe-alike/SamplePipe \
        /tmp/d/pipes/SamplePipe /tmp/d/pipes-alike/SamplePipe /tmp/d-alike/pipes/SamplePipe \
        /tmp/d-alike/pipes-alike/SamplePipe
    wait_for fakes ready
    start swaps as_nobody "$look_alike" swap /tmp/.pipe /tmp/.pipe-alike /tmp/d /tmp/d-alike \
        /tmp/d/pipes /tmp/d/pipes-alike /tmp/d-alike/pipes /tmp/d-alike/pipes-alike
    wait_for swaps ready

    begin_case default-directory-swapped-with-a-look-alike
    foreign="the default pipe directory '/tmp/.pipe' is uid 65534's, not root's"
    refused_every_try "$(denied_line "$foreign")" "$client" --wait 0
    python_refused_every_try "$foreign"
    end_case

    begin_case named-directory-and-its-parent-swapped-with-look-alikes
    export PIPEWORD_PIPE_DIR=/tmp/d/pipes
    changed="the way to the pipe directory runs through '/tmp/d', which uid 65534 can change"
    refused_every_try "$(denied_line "$changed")" "$client" --wait 0
    python_refused_every_try "$changed"
    unset PIPEWORD_PIPE_DIR
    end_case

    for who in fakes swaps; do
        if ! running "$who"; then
            fail "look-alike $who ended early: $(cat "$work/$who.err")"
        fi
        kill_now "$who"
        finish "$who"
    done
}

case $group in
requests) requests ;;
client-killed-early) client_killed_early ;;
client-killed-late) client_killed_late ;;
second-client) second_client ;;
second-server) second_server ;;
killed-server) killed_server ;;
pipe-dir) pipe_dir ;;
pipe-dir-too-long) pipe_dir_too_long ;;
pipe-dir-no-parent) pipe_dir_no_parent ;;
pipe-dir-unwritable) pipe_dir_unwritable ;;
raw-clients) raw_clients ;;
access) access ;;
default-dir) default_dir ;;
way-swaps) way_swaps ;;
closed-descriptors) closed_descriptors ;;
signals) signals ;;
*)
    echo "unknown group $group"
    exit 2
    ;;
esac
[ "$failures" -eq 0 ]
