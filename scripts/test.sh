#!/bin/sh
# Builds the Debian packages, then the whole test suite with AddressSanitizer
# and UndefinedBehaviorSanitizer in a build folder of its own, and runs it
# headless, the packages' checks included.
set -eu
cd "$(dirname "$0")/.."

# dbus-daemon, busctl and systemd-analyze for the drawer service's tests;
# chromium for the web bridge's page; node-exporter and promtool for the
# drawer metrics and the alert rules.
scripts/install-deps.sh lintian dbus-daemon systemd chromium prometheus prometheus-node-exporter
# The Debian packages, built as a release would build them, into build-pkg/;
# the suite checks their contents, lintian's verdict, the packaged program
# and dpkg installing, upgrading, removing and purging them.
scripts/package.sh
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DKESTRIN_SANITIZE=ON -DKESTRIN_BUILD_TESTS=ON \
    -DKESTRIN_PACKAGE_DIR="$PWD/build-pkg" >/dev/null
cmake --build build-test --parallel "$(nproc)"

export QT_QPA_PLATFORM=offscreen
cd build-test
ctest --output-on-failure --parallel "$(nproc)" "$@"
