#!/bin/sh
# Installs what building and testing need, on Debian 12, and is quick when it is all there.
#   install-deps.sh native   compiler, CMake and GoogleTest for the Linux build
#   install-deps.sh all      also the Windows cross-toolchain, Wine, the sanitizer runtimes,
#                            clang with libFuzzer for the fuzz targets, Valgrind, and what the
#                            release packages need (dpkg-shlibdeps from dpkg-dev; unzip and
#                            man-db for their check)
set -e
want="cmake g++ libgtest-dev googletest"
if [ "${1:-all}" = all ]; then
    want="$want g++-mingw-w64-i686 wine wine32:i386 binutils-mingw-w64-i686"
    want="$want clang libclang-rt-14-dev valgrind"
    want="$want dpkg-dev unzip man-db python3"
fi
missing=""
for package in $want; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $package"
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
if [ "$(id -u)" -ne 0 ]; then
    sudo=sudo
fi
case $missing in
*:i386*) $sudo dpkg --add-architecture i386 ;;
esac
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing >/dev/null
