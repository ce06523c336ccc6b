#!/bin/bash
# The drawer service's files as packaged: systemd-analyze verify accepts the
# unit (it needs no running systemd), the unit is started only through D-Bus
# activation, under its own user, hardened no less than it was (the exposure
# systemd-analyze security scores offline), and the activation file, the
# unit and the packaged program agree.
# Usage: check-service.sh PACKAGE_DIR
set -euo pipefail
package_dir=$1

. "$(dirname "$0")/common.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$(deb_of kestrin-drawerd)" "$work/root"
dpkg-deb -x "$(deb_of kestrin-drawer-web)" "$work/root"
unit=$work/root/lib/systemd/system/kestrin-drawerd.service
activation=$work/root/usr/share/dbus-1/system-services/org.kestrin.Drawers1.service

# verify looks for ExecStart's program on this machine: point it at the
# unpacked one, and change nothing else. It only warns of a value it
# cannot read, and ignores it: a warning fails too.
verify() { # UNIT
    local said
    if ! said=$(cd "$work/verify" && systemd-analyze verify --man=no "$1" 2>&1) || [ -n "$said" ]; then
        fail "systemd-analyze verify rejects $1: $said"
    fi
}
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[ -x "$work/root$exec_start" ] || fail "ExecStart=$exec_start is not in the package"
mkdir "$work/verify"
sed "s|^ExecStart=.*|ExecStart=$work/root$exec_start|" "$unit" >"$work/verify/kestrin-drawerd.service"
verify kestrin-drawerd.service

value() { sed -n "s/^$2=//p" "$1"; }
[ "$(value "$activation" SystemdService)" = kestrin-drawerd.service ] ||
    fail "the activation file does not start kestrin-drawerd.service"
[ "$(value "$activation" Name)" = "$(value "$unit" BusName)" ] ||
    fail "the activation file and the unit name different bus names"
grep -q '^\[Install\]' "$unit" && fail "the unit can be enabled: it must start only on demand"
for setting in Type=notify User=kestrin-drawer NoNewPrivileges=yes ProtectSystem=strict \
    ProtectHome=yes PrivateTmp=yes "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6" \
    SystemCallFilter=@system-service; do
    grep -qxF "$setting" "$unit" || fail "the unit lacks $setting"
done
grep -q '^User=root' "$unit" && fail "the unit runs the service as root"
# A leak or a flood ends the service, not the machine.
for limit in MemoryMax TasksMax; do
    [ -n "$(value "$unit" $limit)" ] || fail "the unit sets no $limit"
done

# The web bridge's unit: valid, off until the shop enables it (the package
# enables nothing), under its own user in the group that may open, and kept
# to the loopback addresses.
web_unit=$work/root/lib/systemd/system/kestrin-drawer-web.service
web_exec=$(value "$web_unit" ExecStart)
[ -x "$work/root$web_exec" ] || fail "the web bridge's ExecStart=$web_exec is not in the package"
sed "s|^ExecStart=.*|ExecStart=$work/root$web_exec|" "$web_unit" >"$work/verify/kestrin-drawer-web.service"
verify kestrin-drawer-web.service
for setting in User=kestrin-drawer-web SupplementaryGroups=kestrin-drawer NoNewPrivileges=yes \
    ProtectSystem=strict IPAddressDeny=any IPAddressAllow=localhost \
    StateDirectory=kestrin-drawer-web; do
    grep -qxF "$setting" "$web_unit" || fail "the web bridge's unit lacks $setting"
done

# The exposure of each unit as systemd-analyze scores it without a running
# systemd; no higher than the hardened units' when they were first packaged.
exposure() { # UNIT MOST
    local score
    score=$(cd "$work/verify" && systemd-analyze security --offline=yes "$1" 2>/dev/null |
        sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
    [ -n "$score" ] || { fail "systemd-analyze security scores no exposure for $1"; return; }
    awk -v score="$score" -v most="$2" 'BEGIN { exit !(score <= most) }' ||
        fail "$1's exposure is $score, more than $2"
}
exposure kestrin-drawerd.service 2.0
exposure kestrin-drawer-web.service 1.6

finish "The service's unit and activation file are as they should be."
