# Sourced by test scripts that need /tmp as a freshly started machine has it.

# fresh_tmp COMMAND [ARG...]: runs COMMAND (root only) in a mount namespace of its own where
# /tmp is a new, empty tmpfs of mode 1777, so that /tmp/.pipe is missing there and this
# machine's own is never seen. What /tmp held stays at hand under the same paths (a checkout
# or a work folder under /tmp): each entry but .pipe is bind-mounted back, reached through
# the old /tmp as the working directory of the shell that covers it (and named as it is, not
# canonicalised, which would lead to the new /tmp).
fresh_tmp() {
    unshare --mount sh -c '
        cd /tmp && mount -t tmpfs -o mode=1777 tmpfs /tmp || exit 1
        for entry in * .[!.]* ..?*; do
            if [ "$entry" = .pipe ] || [ -L "$entry" ]; then
                continue
            elif [ -d "$entry" ]; then
                mkdir "/tmp/$entry" && mount --no-canonicalize --bind "$entry" "/tmp/$entry" || exit 1
            elif [ -f "$entry" ]; then
                : >"/tmp/$entry" && mount --no-canonicalize --bind "$entry" "/tmp/$entry" || exit 1
            fi
        done
        cd / && exec "$@"
    ' sh "$@"
}
