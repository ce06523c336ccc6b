#!/bin/bash
# The maintainer scripts at work, with dpkg itself: the single kestrin-drawer
# 1.0.0.0 package of the first release (made here from the new packages'
# files and its postinst), upgraded to the four packages, upgraded again,
# removed and purged; then a headless till's two packages installed afresh
# and purged.
#
# dpkg works on a copy-on-write view of this machine: an overlay over / in a
# mount namespace of the test's own, with tmpfs over /run and /tmp, so no
# step touches the machine. There /run/systemd/system exists, as under
# systemd; deb-systemd-invoke and systemctl are stand-ins that record their
# calls, and deb-systemd-helper, and systemctl on files (--root), record
# their calls before doing their work.
# Usage: check-lifecycle.sh PACKAGE_DIR
set -euo pipefail
package_dir=$(realpath "$1")
if [ "${KESTRIN_LIFECYCLE_NAMESPACE:-}" != yes ]; then
    exec env KESTRIN_LIFECYCLE_NAMESPACE=yes unshare --mount --propagation private \
        bash "$(realpath "$0")" "$package_dir"
fi

. "$(dirname "$0")/common.sh"

work=$(mktemp -d)
trap 'if [ -n "${KEEP:-}" ]; then cp -r "$upper/stand-in" "$work"/*.log "$KEEP"; fi
      umount -R -l "$work/ns" 2>/dev/null || true; rm -rf --one-file-system "$work"' EXIT
mkdir "$work/ns"
mount -t tmpfs tmpfs "$work/ns"
upper=$work/ns/upper
root=$work/ns/root
mkdir "$upper" "$work/ns/overlay-work" "$root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$upper,workdir=$work/ns/overlay-work" "$root"
mount --rbind /dev "$root/dev"
mount -t tmpfs tmpfs "$root/run"
mount -t tmpfs tmpfs "$root/tmp"
mkdir -p "$root/run/systemd/system" "$root/stand-in"
# The manual pages' index is not this test's business.
rm -f "$root/var/lib/man-db/auto-update"

calls=$root/stand-in/calls
cat >"$root/stand-in/record" <<'EOF'
#!/bin/sh
echo "${0##*/} $*" >>/stand-in/calls
case "${0##*/} $1" in
deb-systemd-helper*) exec /usr/bin/deb-systemd-helper "$@" ;;
"systemctl --root="*) exec /usr/bin/systemctl "$@" ;;
esac
EOF
chmod 755 "$root/stand-in/record"
for tool in deb-systemd-invoke deb-systemd-helper systemctl; do
    ln -s record "$root/stand-in/$tool"
done

# dpkg on the view as apt runs it, with no terminal: a conffile question
# fails the step.
step() { # NAME DPKG-ARGUMENTS...
    local name=$1
    shift
    : >"$calls"
    if ! PATH=/stand-in:/usr/sbin:/usr/bin:/sbin:/bin dpkg --root="$root" --auto-deconfigure "$@" \
        </dev/null >"$work/$name.log" 2>&1; then
        fail "$name: dpkg failed: $(tail -5 "$work/$name.log")"
    fi
    if grep -q "Configuration file" "$work/$name.log"; then fail "$name: dpkg asked about a conffile"; fi
}
called() { grep -qxF "$1" "$calls" || fail "$2: no call '$1' in: $(tr '\n' ';' <"$calls")"; }
starts_nothing() {
    if grep -E ' (start|restart|reload-or-restart|enable --now)( |$)' "$calls"; then
        fail "$1 starts a unit"
    fi
}
present() { [ -e "$root$1" ] || [ -L "$root$1" ] || fail "$2: $1 is gone"; }
web_link=/etc/systemd/system/multi-user.target.wants/kestrin-drawer-web.service
owner() { dpkg-query --admindir="$root/var/lib/dpkg" -S "$1" 2>/dev/null | cut -d: -f1; }
# Nothing of the project's, whatever its name, is left in the view.
nothing_left() {
    local left
    left=$(cd "$upper" && find . -name '*kestrin*' ! -type c ! -path ./stand-in)
    [ -z "$left" ] || fail "$1 leaves $(tr '\n' ' ' <<<"$left")"
    grep -q '^kestrin-drawer:' "$root/etc/passwd" || fail "$1 removes the user kestrin-drawer"
}

# The first release: one package, its conffiles and its postinst.
old=$work/old
for package in kestrin-drawerd kestrin-drawer-web kestrin-drawer; do
    dpkg-deb -x "$(deb_of $package)" "$old"
done
mv "$old/usr/share/doc/kestrin-drawerd/"* "$old/usr/share/doc/kestrin-drawer/"
rm -r "$old/usr/share/doc/kestrin-drawerd" "$old/usr/share/doc/kestrin-drawer-web"
mkdir "$old/DEBIAN"
printf 'Package: kestrin-drawer\nVersion: 1.0.0.0\nArchitecture: %s\nMaintainer: x <x@x.invalid>\nDescription: first release\n first release\n' \
    "$(dpkg --print-architecture)" >"$old/DEBIAN/control"
printf '/etc/kestrin-drawer/drawers.conf\n/etc/xdg/autostart/kestrin-drawer-notify.desktop\n' \
    >"$old/DEBIAN/conffiles"
cat >"$old/DEBIAN/postinst" <<'EOF'
#!/bin/sh
set -e
if [ "$1" = configure ] && command -v systemd-sysusers >/dev/null; then
    systemd-sysusers kestrin-drawer.conf kestrin-drawer-web.conf
    install -d -m 0700 -o kestrin-drawer-web -g kestrin-drawer-web /var/lib/kestrin-drawer-web
fi
EOF
chmod 755 "$old/DEBIAN/postinst"
dpkg-deb --root-owner-group -b "$old" "$work/first.deb" >/dev/null

# The first release installed, with the shop's edit, history and token, and
# the bridge enabled.
first_release() {
    step first-release -i "$work/first.deb"
    echo "# the shop's own line" >>"$root/etc/kestrin-drawer/drawers.conf"
    mkdir -p "$root/var/lib/kestrin-drawer"
    echo history >"$root/var/lib/kestrin-drawer/history.sqlite"
    echo token >"$root/var/lib/kestrin-drawer-web/tokens"
    systemctl --root="$root" --quiet enable kestrin-drawer-web.service
}
kept() {
    grep -q "the shop's own line" "$root/etc/kestrin-drawer/drawers.conf" ||
        fail "$1 loses the edited drawers.conf"
    present /var/lib/kestrin-drawer/history.sqlite "$1"
    present /var/lib/kestrin-drawer-web/tokens "$1"
}
# The packages as dpkg may unpack them when apt installs them all: the
# window's before the service's (the order of the README's
# `apt install ./build-pkg/kestrin-drawer*.deb`), or the service's first.
split_upgrade() { # NAME DEB...
    local name=$1
    shift
    first_release
    step "$name" -i "$@"
    kept "$name"
    [ "$(owner /etc/kestrin-drawer/drawers.conf)" = kestrin-drawerd ] ||
        fail "$name: drawers.conf belongs to '$(owner /etc/kestrin-drawer/drawers.conf)'"
    if ls "$root"/etc/kestrin-drawer/*.dpkg-* 2>/dev/null; then fail "$name: dpkg left copies"; fi
    present $web_link "$name"
    called "deb-systemd-invoke try-restart kestrin-drawerd.service" "$name"
    called "deb-systemd-invoke try-restart kestrin-drawer-web.service" "$name"
    called "systemctl --system daemon-reload" "$name"
    starts_nothing "$name"
}

split_upgrade split-upgrade-service-first "$(deb_of kestrin-drawerd)" "$(deb_of kestrin-drawer-web)" \
    "$(deb_of kestrin-drawer)"
step purge-first -P kestrin-drawer kestrin-drawer-web kestrin-drawerd
nothing_left purge-first

split_upgrade split-upgrade "$package_dir"/kestrin-drawer*.deb
# The window's package had the configuration as an obsolete conffile for a
# moment: purging it leaves the service's.
step purge-window -P kestrin-drawer-simulator kestrin-drawer
kept purge-window

step upgrade -i "$package_dir"/kestrin-drawer*.deb
kept upgrade
present $web_link upgrade
called "deb-systemd-invoke try-restart kestrin-drawerd.service" upgrade
called "deb-systemd-invoke try-restart kestrin-drawer-web.service" upgrade
starts_nothing upgrade

step remove -r kestrin-drawer-simulator kestrin-drawer kestrin-drawer-web kestrin-drawerd
kept remove
called "deb-systemd-invoke stop kestrin-drawer-web.service" remove
called "deb-systemd-invoke stop kestrin-drawerd.service" remove

step purge -P kestrin-drawer-simulator kestrin-drawer kestrin-drawer-web kestrin-drawerd
called "deb-systemd-helper purge kestrin-drawer-web.service" purge
nothing_left purge

# A headless till, afresh: nothing enabled or started, the tokens' folder
# ready for kestrin-drawer-ctl, the service's figures linked for the node
# exporter; purge takes all of it.
mkdir -p "$root/var/lib/prometheus/node-exporter"
for name in install upgrade-headless; do
    step $name -i "$(deb_of kestrin-drawerd)" "$(deb_of kestrin-drawer-web)"
    starts_nothing $name
    [ ! -L "$root$web_link" ] || fail "$name enables the bridge"
done
tokens_folder=$(chroot "$root" stat -c %U:%a /var/lib/kestrin-drawer-web)
[ "$tokens_folder" = kestrin-drawer-web:700 ] || fail "install: the tokens' folder is $tokens_folder"
chroot "$root" kestrin-drawer-ctl token add till >/dev/null 2>&1 ||
    fail "kestrin-drawer-ctl token add fails on a headless till"
exporter_link=$root/var/lib/prometheus/node-exporter/kestrin-drawer.prom
[ "$(readlink "$exporter_link")" = /var/lib/kestrin-drawer/metrics/kestrin-drawer.prom ] ||
    fail "install: no link for the node exporter"
step purge-headless -P kestrin-drawer-web kestrin-drawerd
[ ! -L "$exporter_link" ] || fail "purge leaves the node exporter's link"
nothing_left purge-headless

if [ $failures -ne 0 ]; then
    echo "$failures lifecycle check(s) failed"
    exit 1
fi
echo "Install, upgrade, remove and purge do what they should."
