#!/bin/sh
# Builds the whole test suite with AddressSanitizer and UndefinedBehaviorSanitizer
# in a build folder of its own and runs it headless.
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DKESTRIN_SANITIZE=ON -DKESTRIN_BUILD_TESTS=ON >/dev/null
cmake --build build-test --parallel "$(nproc)"

export QT_QPA_PLATFORM=offscreen
cd build-test
ctest --output-on-failure --parallel "$(nproc)" "$@"
