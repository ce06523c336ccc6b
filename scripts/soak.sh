#!/bin/sh
# The connection logic's soak: a million random events (or the number given)
# against a drawer library that answers at random; prints the counts.
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build-soak -DCMAKE_BUILD_TYPE=Release -DKESTRIN_BUILD_TESTS=ON >/dev/null
cmake --build build-soak --parallel "$(nproc)" --target statemachine-soak
exec build-soak/tests/statemachine-soak "${1:-1000000}"
