#!/bin/sh
# Builds the Debian package of the drawer program into build-pkg/.
# Install it with:  apt install ./build-pkg/kestrin-drawer_<version>_<arch>.deb
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh dpkg-dev
cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DKESTRIN_BUILD_TESTS=OFF >/dev/null
cmake --build build-pkg --parallel "$(nproc)"
cd build-pkg
cpack -G DEB
