#!/bin/sh
# Cross-builds the Windows program with MinGW-w64, tests and installer
# included:
#   build-win32/bin/   kestrin-drawer.exe, the simulated KestrinPOS_USB.dll
#                      and its control tool kestrin-drawer-sim.exe, 32-bit
#   build-win64/bin/   the same, 64-bit, for a vendor who ships a 64-bit DLL
#   build-win32/real/  kestrin-drawer.exe beside our own KestrinPOS_USB.dll,
#                      which drives real drawers (network printers, COM
#                      ports, the spooler, USB printers, HID drawers), and
#                      the setup tool kestrin-drawer-setup.exe; 32-bit
#   build-win64/real/  the same, 64-bit
#   build-win32/kestrin-drawer-<version>-win32-setup.exe (and win64)
# Run the tests under Wine with: (cd build-win32 && ctest)
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh --windows

for build in win32:i686 win64:x86_64; do
    dir="build-${build%%:*}"
    # A warning fails the build: the Windows build is kept as free of them
    # as the Linux one.
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-${build#*:}-w64-mingw32.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
        -DCMAKE_EXE_LINKER_FLAGS_RELEASE=-s -DCMAKE_SHARED_LINKER_FLAGS_RELEASE=-s \
        -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
    cmake --build "$dir" --parallel "$(nproc)"
done
