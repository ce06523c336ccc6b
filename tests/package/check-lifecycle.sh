#!/bin/bash
# dpkg runs the maintainer scripts on a copy-on-write view of this machine
# (an overlay over / in a mount namespace of the test's own) where
# /run/systemd/system exists, with stand-ins for deb-systemd-invoke and
# systemctl that record their calls (deb-systemd-helper, and systemctl on
# files, record theirs and do their work): the first release's single
# package upgraded to the split ones, upgraded, removed and purged; a
# headless till's two packages installed, upgraded and purged.
# Usage: check-lifecycle.sh PACKAGE_DIR
set -euo pipefail
package_dir=$(realpath "$1")
[ "${LIFECYCLE_NAMESPACE:-}" = yes ] || exec env LIFECYCLE_NAMESPACE=yes \
    unshare --mount --propagation private bash "$(realpath "$0")" "$package_dir"
. "$(dirname "$0")/common.sh"

work=$(mktemp -d)
trap 'umount -R -l "$work/ns" || true; rm -rf --one-file-system "$work"' EXIT
overlay_root "$work/ns"
calls=$root/stand-in/calls
mkdir -p "$root/run/systemd/system"
stand_ins deb-systemd-invoke deb-systemd-helper systemctl
exporter_link=$root/var/lib/prometheus/node-exporter/kestrin-drawer.prom
mkdir -p "${exporter_link%/*}"

# dpkg as apt runs it, with no terminal: a conffile question fails the step.
step() { # NAME DPKG-ARGUMENT...
    local name=$1
    shift
    : >"$calls"
    PATH=/stand-in:/usr/sbin:/usr/bin:/sbin:/bin dpkg --root="$root" --auto-deconfigure "$@" \
        </dev/null >"$work/log" 2>&1 || fail "$name: dpkg failed: $(tail -5 "$work/log")"
    if grep -q "Configuration file" "$work/log"; then fail "$name: dpkg asked about a conffile"; fi
}
called() { # STEP CALL...
    for call in "${@:2}"; do grep -qxF "$call" "$calls" || fail "$1: no call '$call'"; done
}
starts_nothing() {
    if grep -E ' (start|restart|reload-or-restart)( |$)' "$calls"; then fail "$1 starts a unit"; fi
}
restarts=("deb-systemd-invoke try-restart kestrin-drawerd.service"
    "deb-systemd-invoke try-restart kestrin-drawer-web.service" "systemctl --system daemon-reload")
web_link=$root/etc/systemd/system/multi-user.target.wants/kestrin-drawer-web.service
kept() { # STEP: the shop's edit, history, token and enabled bridge
    grep -q "shop's line" "$root/etc/kestrin-drawer/drawers.conf" || fail "$1 loses the edited drawers.conf"
    for file in "$root"/var/lib/kestrin-drawer/history.sqlite "$root"/var/lib/kestrin-drawer-web/tokens \
        "$web_link"; do
        [ -e "$file" ] || [ -L "$file" ] || fail "$1 loses $file"
    done
}
nothing_left() {
    left=$(cd "$upper" && find . -name '*kestrin*' ! -type c)
    [ -z "$left" ] || fail "$1 leaves $(tr '\n' ' ' <<<"$left")"
    grep -q '^kestrin-drawer:' "$root/etc/passwd" || fail "$1 removes the user kestrin-drawer"
}

old=$work/old
for package in kestrin-drawerd kestrin-drawer-web kestrin-drawer; do dpkg-deb -x "$(deb_of $package)" "$old"; done
mv "$old"/usr/share/doc/kestrin-drawerd/* "$old/usr/share/doc/kestrin-drawer/"
rm -r "$old"/usr/share/doc/kestrin-drawer{d,-web}
mkdir "$old/DEBIAN"
printf 'Package: kestrin-drawer\nVersion: 1.0.0.0\nArchitecture: %s\nMaintainer: x <x@x.invalid>\nDescription: x\n x\n' \
    "$(dpkg --print-architecture)" >"$old/DEBIAN/control"
printf '/etc/kestrin-drawer/drawers.conf\n/etc/xdg/autostart/kestrin-drawer-notify.desktop\n' >"$old/DEBIAN/conffiles"
dpkg-deb --root-owner-group -b "$old" "$work/first.deb" >/dev/null

split_upgrade() { # NAME DEB...
    step first-release -i "$work/first.deb"
    echo "# the shop's line" >>"$root/etc/kestrin-drawer/drawers.conf"
    mkdir -p "$root"/var/lib/kestrin-drawer{,-web}
    echo history >"$root/var/lib/kestrin-drawer/history.sqlite"
    echo token >"$root/var/lib/kestrin-drawer-web/tokens"
    systemctl --root="$root" --quiet enable kestrin-drawer-web.service
    step "$@"
    kept "$1"
    called "$1" "${restarts[@]}"
    starts_nothing "$1"
    owner=$(dpkg-query --admindir="$root/var/lib/dpkg" -S /etc/kestrin-drawer/drawers.conf)
    [ "$owner" = "kestrin-drawerd: /etc/kestrin-drawer/drawers.conf" ] || fail "$1: $owner"
    if compgen -G "$root/etc/kestrin-drawer/*.dpkg-*"; then fail "$1: dpkg set a file beside drawers.conf"; fi
}
split_upgrade service-first -i "$(deb_of kestrin-drawerd)" "$(deb_of kestrin-drawer-web)" "$(deb_of kestrin-drawer)"
step purge-first -P kestrin-drawer kestrin-drawer-web kestrin-drawerd
nothing_left purge-first

# The README's apt install ./build-pkg/kestrin-drawer*.deb: the window's
# package unpacked first keeps drawers.conf a moment as an obsolete conffile.
split_upgrade window-first -i "$package_dir"/kestrin-drawer*.deb
step purge-window -P kestrin-drawer-simulator kestrin-drawer
kept purge-window
# The node exporter's link is made on a first install only.
rm -f "$exporter_link"
step upgrade -i "$package_dir"/kestrin-drawer*.deb
kept upgrade
[ ! -L "$exporter_link" ] || fail "upgrade links the service's figures for the node exporter again"
called upgrade "${restarts[@]}"
starts_nothing upgrade
# A node exporter that reads a folder of the shop's, named in drawers.conf,
# where kestrin-drawer-setup metrics on made the link.
exporter_target=/var/lib/kestrin-drawer/metrics/kestrin-drawer.prom
mkdir -p "$root/srv/textfiles"
ln -s "$exporter_target" "$root/srv/textfiles/kestrin-drawer.prom"
printf '[service]\nmetrics-dir = /srv/textfiles/\n' >>"$root/etc/kestrin-drawer/drawers.conf"
step remove -r kestrin-drawer-simulator kestrin-drawer kestrin-drawer-web kestrin-drawerd
kept remove
called remove "deb-systemd-invoke stop kestrin-drawer-web.service" "deb-systemd-invoke stop kestrin-drawerd.service"
step purge -P kestrin-drawer-simulator kestrin-drawer kestrin-drawer-web kestrin-drawerd
called purge "deb-systemd-helper purge kestrin-drawer-web.service"
[ ! -L "$root/srv/textfiles/kestrin-drawer.prom" ] || fail "purge leaves the link in the shop's metrics-dir"
nothing_left purge

# A headless till afresh.
for name in install upgrade-headless; do
    step $name -i "$(deb_of kestrin-drawerd)" "$(deb_of kestrin-drawer-web)"
    starts_nothing $name
    [ ! -L "$web_link" ] || fail "$name enables the bridge"
done
tokens_folder=$(chroot "$root" stat -c %U:%a /var/lib/kestrin-drawer-web)
[ "$tokens_folder" = kestrin-drawer-web:700 ] || fail "install: the tokens' folder is $tokens_folder"
chroot "$root" kestrin-drawer-ctl token add till >/dev/null 2>&1 || fail "kestrin-drawer-ctl token add fails"
[ "$(readlink "$exporter_link")" = /var/lib/kestrin-drawer/metrics/kestrin-drawer.prom ] ||
    fail "install: no link for the node exporter"
# A metrics-dir reached through a link that someone planted: purge follows
# no link to take out a link elsewhere.
mkdir "$root/srv/elsewhere" && ln -s /srv/elsewhere "$root/srv/planted"
ln -s "$exporter_target" "$root/srv/elsewhere/kestrin-drawer.prom"
printf '[service]\nmetrics-dir = /srv/planted\n' >>"$root/etc/kestrin-drawer/drawers.conf"
step purge-headless -P kestrin-drawer-web kestrin-drawerd
[ -L "$root/srv/elsewhere/kestrin-drawer.prom" ] || fail "purge follows the link at metrics-dir"
rm -f "$root/srv/elsewhere/kestrin-drawer.prom"
nothing_left purge-headless

finish "Install, upgrade, remove and purge do what they should."
