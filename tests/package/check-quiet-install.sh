#!/bin/bash
# install-quietly.sh installs prometheus-node-exporter (rebuilt from this
# machine's copy) on a copy-on-write view of the machine without it, with no
# network, no other process and an administrator's policy-rc.d that allows
# all, with systemd running (a stand-in systemctl records calls) and with
# none: the exporter neither runs nor is enabled (with systemd, nor after
# installing it again), and no mask, preset or policy-rc.d of it is left,
# also where an earlier run was killed just after it masked the unit.
# Usage: check-quiet-install.sh SOURCE_DIR
set -euo pipefail
source_dir=$(realpath "$1") package=prometheus-node-exporter
dpkg-query -W $package >/dev/null 2>&1 || { echo "SKIP: no $package to install"; exit 77; }
[ "${QUIET_NAMESPACE:-}" = yes ] || exec env QUIET_NAMESPACE=yes \
    unshare --mount --net --pid --fork --propagation private bash "$(realpath "$0")" "$source_dir"
. "$(dirname "$0")/common.sh"

work=$(mktemp -d) root=
stop_exporter() { # one that started all the same
    for process in /proc/[0-9]*; do
        if [ "$(readlink "$process/exe")" = "$root/usr/bin/$package" ]; then kill "${process#/proc/}"; fi
    done
}
trap 'stop_exporter; umount -R -l "$work"/* 2>/dev/null || true; rm -rf --one-file-system "$work"' EXIT
deb=$work/deb
mkdir -p "$deb/DEBIAN"
dpkg-query -L $package | tar -C / -h --no-recursion --ignore-failed-read -cf - -T - 2>/dev/null |
    tar -C "$deb" -xf -
for part in preinst postinst prerm postrm conffiles; do
    cp -p "/var/lib/dpkg/info/$package.$part" "$deb/DEBIAN/$part"
done
dpkg-query -W -f='Package: ${Package}\nVersion: ${Version}\nArchitecture: ${Architecture}
Maintainer: ${Maintainer}\nDescription: ${Description}\n' $package >"$deb/DEBIAN/control"
dpkg-deb -Znone -b "$deb" "$work/$package.deb" >/dev/null

for systemd in running absent; do
    overlay_root "$work/$systemd"
    mount -t proc proc "$root/proc"
    chroot "$root" dpkg --purge --force-depends $package >/dev/null 2>&1
    if [ $systemd = running ]; then
        mkdir -p "$root/run/systemd/system" && stand_ins systemctl
    else
        rm -f "$root/usr/bin/systemctl" "$root/bin/systemctl"
    fi
    printf '#!/bin/sh\nexit 0\n' >"$root/usr/sbin/policy-rc.d"
    cp "$work/$package.deb" "$root/tmp/"
    # The checkout, wherever it is: under the view's own /tmp, or on a
    # file system of its own that the overlay does not show.
    mkdir -p "$root$source_dir" && mount --bind -o ro "$source_dir" "$root$source_dir"
    in_root() { chroot "$root" env PATH=/stand-in:/usr/sbin:/usr/bin:/sbin:/bin "$@" >"$work/log" 2>&1; }
    # A run killed as soon as apt has run its hook, which masks the unit.
    mkdir -p "$root/stand-in"
    printf '#!/bin/sh\nfor o; do case "$o" in DPkg::Pre-Install-Pkgs::=*) echo /tmp/%s.deb | sh -c "${o#*=}" ;; esac; done\nkill -KILL $PPID\n' \
        $package >"$root/stand-in/apt-get"
    chmod 755 "$root/stand-in/apt-get"
    if { in_root "$source_dir/scripts/install-quietly.sh" "/tmp/$package.deb"; } 2>/dev/null; then
        fail "$systemd: the run was not killed"
    fi
    [ -n "$(cd "$upper" && find . -lname /dev/null)" ] || fail "$systemd: the killed run masked nothing"
    rm "$root/stand-in/apt-get"
    in_root "$source_dir/scripts/install-quietly.sh" "/tmp/$package.deb" || fail "$systemd: $(tail -3 "$work/log")"
    if [ $systemd = running ]; then in_root dpkg -i "/tmp/$package.deb" || fail "installing again fails"; fi
    in_root "$source_dir/scripts/check-no-services.sh" $package || fail "$systemd: $(cat "$work/log")"
    if grep " start \| restart " "$root/stand-in/calls" 2>/dev/null; then fail "systemctl was asked to start it"; fi
    [ "$(cat "$root/usr/sbin/policy-rc.d")" = "$(printf '#!/bin/sh\nexit 0')" ] || fail "$systemd: policy-rc.d not back"
    left=$(cd "$upper" && find . -lname /dev/null -o -name '*install-quietly*')
    [ -z "$left" ] || fail "$systemd: the install leaves $left"
    stop_exporter
done

finish "A quiet install starts and enables none of the package's services."
