# shellcheck shell=dash # "local": dash has it, as Debian's policy asks of every /bin/sh
# Sourced by every script that builds for or runs under Wine, and by the install step: which
# Windows builds this machine can run, the machine of each build and the Wine loader for it,
# and Wine prefixes.
#
# Two Windows builds are tested: the 32-bit one (preset windows) and the 64-bit one (preset
# windows64). 64-bit Wine runs on every x86-64 machine. 32-bit Wine is itself a 32-bit
# program, so it runs only where the kernel runs 32-bit x86 programs, and some kernels are
# built without that; there the 32-bit programs are still built and checked, but not run.

# runs_32bit_programs: whether this machine's kernel runs 32-bit x86 programs, found out by
# running one: a program that only exits, assembled and linked for i386 with binutils. When
# it does not, no_32bit_why says why in a few words. PIPEWORD_NO_32BIT=1 says it does not
# without asking the kernel, to try the other path on a machine that has both.
runs_32bit_programs() {
    local probe
    no_32bit_why=""
    if [ "${PIPEWORD_NO_32BIT:-0}" != 0 ]; then
        no_32bit_why="PIPEWORD_NO_32BIT is set"
        return 1
    fi
    case $(uname -m) in
    x86_64 | i?86) ;;
    *)
        no_32bit_why="this is no x86 machine ($(uname -m))"
        return 1
        ;;
    esac
    probe=$(mktemp -d) || {
        no_32bit_why="no temporary directory to probe it in"
        return 1
    }
    printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' \
        >"$probe/exit.s"
    if ! as --32 -o "$probe/exit.o" "$probe/exit.s" 2>"$probe/why" ||
        ! ld -m elf_i386 -o "$probe/exit" "$probe/exit.o" 2>>"$probe/why"; then
        no_32bit_why="binutils could not build the 32-bit probe: $(head -1 "$probe/why")"
    elif ! "$probe/exit" 2>"$probe/why"; then
        # A directory mounted noexec refuses every program: then the answer is not known.
        cp /bin/true "$probe/true" 2>/dev/null
        if "$probe/true" 2>/dev/null; then
            no_32bit_why="the kernel cannot run 32-bit x86 programs ($(sed -n \
                's/.*: \([^:]*\)$/\1/p' "$probe/why" | head -1))"
        else
            no_32bit_why="cannot run programs in $(dirname "$probe") to probe it"
        fi
    fi
    rm -rf "$probe"
    [ -z "$no_32bit_why" ]
}

# preset_machine PRESET: i386 or amd64, the machine of the Windows build PRESET (windows or
# windows64, or a release-* preset of either).
preset_machine() {
    case $1 in
    *windows64) echo amd64 ;;
    *) echo i386 ;;
    esac
}

# windows_build_runs PRESET: whether this machine runs the executables of the Windows build
# PRESET; sets no_32bit_why if not.
windows_build_runs() {
    [ "$(preset_machine "$1")" = amd64 ] || runs_32bit_programs
}

# pe_machine FILE: i386 or amd64, the machine type in the PE header of FILE; else unknown.
pe_machine() {
    local pe
    pe=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
    case $(od -An -tx2 -j$((${pe:-0} + 4)) -N2 "$1" 2>/dev/null | tr -d ' ') in
    014c) echo i386 ;;
    8664) echo amd64 ;;
    *) echo unknown ;;
    esac
}

# wine_loader MACHINE: the Wine program that runs MACHINE's executables. Debian's "wine"
# starts 32-bit Wine whenever wine32 is installed, even for a 64-bit program and on a
# kernel that cannot run it, so a 64-bit program goes to 64-bit Wine directly.
wine_loader() {
    if [ "$1" = amd64 ]; then
        if command -v wine64 >/dev/null 2>&1; then
            echo wine64
            return
        elif [ -x /usr/lib/wine/wine64 ]; then
            echo /usr/lib/wine/wine64
            return
        fi
    fi
    echo wine
}

# default_wine_prefix ROOT EXE: the prefix that the tests of the Windows build of EXE keep
# inside the build tree of the checkout ROOT, when the caller names none in WINEPREFIX.
default_wine_prefix() {
    case $(pe_machine "$2") in
    amd64) echo "$1/build/windows64/wineprefix" ;;
    *) echo "$1/build/windows/wineprefix" ;;
    esac
}

# start_wine_prefix MACHINE [LOG]: makes sure that the Wine prefix WINEPREFIX is made, for
# MACHINE's programs, and that its persistent server and Wine's background services
# (services.exe and the rest) run, started here with standard streams that lead nowhere.
# The first program that a new server runs would otherwise start those services itself,
# and they would inherit its standard error: then the persistent server and the services
# hold that program's output pipe open long after it has ended, and a test runner that reads
# the pipe (CTest) waits for it until its time-out. Runners that start at once take turns
# (a lock beside the prefix), so that the first does this and the others wait until it is
# done; the lock's descriptor is closed for every Wine program started here, since the
# server and the services would otherwise hold it as long as they run. Wine's messages go
# to LOG (default: WINEPREFIX.wineboot.log beside the prefix).
start_wine_prefix() {
    local wine_log
    mkdir -p "$(dirname "$WINEPREFIX")" || return 1
    wine_log=${2:-${WINEPREFIX%/}.wineboot.log}
    (
        flock 9 || exit 1
        if [ -f "$WINEPREFIX/system.reg" ]; then
            wineserver -p </dev/null >/dev/null 2>&1 9>&-
            # 2: a server of this prefix runs already, so its services were started with it.
            [ $? -eq 2 ] && exit 0
        else
            mkdir -p "$WINEPREFIX" || exit 1
            "$(wine_loader "$1")" wineboot -i </dev/null >>"$wine_log" 2>&1 9>&- || exit 1
            # The registry files appear only once that wineserver has exited and saved them;
            # the tests copy the prefix from them.
            wineserver -w 9>&-
            wineserver -p </dev/null >/dev/null 2>&1 9>&-
        fi
        "$(wine_loader "$1")" wineboot </dev/null >>"$wine_log" 2>&1 9>&-
        # Not the last command: a shell may run the last command of a subshell in the
        # subshell's own process, which would close the lock before that wineboot is done.
        wineboot_status=$?
        exit $wineboot_status
    ) 9>"${WINEPREFIX%/}.lock"
}

# copy_wine_prefix TEMPLATE LABEL: copies the initialised prefix TEMPLATE to a new
# directory beside it, named after LABEL, and sets prefix to it; pipe names are global to a
# wineserver, so scripts running at once must not share one. The registry files are
# copied, since wineserver rewrites a hard-linked file in place; drive_c is only read, so
# it is hard-linked where possible.
copy_wine_prefix() {
    prefix=$(mktemp -d "$1.$2.XXXXXX") || return 1
    cp -a "$1"/*.reg "$1/dosdevices" "$prefix"/ || return 1
    if [ -f "$1/.update-timestamp" ]; then
        cp -a "$1/.update-timestamp" "$prefix"/
    fi
    cp -al "$1/drive_c" "$prefix"/ 2>/dev/null || cp -a "$1/drive_c" "$prefix"/
}

# remove_wine_prefix: ends the wineserver of the prefix that prefix names, if any, and
# removes that prefix.
remove_wine_prefix() {
    if [ -n "$prefix" ]; then
        WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
        WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1
        rm -rf "$prefix" "$prefix.lock" "$prefix.wineboot.log"
    fi
}
