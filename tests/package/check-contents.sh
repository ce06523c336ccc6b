#!/bin/bash
# The four packages' file lists, from dpkg-deb -c: every file and link with
# its mode, nothing else, everything owned by root, every folder 0755; and
# what their control data promise: the conffiles, the dependencies, the
# takeover of the first release's single package.
# Usage: check-contents.sh PACKAGE_DIR SOURCE_DIR [setup] [setup-man]
#   setup, setup-man: the build has the set-up tool, and its manual page.
set -euo pipefail
package_dir=$1
source_dir=$2
shift 2
with_setup=no
with_setup_man=no
for extra in "$@"; do
    case $extra in
    setup) with_setup=yes ;;
    setup-man) with_setup_man=yes ;;
    *) echo "unknown argument $extra" >&2; exit 2 ;;
    esac
done

. "$(dirname "$0")/common.sh"

# "MODE PATH" for each file, "MODE PATH -> TARGET" for each link.
listing() {
    dpkg-deb -c "$1" | awk '{ path = $6; for (i = 7; i <= NF; ++i) path = path " " $i;
                              print $1, $2, path }'
}

check_list() {
    local deb=$1 expected=$2 actual
    local entries
    entries=$(listing "$deb")
    while read -r mode owner path; do
        [ "$owner" = root/root ] || fail "$(basename "$deb"): $path is owned by $owner"
        case $mode in
        d*) [ "$mode" = drwxr-xr-x ] || fail "$(basename "$deb"): folder $path is $mode" ;;
        esac
    done <<<"$entries"
    actual=$(awk '$1 !~ /^d/ { $2 = ""; sub(/  /, " "); print }' <<<"$entries" | sort)
    expected=$(sort <<<"$expected")
    if [ "$actual" != "$expected" ]; then
        fail "$(basename "$deb"): the file list differs (- expected, + packaged):"
        diff <(echo "$expected") <(echo "$actual") | grep '^[<>]' | sed 's/^</-/; s/^>/+/' || true
    fi
}

daemon_deb=$(deb_of kestrin-drawerd)
web_deb=$(deb_of kestrin-drawer-web)
program_deb=$(deb_of kestrin-drawer)
simulator_deb=$(deb_of kestrin-drawer-simulator)

expected_daemon="-rw-r--r-- ./etc/kestrin-drawer/drawers.conf
-rw-r--r-- ./usr/lib/kestrin-drawer/libKestrinPOS_USB.so
-rwxr-xr-x ./usr/bin/kestrin-drawer-ctl
-rwxr-xr-x ./usr/libexec/kestrin-drawerd
-rwxr-xr-x ./usr/lib/cups/backend/kestrin
-rw-r--r-- ./lib/systemd/system/kestrin-drawerd.service
-rw-r--r-- ./lib/udev/rules.d/70-kestrin-drawerd.rules
-rw-r--r-- ./usr/lib/sysusers.d/kestrin-drawer.conf
-rw-r--r-- ./usr/share/dbus-1/system.d/org.kestrin.Drawers1.conf
-rw-r--r-- ./usr/share/dbus-1/system-services/org.kestrin.Drawers1.service
-rw-r--r-- ./usr/lib/systemd/catalog/kestrin-drawer.catalog
-rw-r--r-- ./usr/share/doc/kestrin-drawerd/README.md.gz
-rw-r--r-- ./usr/share/doc/kestrin-drawerd/changelog.gz
-rw-r--r-- ./usr/share/doc/kestrin-drawerd/copyright
-rw-r--r-- ./usr/share/dbus-1/interfaces/org.kestrin.Drawers1.xml
-rw-r--r-- ./usr/share/man/man1/kestrin-drawer-ctl.1.gz
-rw-r--r-- ./usr/share/man/man5/drawers.conf.5.gz
-rw-r--r-- ./usr/share/man/man8/kestrin-drawerd.8.gz"
for sample in "$source_dir"/packaging/examples/*.rules.sample; do
    expected_daemon+=$'\n'"-rw-r--r-- ./usr/share/doc/kestrin-drawerd/examples/$(basename "$sample")"
done
expected_daemon+=$'\n'"-rw-r--r-- ./usr/share/doc/kestrin-drawerd/examples/kestrin-drawer.rules.yml"
if [ $with_setup = yes ]; then
    expected_daemon+=$'\n'"-rwxr-xr-x ./usr/bin/kestrin-drawer-setup"
fi
if [ $with_setup_man = yes ]; then
    expected_daemon+=$'\n'"-rw-r--r-- ./usr/share/man/man1/kestrin-drawer-setup.1.gz"
fi
check_list "$daemon_deb" "$expected_daemon"
# A till without the bridge lacks its account, which the bus would log.
policy=$(dpkg-deb --fsys-tarfile "$daemon_deb" | tar -xO ./usr/share/dbus-1/system.d/org.kestrin.Drawers1.conf)
[[ $policy != *'user="kestrin-drawer-web"'* ]] || fail "the service's bus policy names the bridge's account"

check_list "$web_deb" "-rwxr-xr-x ./usr/libexec/kestrin-drawer-web
-rw-r--r-- ./lib/systemd/system/kestrin-drawer-web.service
-rw-r--r-- ./usr/lib/sysusers.d/kestrin-drawer-web.conf
-rw-r--r-- ./usr/share/dbus-1/system.d/kestrin-drawer-web.conf
-rw-r--r-- ./usr/share/doc/kestrin-drawer-web/changelog.gz
-rw-r--r-- ./usr/share/doc/kestrin-drawer-web/copyright
-rw-r--r-- ./usr/share/man/man8/kestrin-drawer-web.8.gz"

check_list "$program_deb" "-rwxr-xr-x ./usr/bin/kestrin-drawer
-rwxr-xr-x ./usr/bin/kestrin-drawer-notify
-rw-r--r-- ./etc/xdg/autostart/kestrin-drawer-notify.desktop
-rw-r--r-- ./usr/share/applications/kestrin-drawer.desktop
-rw-r--r-- ./usr/share/doc/kestrin-drawer/changelog.gz
-rw-r--r-- ./usr/share/doc/kestrin-drawer/copyright
-rw-r--r-- ./usr/share/icons/hicolor/16x16/apps/kestrin-drawer.png
-rw-r--r-- ./usr/share/icons/hicolor/32x32/apps/kestrin-drawer.png
-rw-r--r-- ./usr/share/icons/hicolor/scalable/apps/kestrin-drawer.svg
-rw-r--r-- ./usr/share/man/man1/kestrin-drawer.1.gz
-rw-r--r-- ./usr/share/man/man1/kestrin-drawer-notify.1.gz"

check_list "$simulator_deb" "-rwxr-xr-x ./usr/bin/kestrin-drawer-sim
lrwxrwxrwx ./usr/bin/kestrin-drawer-simulator -> ../lib/kestrin-drawer-simulator/kestrin-drawer
-rwxr-xr-x ./usr/lib/kestrin-drawer-simulator/kestrin-drawer
-rw-r--r-- ./usr/lib/kestrin-drawer-simulator/libKestrinPOS_USB.so
-rw-r--r-- ./usr/share/applications/kestrin-drawer-simulator.desktop
-rw-r--r-- ./usr/share/doc/kestrin-drawer-simulator/changelog.gz
-rw-r--r-- ./usr/share/doc/kestrin-drawer-simulator/copyright
-rw-r--r-- ./usr/share/man/man1/kestrin-drawer-sim.1.gz
lrwxrwxrwx ./usr/share/man/man1/kestrin-drawer-simulator.1.gz -> kestrin-drawer.1.gz"

# The configuration is the sample, and a conffile; the documents are the
# project's own.
packaged() { dpkg-deb --fsys-tarfile "$1" | tar -xO "$2"; }
control() { dpkg-deb --ctrl-tarfile "$1" | tar -xO "./$2" 2>/dev/null; }
if ! cmp -s <(packaged "$daemon_deb" ./etc/kestrin-drawer/drawers.conf) \
    "$source_dir/packaging/examples/drawers.conf.sample"; then
    fail "/etc/kestrin-drawer/drawers.conf is not packaging/examples/drawers.conf.sample"
fi
if ! cmp -s <(packaged "$daemon_deb" ./usr/share/doc/kestrin-drawerd/README.md.gz | gzip -dc) \
    "$source_dir/README.md"; then
    fail "the packaged README is not README.md"
fi
for expected in kestrin-drawerd:/etc/kestrin-drawer/drawers.conf kestrin-drawer-web: \
    kestrin-drawer:/etc/xdg/autostart/kestrin-drawer-notify.desktop kestrin-drawer-simulator:; do
    [ "$(control "$(deb_of "${expected%%:*}")" conffiles)" = "${expected#*:}" ] ||
        fail "${expected%%:*}'s conffiles are not '${expected#*:}'"
done
grep -q "systemd-sysusers kestrin-drawer.conf" <<<"$(control "$daemon_deb" postinst)" ||
    fail "kestrin-drawerd's postinst does not run systemd-sysusers on its file"

# One version; each package needs the one below it of exactly that version.
version=$(dpkg-deb -f "$daemon_deb" Version)
for needs in "$web_deb kestrin-drawerd" "$program_deb kestrin-drawerd" "$simulator_deb kestrin-drawer"; do
    deb=${needs% *}
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$(basename "$deb") has another version"
    grep -qF "${needs#* } (= $version)" <<<"$(dpkg-deb -f "$deb" Depends)" ||
        fail "$(basename "$deb") does not depend on ${needs#* } (= $version)"
done
program_depends=$(dpkg-deb -f "$program_deb" Depends)
for needed in libqt6widgets6 fonts-liberation2; do
    grep -q "$needed" <<<"$program_depends" || fail "kestrin-drawer does not depend on $needed"
done
# A till without a desktop takes the service and the bridge alone.
for deb in "$daemon_deb" "$web_deb"; do
    if dpkg-deb -f "$deb" Depends | grep -E 'libqt6(gui|widgets)|libx|libgl|libegl'; then
        fail "$(basename "$deb") needs a graphical library"
    fi
done

finish "The four packages hold what they should."
