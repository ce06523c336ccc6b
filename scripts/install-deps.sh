#!/bin/sh
# Installs the Debian packages the build, the tests or a screenshot need.
# Usage: scripts/install-deps.sh [extra package...]
# As root it runs apt-get; otherwise it prints the exact command and fails.
# No service of the packages it installs is started or enabled.
set -eu

packages="cmake make g++ pkg-config qt6-base-dev qt6-base-dev-tools qt6-svg-dev qt6-httpserver-dev qt6-websockets-dev libgl-dev libsystemd-dev fonts-liberation2 fontconfig desktop-file-utils libsqlite3-dev chromium $*"

missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done
[ -z "$missing" ] && exit 0

# With apt-get, starting and enabling none of their services.
command="$(dirname "$0")/install-quietly.sh$missing"
if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages:$missing" >&2
    echo "Install them with:  sudo apt-get update && sudo $command" >&2
    exit 1
fi
echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update
# shellcheck disable=SC2086
$command
