# shellcheck shell=sh
# Sourced from the top of the source tree by scripts/release.sh and tests/release/check.sh:
# exports SOURCE_DATE_EPOCH, the time that goes into the release packages in place of the
# time of the build (the archives' file dates, the Windows executables' PE time stamps), so
# that the same sources give the same bytes at any time. The caller's value when it is set;
# else the time of the commit that is checked out (uncommitted changes do not move it);
# outside a git checkout (an unpacked source archive), the date of the change log's last
# entry, as Debian's package builds take it.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    if [ -e .git ]; then
        SOURCE_DATE_EPOCH=$(git log -1 --format=%ct) || {
            echo "release: no commit time from git; set SOURCE_DATE_EPOCH" >&2
            exit 1
        }
    else
        SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l packaging/debian-changelog -S Timestamp) || {
            echo "release: no date in packaging/debian-changelog; set SOURCE_DATE_EPOCH" >&2
            exit 1
        }
    fi
fi
export SOURCE_DATE_EPOCH
