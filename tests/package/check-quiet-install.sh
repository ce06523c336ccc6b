#!/bin/bash
# scripts/install-quietly.sh installs a package of a daemon, with a unit
# that systemd would enable and an init script, as Debian's tools make
# them, on a copy-on-write view of this machine whose administrator's
# policy-rc.d allows everything: with systemd running (a stand-in systemctl
# records the calls) and with no systemd at all. The daemon neither runs
# nor is enabled, and with systemd not after the package is installed again
# either; the install leaves no mask, preset or policy-rc.d of its own.
# Usage: check-quiet-install.sh SOURCE_DIR
set -euo pipefail
source_dir=$(realpath "$1")
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root, for a mount namespace"; exit 77; }
[ "${QUIET_NAMESPACE:-}" = yes ] || exec env QUIET_NAMESPACE=yes \
    unshare --mount --propagation private bash "$(realpath "$0")" "$source_dir"
. "$(dirname "$0")/common.sh"

work=$(mktemp -d)
# A daemon that started all the same, in the view in $root.
stop_daemon() {
    for process in /proc/[0-9]*; do
        if [ "$(readlink "$process/exe")" = "$root/usr/sbin/$name" ]; then kill "${process#/proc/}"; fi
    done
}
trap 'stop_daemon; umount -R -l "$work"/* 2>/dev/null || true; rm -rf --one-file-system "$work"' EXIT

# The daemon's package. Its postinst is what debhelper writes for a unit
# and an init script.
name=kestrin-test-daemon
deb=$work/package
mkdir -p "$deb/DEBIAN" "$deb/lib/systemd/system" "$deb/etc/init.d" "$deb/usr/sbin"
cp /usr/bin/sleep "$deb/usr/sbin/$name"
printf '[Service]\nExecStart=/usr/sbin/%s 600\n[Install]\nWantedBy=multi-user.target\n' $name \
    >"$deb/lib/systemd/system/$name.service"
cat >"$deb/etc/init.d/$name" <<EOF
#!/bin/sh
### BEGIN INIT INFO
# Provides: $name
# Required-Start: \$remote_fs
# Required-Stop: \$remote_fs
# Default-Start: 2 3 4 5
# Default-Stop: 0 1 6
# Short-Description: a daemon
### END INIT INFO
case "\$1" in start|restart) /usr/sbin/$name 600 </dev/null >/dev/null 2>&1 & ;; esac
EOF
cat >"$deb/DEBIAN/postinst" <<EOF
#!/bin/sh
set -e
[ -n "\$2" ] && action=restart || action=start
if [ -x /etc/init.d/$name ]; then
    update-rc.d $name defaults >/dev/null
    invoke-rc.d --skip-systemd-native $name \$action || exit 1
fi
if deb-systemd-helper --quiet was-enabled $name.service; then
    deb-systemd-helper enable $name.service >/dev/null || true
else
    deb-systemd-helper update-state $name.service >/dev/null || true
fi
if [ -d /run/systemd/system ]; then
    systemctl --system daemon-reload >/dev/null || true
    deb-systemd-invoke \$action $name.service >/dev/null || true
fi
EOF
chmod 755 "$deb/etc/init.d/$name" "$deb/usr/sbin/$name" "$deb/DEBIAN/postinst"
printf 'Package: %s\nVersion: 1\nArchitecture: all\nMaintainer: x <x@x.invalid>\nDescription: x\n x\n' \
    $name >"$deb/DEBIAN/control"
dpkg-deb --root-owner-group -b "$deb" "$work/$name.deb" >/dev/null

root=
for systemd in running absent; do
    overlay_root "$work/$systemd"
    mount -t proc proc "$root/proc"
    if [ $systemd = running ]; then
        mkdir -p "$root/run/systemd/system"
        stand_ins systemctl
    else
        rm -f "$root/usr/bin/systemctl" "$root/bin/systemctl"
    fi
    printf '#!/bin/sh\nexit 0\n' >"$root/usr/sbin/policy-rc.d"
    chmod 755 "$root/usr/sbin/policy-rc.d"
    cp "$work/$name.deb" "$root/tmp/"
    in_root() { chroot "$root" env PATH=/stand-in:/usr/sbin:/usr/bin:/sbin:/bin "$@" >"$work/log" 2>&1; }
    in_root "$source_dir/scripts/install-quietly.sh" "/tmp/$name.deb" ||
        fail "with systemd $systemd: the install fails: $(tail -3 "$work/log")"
    if [ $systemd = running ]; then
        in_root dpkg -i "/tmp/$name.deb" || fail "installing again fails: $(tail -3 "$work/log")"
    fi
    in_root "$source_dir/scripts/check-no-services.sh" $name ||
        fail "with systemd $systemd: $(cat "$work/log")"
    if grep -E " (start|restart) " "$root/stand-in/calls" 2>/dev/null; then
        fail "with systemd $systemd: systemctl was asked to start the daemon"
    fi
    [ "$(cat "$root/usr/sbin/policy-rc.d")" = "$(printf '#!/bin/sh\nexit 0')" ] ||
        fail "with systemd $systemd: the administrator's policy-rc.d is not back"
    left=$(cd "$upper" && find . -lname /dev/null -o -name '*install-quietly*')
    [ -z "$left" ] || fail "with systemd $systemd: the install leaves $left"
    stop_daemon
done

finish "A quiet install starts and enables none of the package's services."
