#!/bin/sh
# Builds the program, the floor and the X probe, then measures the program
# against the floor on a private Xvfb display and prints one table.
# Usage: scripts/bench.sh [--quick]
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh xvfb x11-utils python3 libx11-dev libxdamage-dev libxtst-dev dbus-daemon \
    cups-daemon cups-client cups
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKESTRIN_BUILD_TESTS=OFF -DKESTRIN_BUILD_BENCH=ON >/dev/null
cmake --build build-bench --parallel "$(nproc)"
exec python3 bench/bench.py build-bench/bin "$@"
