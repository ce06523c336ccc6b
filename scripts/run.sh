#!/bin/sh
# Builds the drawer program and starts it on the simulated drawer bank.
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIN_BUILD_TESTS=OFF >/dev/null
cmake --build build --parallel "$(nproc)"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "run.sh: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); start it from a desktop session or under Xvfb." >&2
    exit 1
fi

echo "Drive the simulated drawers from another terminal with: build/bin/kestrin-drawer-sim status"
exec build/bin/kestrin-drawer "$@"
