#!/bin/sh
# Builds the drawer program and starts it on the simulated drawer bank.
# With --real it starts the same program on the Linux drawer library
# instead, from build/real/, a folder of its own: build/bin/ keeps the
# simulated library, so running without --real goes back to the simulator.
set -eu
cd "$(dirname "$0")/.."

real=no
if [ "${1:-}" = "--real" ]; then
    real=yes
    shift
fi

# Checked first: the build takes a minute.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "run.sh: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); start it from a desktop session or under Xvfb." >&2
    exit 1
fi

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIN_BUILD_TESTS=OFF >/dev/null
cmake --build build --parallel "$(nproc)"

if [ "$real" = yes ]; then
    echo "Real drawers, as ${KESTRIN_DRAWERS_CONF:-/etc/kestrin-drawer/drawers.conf} describes them; build/bin/kestrin-drawer-setup writes its sections."
    echo "scripts/run.sh without --real goes back to the simulated drawers."
    exec build/real/kestrin-drawer "$@"
fi
echo "Drive the simulated drawers from another terminal with: build/bin/kestrin-drawer-sim status"
exec build/bin/kestrin-drawer "$@"
