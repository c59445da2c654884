# Sourced by test scripts that need a Wine prefix of their own (pipe names are global to a
# wineserver, so scripts running at once must not share one).

# copy_wine_prefix TEMPLATE LABEL: copies the initialised prefix TEMPLATE to a new
# directory beside it, named after LABEL, and sets prefix to it. The registry files are
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
        rm -rf "$prefix"
    fi
}
