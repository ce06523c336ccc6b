#!/bin/bash
# The two packages' file lists, from dpkg-deb -c: every file and link with
# its mode, nothing else, everything owned by root, every folder 0755; and
# what their control data promise: the conffile, the dependencies.
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

program_deb=$(deb_of kestrin-drawer)
simulator_deb=$(deb_of kestrin-drawer-simulator)

expected_program="-rw-r--r-- ./etc/kestrin-drawer/drawers.conf
-rwxr-xr-x ./usr/bin/kestrin-drawer
-rw-r--r-- ./usr/lib/kestrin-drawer/libKestrinPOS_USB.so
-rw-r--r-- ./usr/share/applications/kestrin-drawer.desktop
-rw-r--r-- ./usr/share/doc/kestrin-drawer/README.md.gz
-rw-r--r-- ./usr/share/doc/kestrin-drawer/changelog.gz
-rw-r--r-- ./usr/share/doc/kestrin-drawer/copyright
-rw-r--r-- ./usr/share/icons/hicolor/16x16/apps/kestrin-drawer.png
-rw-r--r-- ./usr/share/icons/hicolor/32x32/apps/kestrin-drawer.png
-rw-r--r-- ./usr/share/icons/hicolor/scalable/apps/kestrin-drawer.svg
-rw-r--r-- ./usr/share/man/man1/kestrin-drawer.1.gz
-rw-r--r-- ./usr/share/man/man5/drawers.conf.5.gz
-rwxr-xr-x ./usr/bin/kestrin-drawer-ctl
-rwxr-xr-x ./usr/libexec/kestrin-drawerd
-rw-r--r-- ./lib/systemd/system/kestrin-drawerd.service
-rw-r--r-- ./lib/udev/rules.d/70-kestrin-drawerd.rules
-rw-r--r-- ./usr/lib/sysusers.d/kestrin-drawer.conf
-rw-r--r-- ./usr/share/dbus-1/system.d/org.kestrin.Drawers1.conf
-rw-r--r-- ./usr/share/dbus-1/system-services/org.kestrin.Drawers1.service
-rw-r--r-- ./usr/share/dbus-1/interfaces/org.kestrin.Drawers1.xml
-rw-r--r-- ./usr/share/man/man1/kestrin-drawer-ctl.1.gz
-rw-r--r-- ./usr/share/man/man8/kestrin-drawerd.8.gz
-rwxr-xr-x ./usr/bin/kestrin-drawer-notify
-rw-r--r-- ./etc/xdg/autostart/kestrin-drawer-notify.desktop
-rw-r--r-- ./usr/share/man/man1/kestrin-drawer-notify.1.gz
-rwxr-xr-x ./usr/libexec/kestrin-drawer-web
-rw-r--r-- ./lib/systemd/system/kestrin-drawer-web.service
-rw-r--r-- ./usr/lib/sysusers.d/kestrin-drawer-web.conf
-rw-r--r-- ./usr/share/man/man8/kestrin-drawer-web.8.gz"
for sample in "$source_dir"/packaging/examples/*.rules.sample; do
    expected_program+=$'\n'"-rw-r--r-- ./usr/share/doc/kestrin-drawer/examples/$(basename "$sample")"
done
expected_program+=$'\n'"-rw-r--r-- ./usr/share/doc/kestrin-drawer/examples/kestrin-drawer.rules.yml"
if [ $with_setup = yes ]; then
    expected_program+=$'\n'"-rwxr-xr-x ./usr/bin/kestrin-drawer-setup"
fi
if [ $with_setup_man = yes ]; then
    expected_program+=$'\n'"-rw-r--r-- ./usr/share/man/man1/kestrin-drawer-setup.1.gz"
fi
check_list "$program_deb" "$expected_program"

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
if ! cmp -s <(packaged "$program_deb" ./etc/kestrin-drawer/drawers.conf) \
    "$source_dir/packaging/examples/drawers.conf.sample"; then
    fail "/etc/kestrin-drawer/drawers.conf is not packaging/examples/drawers.conf.sample"
fi
if ! cmp -s <(packaged "$program_deb" ./usr/share/doc/kestrin-drawer/README.md.gz | gzip -dc) \
    "$source_dir/README.md"; then
    fail "the packaged README is not README.md"
fi
conffiles=$(dpkg-deb --ctrl-tarfile "$program_deb" | tar -xO ./conffiles)
[ "$conffiles" = $'/etc/kestrin-drawer/drawers.conf\n/etc/xdg/autostart/kestrin-drawer-notify.desktop' ] ||
    fail "kestrin-drawer's conffiles are '$conffiles'"
# The postinst makes the service's user from the packaged sysusers file.
postinst=$(dpkg-deb --ctrl-tarfile "$program_deb" | tar -xO ./postinst) ||
    fail "kestrin-drawer has no postinst"
grep -q "systemd-sysusers kestrin-drawer.conf" <<<"$postinst" ||
    fail "kestrin-drawer's postinst does not run systemd-sysusers on its file"
if dpkg-deb --ctrl-tarfile "$simulator_deb" | tar -t | grep -q conffiles; then
    fail "kestrin-drawer-simulator has conffiles"
fi

# The simulator runs the program of exactly its own version.
version=$(dpkg-deb -f "$simulator_deb" Version)
[ "$(dpkg-deb -f "$program_deb" Version)" = "$version" ] || fail "the two packages' versions differ"
grep -qF "kestrin-drawer (= $version)" <<<"$(dpkg-deb -f "$simulator_deb" Depends)" ||
    fail "kestrin-drawer-simulator does not depend on kestrin-drawer (= $version)"
program_depends=$(dpkg-deb -f "$program_deb" Depends)
for needed in libqt6widgets6 fonts-liberation2; do
    grep -q "$needed" <<<"$program_depends" || fail "kestrin-drawer does not depend on $needed"
done

if [ $failures -ne 0 ]; then
    echo "$failures package check(s) failed"
    exit 1
fi
echo "Both packages hold what they should."
