#!/bin/sh
# Installs the Debian packages the build, the tests or a screenshot need.
# Usage: scripts/install-deps.sh [--windows] [extra package...]
#   --windows: what the Windows cross-build needs instead of the Linux one.
# A package named NAME:i386 enables the i386 architecture first.
# As root it runs apt-get; otherwise it prints the exact commands and fails.
# No service of the packages it installs is started or enabled.
set -eu

if [ "${1:-}" = --windows ]; then
    shift
    # g++ builds fake-printer, which plays the printers our Windows drawer
    # library is tested against under Wine.
    packages="cmake make g++ g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 nsis $*"
else
    packages="cmake make g++ pkg-config qt6-base-dev qt6-base-dev-tools qt6-svg-dev qt6-httpserver-dev qt6-websockets-dev libgl-dev libsystemd-dev fonts-liberation2 fontconfig desktop-file-utils libsqlite3-dev chromium $*"
fi

missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done
[ -z "$missing" ] && exit 0

add_i386=""
case "$missing" in
*:i386*)
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        add_i386="dpkg --add-architecture i386"
    fi
    ;;
esac
# With apt-get, starting and enabling none of their services.
command="$(dirname "$0")/install-quietly.sh$missing"
if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages:$missing" >&2
    echo "Install them with:  ${add_i386:+sudo $add_i386 && }sudo apt-get update && sudo $command" >&2
    exit 1
fi
echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
$add_i386
# A mirror caught mid-sync fails one index now and then; try again, then go
# on with the lists apt has: the install below fails if they lack a package.
tries=0
until apt-get update; do
    tries=$((tries + 1))
    if [ "$tries" -ge 3 ]; then
        echo "install-deps.sh: apt-get update failed $tries times; installing from the package lists at hand." >&2
        break
    fi
    sleep 10
done
# shellcheck disable=SC2086
$command
