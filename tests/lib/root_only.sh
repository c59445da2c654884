# shellcheck shell=dash # "local": dash has it, as Debian's policy asks of every /bin/sh
# Sourced by the test harness, and by the shells that tests start in a mount namespace of
# their own, so it only defines functions: what only root may do, become another user and
# cover /tmp with one of the namespace's own.

# as_nobody COMMAND...: becomes COMMAND, run as uid and gid 65534 without supplementary
# groups; as a program for start and run, or in a subshell: ( as_nobody ... ).
as_nobody() {
    exec setpriv --reuid 65534 --regid 65534 --clear-groups "$@"
}

# cover_tmp empty|keep: puts a new, empty tmpfs of mode 1777 over /tmp (root only, in a mount
# namespace of the caller's own: unshare --mount), so that /tmp/.pipe is missing there and
# this machine's own is never seen.
#   empty  /tmp stays empty, as a package's postinst finds it on a machine just started.
#          The working directory stays where it was: a folder of the old /tmp stays at hand
#          through it.
#   keep   what /tmp held stays at hand under the same paths (a checkout or a work folder
#          under /tmp): each entry but .pipe is bind-mounted back, reached through the old
#          /tmp as the working directory (and named as it is, not canonicalised, which would
#          lead to the new /tmp). The working directory is / afterwards.
cover_tmp() {
    local entry
    case $1 in
    empty)
        mount -t tmpfs -o mode=1777 tmpfs /tmp
        return
        ;;
    keep) ;;
    *)
        echo "cover_tmp: empty or keep, not $1" >&2
        return 2
        ;;
    esac
    cd /tmp && mount -t tmpfs -o mode=1777 tmpfs /tmp || return 1
    for entry in * .[!.]* ..?*; do
        # Other programs come and go in /tmp: an entry that went between the listing and its
        # mount is not needed here (one made again at once is tried once more).
        if [ "$entry" != .pipe ] && ! bind_back "$entry" && ! bind_back "$entry" &&
            [ -e "$entry" ]; then
            echo "cover_tmp: /tmp/$entry cannot be bound back" >&2
            return 1
        fi
    done
    cd /
}

# bind_back ENTRY: the entry ENTRY of the old /tmp (the working directory) back under the
# new one; nothing to do for a link or an entry that is gone.
bind_back() {
    if [ -L "$1" ]; then
        return 0
    elif [ -d "$1" ]; then
        mkdir -p "/tmp/$1" || return 1
    elif [ -f "$1" ]; then
        : >"/tmp/$1" || return 1
    else
        return 0
    fi
    mount --no-canonicalize --bind "$1" "/tmp/$1" 2>/dev/null
}
