# shellcheck shell=dash # "local": dash has it, as Debian's policy asks of every /bin/sh
# Sourced by the test scripts that run the built programs: a private pipe directory for them,
# and, when Windows executables run under Wine, a private Wine prefix (pipe names are global
# to a wineserver), so that script runs never see each other's pipes and can run at once;
# then the helpers that start, wait for and check the programs, and count the cases.
# Needs: runner (empty natively; else runs Windows executables), label (names the prefix),
#        server (a name ending in .exe: the programs print CR LF).
# Sets:  work (a private directory), PIPEWORD_PIPE_DIR, WINEPREFIX; the counts passed,
#        failures and skipped; traps that end what is still running of ours (pids) and
#        remove all this.
# Each helper keeps the variables it sets for itself local, so that none changes a variable
# of the script's. What the harness keeps of each program it started (WHO: its pid, when it
# began, its exit status and how long it ran) is kept in files of the work directory named
# after WHO; recall reads them.
# shellcheck disable=SC2034,SC2154 # set by the sourcing script, or here for it to use

work=$(mktemp -d)
prefix=""
pids=""
harness_lib=$(cd "$(dirname "$0")/../lib" && pwd)

# shellcheck source=../lib/wine.sh
. "$harness_lib/wine.sh"
# shellcheck source=../lib/root_only.sh
. "$harness_lib/root_only.sh"

harness_cleanup() {
    local pid
    # Only when a case was cut short are programs of ours still running; each one that
    # ended has been waited for and left the list, so no pid here can be reused yet.
    for pid in $pids; do
        kill -9 "$pid" 2>/dev/null
    done
    remove_wine_prefix
    rm -rf "$work"
}
trap harness_cleanup EXIT
trap 'exit 1' HUP INT TERM

mkdir "$work/pipes"
export PIPEWORD_PIPE_DIR="$work/pipes"

if [ -n "$runner" ]; then
    # The same rule as the runner's for the initialised prefix.
    here=$(cd "$(dirname "$runner")" && pwd)
    source_prefix=${WINEPREFIX:-$(default_wine_prefix "$here/.." "$server")}
    export WINEPREFIX="$source_prefix"
    if ! start_wine_prefix "$(pe_machine "$server")"; then
        echo "FAIL: no Wine prefix could be made at $source_prefix (see $source_prefix.wineboot.log)"
        exit 1
    fi
    copy_wine_prefix "$source_prefix" "$label" || exit 1
    export WINEPREFIX="$prefix"
    export WINEDEBUG=-all
    # Kept up between runs so that each wine start is quick; it ends by itself 10 s after
    # its last process should the script be killed before its clean-up.
    wineserver -p10 </dev/null >/dev/null 2>&1
    # Wine's background services, started now with standard streams that lead nowhere:
    # started by the first program, they would add seconds to its run, which may be timed.
    "$(wine_loader "$(pe_machine "$server")")" wineboot </dev/null >/dev/null 2>&1
fi

passed=0
failures=0
skipped=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# skip WHY: a case or check that cannot run here, and why.
skip() {
    echo "skipped: $*"
    skipped=$((skipped + 1))
}

now_ms() { date +%s%3N; }

# ---- Running the programs ------------------------------------------------------------------

# remember WHO WHAT VALUE: keeps VALUE as WHO's WHAT (pid, began, status or ms).
remember() {
    printf '%s\n' "$3" >"$work/$1.$2"
}

# recall WHO WHAT: prints what was kept as WHO's WHAT.
recall() {
    cat "$work/$1.$2"
}

# start WHO PROGRAM ARG...: starts PROGRAM in the background (a Windows executable under the
# runner, a .py file with python3), its output in WHO.out and WHO.err; keeps its pid and
# when it began. Each branch is one simple command, so that the pid is the program's own.
start() {
    local who="$1" program="$2"
    shift 2
    remember "$who" began "$(now_ms)"
    # Emptied now rather than by the redirections in the background job: a wait_for that
    # follows must never find what an earlier run of WHO printed.
    : >"$work/$who.out"
    : >"$work/$who.err"
    case $program in
    *.exe) "$runner" "$program" "$@" >"$work/$who.out" 2>"$work/$who.err" & ;;
    *.py) python3 "$program" "$@" >"$work/$who.out" 2>"$work/$who.err" & ;;
    *) "$program" "$@" >"$work/$who.out" 2>"$work/$who.err" & ;;
    esac
    remember "$who" pid $!
    pids="$pids $!"
}

# finish WHO: waits for WHO; keeps its exit status, and how long it ran in ms (ms).
finish() {
    local pid status
    pid=$(recall "$1" pid)
    # Quietly: the shell would report a killed program, and the status tells that.
    wait "$pid" 2>/dev/null
    status=$?
    remember "$1" ms $(($(now_ms) - $(recall "$1" began)))
    remember "$1" status "$status"
    # shellcheck disable=SC2086 # one pid a word
    pids=$(printf '%s\n' $pids | grep -vx "$pid")
}

# run WHO PROGRAM ARG...: start and finish.
run() {
    start "$@"
    finish "$1"
}

# running WHO: whether WHO has not ended yet (a child that ended but was not waited for
# still exists, as a zombie).
running() {
    local state
    state=$(sed "s/.*) //" "/proc/$(recall "$1" pid)/stat" 2>/dev/null | cut -c1)
    [ -n "$state" ] && [ "$state" != Z ]
}

# kill_now WHO: SIGKILL, as a crash or the task manager would end it.
kill_now() {
    kill -9 "$(recall "$1" pid)"
}

# starts_a_line FILE TEXT: whether a line of FILE starts with TEXT, as text (no pattern).
starts_a_line() {
    local line
    [ -f "$1" ] || return 1
    while IFS= read -r line || [ -n "$line" ]; do
        case $line in
        "$2"*) return 0 ;;
        esac
    done <"$1"
    return 1
}

# wait_for WHO TEXT [SECONDS [STREAM]]: until WHO has printed a line starting with TEXT
# (default 20 s) on STREAM: out (the default) or err.
wait_for() {
    local limit=$((${3:-20} * 20)) tries=0
    while ! starts_a_line "$work/$1.${4:-out}" "$2"; do
        tries=$((tries + 1))
        if [ "$tries" -gt "$limit" ]; then
            fail "$case_name: $1 never printed \"$2\""
            return 1
        fi
        sleep 0.05
    done
}

# nobody_copy PROGRAM: prints the path of a copy of PROGRAM that uid 65534 can run, in the
# work directory, which is opened up for it to reach.
nobody_copy() {
    local copy
    chmod 0755 "$work"
    [ -d "$work/bin" ] || mkdir -m 0755 "$work/bin"
    cp "$1" "$work/bin/"
    copy=$work/bin/$(basename "$1")
    if ! (as_nobody test -x "$copy"); then
        echo "FAIL: uid 65534 cannot run $copy" >&2
        exit 1
    fi
    printf '%s\n' "$copy"
}

# ---- Checking what they did ----------------------------------------------------------------

begin_case() {
    case_name=$1
    failures_before=$failures
    rm -f "$work"/*.out "$work"/*.err "$work"/*.expected
}

end_case() {
    if [ "$failures" -eq "$failures_before" ]; then
        echo "ok: $case_name"
        passed=$((passed + 1))
    fi
}

# platform_lines: LF-ended lines in, the lines as the programs print them out (CR LF from
# Windows executables).
platform_lines() {
    case $server in
    *.exe) sed 's/$/\r/' ;;
    *) cat ;;
    esac
}

# expect WHO LINE...: WHO's whole output must be these lines (none: no output), and nothing
# on stderr (where a sanitizer would report) unless expect_stderr said what.
expect() {
    local who="$1"
    shift
    if [ $# -gt 0 ]; then
        printf '%s\n' "$@" | platform_lines >"$work/$who.expected"
    else
        : >"$work/$who.expected"
    fi
    same "$who"
}

# expect_stderr WHO LINE...: what WHO's next expect finds on stderr.
expect_stderr() {
    local who="$1"
    shift
    printf '%s\n' "$@" | platform_lines >"$work/$who.err.expected"
}

# expect_file WHO FILE: as expect, with the lines in FILE.
expect_file() {
    platform_lines <"$2" >"$work/$1.expected"
    same "$1"
}

same() {
    if ! cmp -s "$work/$1.expected" "$work/$1.out"; then
        fail "$case_name: $1 output differs (expected <, actual >)"
        diff "$work/$1.expected" "$work/$1.out" | cut -c1-300 | head -40 | cat -v
    fi
    if [ -f "$work/$1.err.expected" ]; then
        if ! cmp -s "$work/$1.err.expected" "$work/$1.err"; then
            fail "$case_name: $1 stderr differs (expected <, actual >)"
            diff "$work/$1.err.expected" "$work/$1.err" | cut -c1-300 | head -40 | cat -v
        fi
        rm "$work/$1.err.expected"
    elif [ -s "$work/$1.err" ]; then
        fail "$case_name: $1 wrote to stderr:"
        head -40 "$work/$1.err"
    fi
}

# status WHO EXPECTED
status() {
    local actual
    actual=$(recall "$1" status)
    if [ "$actual" -ne "$2" ]; then
        fail "$case_name: $1 exit status $actual, expected $2"
    fi
}

# between WHO LOW HIGH: how long WHO ran, in ms.
between() {
    local took
    took=$(recall "$1" ms)
    if [ "$took" -lt "$2" ] || [ "$took" -gt "$3" ]; then
        fail "$case_name: $1 took $took ms, expected $2 to $3 ms"
    fi
}

# lasted_the_deadline WHO: a server that waited out its deadline, and no longer: more than
# deadline_ms after starting its worker it prints its report line, then waits at most
# final_wait_ms for the worker and ends. Timed from before its start to after its end, the
# run also holds the start and the exit of the process, which a loaded machine stretches by
# up to a margin, and in the tsan build the sanitizer's pause before the exit
# (SANITIZER_EXIT_PAUSE_MS, which tests/CMakeLists.txt sets).
deadline_ms=10000
final_wait_ms=10
# The margins: what a loaded machine adds, natively (the sanitizer builds too) and under
# Wine. Measured on a 2-core machine while other builds, the Windows stage and the native
# deadline tests ran beside (load 4 to 14): natively at most 440 ms, with AddressSanitizer
# 950 ms, with ThreadSanitizer 630 ms beyond its pause; under 64-bit Wine at most 3,290 ms,
# nearly all of it Wine's start-up (at load 4 to 5 whole runs took 230 to 530 ms more than
# the deadline). Each margin leaves room above the worst seen, and both stay below 5 s, so
# that a final wait of 5 s fails.
native_margin_ms=2000
wine_margin_ms=4500
lasted_the_deadline() {
    local margin=$native_margin_ms
    if [ -n "$runner" ]; then
        margin=$wine_margin_ms
    fi
    between "$1" "$deadline_ms" \
        $((deadline_ms + final_wait_ms + ${SANITIZER_EXIT_PAUSE_MS:-0} + margin))
}

# printed_at_once WHO TEXT [STREAM]: a failing server prints its error line (on STREAM: out,
# the default, or err) straight away, long before the deadline.
printed_at_once() {
    wait_for "$1" "$2" 5 "${3:-out}"
}

# ---- What the programs print ---------------------------------------------------------------

created='The named pipe (\\.\pipe\SamplePipe) is created.'
waiting="Waiting for the client's connection..."
connected='Client is connected.'
sample_pipe='\\.\pipe\SamplePipe'
opened="Connected to $sample_pipe"
fffd=$(printf '\357\277\275')

# bytes_of TEXT: the size of TEXT (ASCII) as UTF-16 with its NUL, as the programs send it.
bytes_of() { echo $(((${#1} + 1) * 2)); }

# served_lines WORD [REPORT]: the receive lines in, a server's whole output out for an
# exchange that it answered WORD, its report line saying REPORT (default 1).
served_lines() {
    printf '%s\n' "$created" "$waiting" "$connected"
    cat
    printf '%s\n' "Send $(bytes_of "$1") bytes to client: \"$1\"" "Server Message Send ${2:-1} "
}

# expect_served WHO TEXT WORD [REPORT]: WHO, a server, received TEXT and answered WORD.
expect_served() {
    printf 'Receive %d bytes from client: "%s"\n' "$(bytes_of "$2")" "$2" |
        served_lines "$3" "${4:-1}" >"$work/$1.lines"
    expect_file "$1" "$work/$1.lines"
}

# expect_replied WHO TEXT WORD: WHO, pipeword-client, sent TEXT and got WORD.
expect_replied() {
    expect "$1" "$opened" "Sent $(bytes_of "$2") bytes" "Reply $(bytes_of "$3") bytes: \"$3\""
}

# at NAME: where the client's diagnostics place the pipe NAME: its socket natively, nothing
# on Windows.
at() {
    if [ -z "$runner" ]; then
        printf " at '%s/%s'" "${PIPEWORD_PIPE_DIR:-/tmp/.pipe}" "$1"
    fi
}

# no_server_line NAME MS: the client's line for no pipe NAME within its wait of MS ms.
no_server_line() {
    local hint='?'
    if [ -z "$runner" ]; then
        hint=', with the same PIPEWORD_PIPE_DIR?'
    fi
    printf '%s\n' "pipeword-client: no server for \\\\.\\pipe\\$1$(at "$1") within $2 ms: is it \
running$hint (CreateFileW w/err 0x00000002)"
}

# busy_line MS [WHO]: the client's line for the one instance taken throughout its wait of MS
# ms; WHO, what the line starts with, is pipeword-client unless another client of the
# library says it (as the C example does).
busy_line() {
    printf '%s\n' "${2:-pipeword-client}: $sample_pipe$(at SamplePipe) stayed busy for $1 ms: \
its server is serving another client (WaitNamedPipeW w/err 0x00000079)"
}

# denied_line CAUSE: the client's line for a pipe that refuses it for that cause.
denied_line() {
    printf '%s\n' "pipeword-client: access to $sample_pipe$(at SamplePipe) is denied: $1 \
(CreateFileW w/err 0x00000005)"
}

# package_denied_line CAUSE: the Python package's line (its sample's, python3 -m pipeword's)
# for a pipe that refuses it for that cause.
package_denied_line() {
    printf '%s\n' "pipeword client: access to $sample_pipe$(at SamplePipe) is denied: $1 \
(error 0x00000005)"
}

# expect_no_reply WHO [PREFIX]: the stderr of WHO, a client whose server closed the pipe
# without a reply, its line starting with PREFIX (as busy_line's WHO). The disconnect finds
# the client's read either waiting (broken pipe) or still to come (not connected); both mean
# the same.
expect_no_reply() {
    local code=0x000000e9
    if grep -q 'w/err 0x0000006d' "$work/$1.err"; then
        code=0x0000006d
    fi
    expect_stderr "$1" "${2:-pipeword-client}: no reply: the server closed the pipe without \
one (ReadFile w/err $code)"
}

# no_socket_left: natively, a finished server leaves no socket in its pipe directory.
no_socket_left() {
    local directory left
    if [ -z "$runner" ]; then
        directory=${PIPEWORD_PIPE_DIR:-/tmp/.pipe}
        left=$(find "$directory" -type s 2>/dev/null)
        if [ -n "$left" ]; then
            fail "$case_name: socket left behind: $left"
            find "$directory" -type s -exec rm -f {} +
        fi
    fi
}

# name_free: nothing is left of the pipe: natively no socket file, and on both platforms a
# client finds no pipe of that name.
name_free() {
    no_socket_left
    run probe "$client" --wait 0
    status probe 2
    expect_stderr probe "$(no_server_line SamplePipe 0)"
    expect probe
}

# ---- /tmp as a freshly started machine has it ----------------------------------------------

# fresh_tmp COMMAND [ARG...]: runs COMMAND (root only) in a mount namespace of its own whose
# /tmp is a new tmpfs with what /tmp held bound back, but .pipe (cover_tmp keep): /tmp/.pipe
# is missing there, and this machine's own is never seen.
fresh_tmp() {
    # shellcheck disable=SC2016 # expanded by the inner shell
    unshare --mount sh -c '. "$1" && shift && cover_tmp keep && exec "$@"' sh \
        "$harness_lib/root_only.sh" "$@"
}

# ---- Whole exchanges -----------------------------------------------------------------------

# exchanged REPLY WORD [CLIENT_ARG...]: the server, started with REPLY ("" for none), answers
# WORD to the client's default request; both end as a whole exchange must.
exchanged() {
    local word="$2"
    start server "$server" ${1:+"$1"}
    shift 2
    run client "$client" --wait 15000 "$@"
    finish server
    status server 1
    status client 0
    expect_served server Hello "$word"
    expect_replied client Hello "$word"
}

# letters FROM COUNT: pipeword-client's filler text, code units FROM to FROM + COUNT - 1.
letters() {
    awk -v from="$1" -v count="$2" 'BEGIN {
        a = "abcdefghijklmnopqrstuvwxyz"
        for (i = from; i < from + count; i++) printf "%s", substr(a, i % 26 + 1, 1)
    }'
}

# filler_lines BYTES: the receive lines for a filler request of BYTES bytes, counted as the
# server reads it, in pieces of at most 2048 bytes; each shows its whole code units.
filler_lines() {
    awk -v total="$1" 'BEGIN {
        a = "abcdefghijklmnopqrstuvwxyz"
        for (offset = 0; offset < total; offset += piece) {
            piece = total - offset > 2048 ? 2048 : total - offset
            text = ""
            for (i = offset / 2; i < offset / 2 + int(piece / 2); i++)
                text = text substr(a, i % 26 + 1, 1)
            printf "Receive %d bytes from client: \"%s\"\n", piece, text
        }
    }'
}

# request_case NAME LINES_FILE CLIENT_ARG...: a whole exchange with "Start" as the reply,
# the request shown in the receive lines of LINES_FILE; then request_check (by default
# no_socket_left).
request_case() {
    local lines="$2" sent
    begin_case "$1"
    shift 2
    start server "$server"
    run client "$client" --wait 15000 "$@"
    finish server
    status server 1
    status client 0
    served_lines Start <"$lines" >"$work/lines.expected"
    expect_file server "$work/lines.expected"
    sent=$(sed -n 's/^Receive \([0-9]*\) .*/\1/p' "$lines" | awk '{ t += $1 } END { print t }')
    expect client "$opened" "Sent $sent bytes" 'Reply 12 bytes: "Start"'
    ${request_check:-no_socket_left}
    end_case
}
