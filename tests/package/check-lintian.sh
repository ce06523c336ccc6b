#!/bin/bash
# lintian on the four packages: no error and no warning. The README explains the
# informational and experimental tags that remain.
# Usage: check-lintian.sh PACKAGE_DIR
set -euo pipefail
package_dir=$1
debs=("$package_dir"/kestrin-drawerd_*.deb "$package_dir"/kestrin-drawer-web_*.deb
    "$package_dir"/kestrin-drawer_*.deb "$package_dir"/kestrin-drawer-simulator_*.deb)
for deb in "${debs[@]}"; do
    [ -f "$deb" ] || { echo "FAIL: $deb is missing"; exit 1; }
done
lintian --fail-on error,warning --display-info "${debs[@]}"
echo "lintian: no errors or warnings in ${#debs[@]} packages."
