#!/bin/sh
# Builds the Debian packages, then the whole test suite with AddressSanitizer
# and UndefinedBehaviorSanitizer in a build folder of its own, and runs it
# headless, the packages' checks included. Then cross-builds the Windows
# program and its installers, 32-bit and 64-bit, and runs their tests under
# Wine. Arguments go to both ctest runs. Fails when any test fails.
set -eu
cd "$(dirname "$0")/.."

# dbus-daemon, busctl and systemd-analyze for the drawer service's tests;
# chromium for the web bridge's page; node-exporter and promtool for the
# drawer metrics and the alert rules; the print spooler (its daemon, its
# tools and its backends) for receipts printed through the service; the
# MinGW-w64 compilers, NSIS, and Wine (32-bit too) on an X server of its
# own for the Windows tests.
scripts/install-deps.sh lintian dbus-daemon systemd chromium prometheus prometheus-node-exporter \
    cups-daemon cups-client cups \
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 \
    binutils-mingw-w64-x86-64 nsis wine wine64 fonts-wine xvfb xauth
# The 32-bit Wine on its own: where the i386 lists cannot be had (a mirror
# mid-sync), the 32-bit tests report themselves skipped rather than the
# whole suite failing before it starts.
scripts/install-deps.sh wine32:i386 ||
    echo "test.sh: 32-bit Wine could not be installed; the 32-bit Windows tests will be skipped." >&2
# The Debian packages, built as a release would build them, into build-pkg/;
# the suite checks their contents, lintian's verdict, the packaged program
# and dpkg installing, upgrading, removing and purging them.
scripts/package.sh
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DKESTRIN_SANITIZE=ON -DKESTRIN_BUILD_TESTS=ON \
    -DKESTRIN_PACKAGE_DIR="$PWD/build-pkg" >/dev/null
cmake --build build-test --parallel "$(nproc)"

status=0
(
    export QT_QPA_PLATFORM=offscreen
    cd build-test
    ctest --output-on-failure --parallel "$(nproc)" "$@"
) || status=$?

# The Windows program: where this machine cannot run 32-bit programs (a
# kernel without IA-32 emulation), its 32-bit tests under Wine report
# themselves skipped and the 64-bit build's run in their place.
started="$(date +%s)"
scripts/package.sh --windows
echo "The Windows build and its installers took $(($(date +%s) - started)) s."
for build in build-win32 build-win64; do
    (cd "$build" && ctest --output-on-failure --parallel "$(nproc)" "$@") || status=$?
done
exit "$status"
