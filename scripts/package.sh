#!/bin/sh
# Builds the four Debian packages into build-pkg/:
#   kestrin-drawerd_<version>_<arch>.deb           the drawer library, the service and its tools
#   kestrin-drawer-web_<version>_<arch>.deb        the web bridge
#   kestrin-drawer_<version>_<arch>.deb            the window and the notification agent
#   kestrin-drawer-simulator_<version>_<arch>.deb  the simulated drawers and their launcher
# Install them with:
#   apt install ./build-pkg/kestrin-drawer*.deb
# or, on a till with no desktop, only kestrin-drawerd and kestrin-drawer-web.
#
# Each package is its CMake install component (packaging/packaging.cmake),
# installed into build-pkg/debian/<package>/, stripped as Debian strips, and
# given the control file in packaging/<package>.control with its library
# dependencies from dpkg-shlibdeps, its md5sums and, where there is one, its
# list of conffiles, and its maintainer scripts where it has them: the
# service's and the bridge's make their users, stop their units on remove,
# restart them on upgrade and forget them on purge. dpkg removes the
# conffiles on purge, and the menu and icon caches are updated by triggers.
#
# scripts/package.sh --windows instead builds the Windows installers, made
# with NSIS by the Windows build (scripts/build-windows.sh), into build-pkg/:
#   kestrin-drawer-<version>-win32-setup.exe   the 32-bit program
#   kestrin-drawer-<version>-win64-setup.exe   the 64-bit program
set -eu
cd "$(dirname "$0")/.."
umask 022

if [ "${1:-}" = --windows ]; then
    scripts/build-windows.sh
    mkdir -p build-pkg
    rm -f build-pkg/kestrin-drawer-*-setup.exe
    cp build-win32/kestrin-drawer-*-win32-setup.exe build-win64/kestrin-drawer-*-win64-setup.exe \
        build-pkg/
    exit 0
fi

scripts/install-deps.sh dpkg-dev

# Debian's own compiler and linker flags, hardening included, as Debian's
# tools would build the package.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags="$(dpkg-buildflags --get LDFLAGS)"

cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DKESTRIN_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_CXX_FLAGS="$cxxflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build build-pkg --parallel "$(nproc)"

VERSION="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-pkg/CMakeCache.txt)"
ARCH="$(dpkg --print-architecture)"
export VERSION ARCH
rm -rf build-pkg/debian build-pkg/*.deb
mkdir -p build-pkg/debian

# The ELF files of a staged package.
elf_files() {
    find "$1" -type f ! -path "$1/DEBIAN/*" | sort | while read -r file; do
        if readelf -h "$file" >/dev/null 2>&1; then echo "$file"; fi
    done
}

build_package() {
    package="$1"
    component="$2"
    root="build-pkg/debian/$package"
    DESTDIR="$PWD/$root" cmake --install build-pkg --component "$component" >/dev/null

    for file in $(elf_files "$root"); do
        case "$file" in
        *.so) strip --remove-section=.comment --remove-section=.note --strip-unneeded "$file" ;;
        *) strip --remove-section=.comment --remove-section=.note "$file" ;;
        esac
    done

    mkdir "$root/DEBIAN"
    # dpkg-shlibdeps reads the package names from debian/control.
    printf 'Source: kestrin-drawer\n\nPackage: %s\nArchitecture: any\n' "$package" \
        >build-pkg/debian/control
    SHLIBS="$(cd build-pkg && dpkg-shlibdeps -O $(elf_files "debian/$package") |
        sed -n 's/^shlibs:Depends=//p')"
    SIZE="$(du -sk --exclude=DEBIAN "$root" | cut -f1)"
    export SHLIBS SIZE
    awk '{ gsub(/@VERSION@/, ENVIRON["VERSION"]); gsub(/@ARCH@/, ENVIRON["ARCH"]);
           gsub(/@SIZE@/, ENVIRON["SIZE"]); gsub(/@SHLIBS@/, ENVIRON["SHLIBS"]); print }' \
        "packaging/$package.control" >"$root/DEBIAN/control"

    # Conffiles carry their own checksums in dpkg's database.
    conffiles="packaging/$package.conffiles"
    if [ -f "$conffiles" ]; then
        cp "$conffiles" "$root/DEBIAN/conffiles"
    fi
    (cd "$root" && find . -type f ! -path './DEBIAN/*' | sed 's|^\./||' | sort |
        while read -r file; do
            if ! grep -qx "/$file" DEBIAN/conffiles 2>/dev/null; then md5sum "$file"; fi
        done) >"$root/DEBIAN/md5sums"
    chmod 0644 "$root"/DEBIAN/*
    for script in postinst prerm postrm; do
        if [ -f "packaging/$package.$script" ]; then
            install -m 0755 "packaging/$package.$script" "$root/DEBIAN/$script"
        fi
    done

    dpkg-deb --root-owner-group --build "$root" "build-pkg/${package}_${VERSION}_${ARCH}.deb"
}

build_package kestrin-drawerd daemon
build_package kestrin-drawer-web web
build_package kestrin-drawer program
build_package kestrin-drawer-simulator simulator
rm build-pkg/debian/control
