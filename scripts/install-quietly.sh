#!/bin/sh
# Installs Debian packages with apt-get, as root, so that none of their
# services is started or enabled, whatever their maintainer scripts ask:
# the suite needs promtool and node-exporter's program, not network daemons
# running on the developer's machine. For that install only:
#   - /usr/sbin/policy-rc.d answers 101 (denied) to invoke-rc.d and
#     deb-systemd-invoke; one of the administrator's own is put back after;
#   - each unit the packages bring is masked before dpkg unpacks it (apt
#     lists their .deb files to its DPkg::Pre-Install-Pkgs hook: this
#     script again), where nothing of the administrator's is at its name;
#   - a systemd preset "disable *" (for system and user units) has
#     deb-systemd-helper enable nothing and record the units as disabled,
#     so that an upgrade leaves them off.
# Then the masks and the preset go, an enable link made all the same (with
# no systemctl, deb-systemd-helper makes them itself) is taken out, and
# scripts/check-no-services.sh checks the packages the install added. The
# masks made are listed in /var/lib/kestrin-drawer-dev/, so that a run that
# was killed has its masks taken out by the next.
# Usage: scripts/install-quietly.sh PACKAGE...
set -eu
here=$(cd "$(dirname "$0")" && pwd)
policy=/usr/sbin/policy-rc.d
saved=/usr/sbin/policy-rc.d.before-install-quietly
mark="# install-quietly.sh: no service starts during this install"
preset=00-install-quietly.preset
masked=/var/lib/kestrin-drawer-dev/install-quietly.masked
systemd_runs() { [ -d /run/systemd/system ]; }

# The hook: masks each unit of the .deb files named on standard input, as
# systemctl mask does, and lists what it masked in $masked.
if [ "${1:-}" = --mask-units ]; then
    units=$(while read -r deb; do
        case "$deb" in *.deb) dpkg-deb --fsys-tarfile "$deb" | tar -t ;; esac
    done | sed -n 's#^\./\(usr/\)\{0,1\}lib/systemd/\(system\|user\)/\([^/]*\.\(service\|socket\|timer\|path\)\)$#\2 \3#p' | sort -u)
    printf '%s\n' "$units" | while read -r kind unit; do
        if [ -n "$unit" ] && [ ! -e "/etc/systemd/$kind/$unit" ] && [ ! -L "/etc/systemd/$kind/$unit" ]; then
            mkdir -p "/etc/systemd/$kind" "${masked%/*}"
            # Listed first: killed in between, a mask is never left unlisted.
            echo "$kind $unit" >>"$masked"
            ln -s /dev/null "/etc/systemd/$kind/$unit"
        fi
    done
    if systemd_runs; then systemctl daemon-reload || true; fi
    exit 0
fi

installed() { dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package}\n' | sed -n 's/^ii  *//p' | sort; }
links() { find /etc/systemd/system /etc/systemd/user -type l 2>/dev/null | sort; }

# Puts back what the install changed, also after a run that was killed.
restore() {
    if [ -f "$policy" ] && grep -qxF "$mark" "$policy"; then rm -f "$policy"; fi
    if { [ -e "$saved" ] || [ -L "$saved" ]; } && [ ! -e "$policy" ] && [ ! -L "$policy" ]; then
        mv "$saved" "$policy"
    fi
    for kind in system user; do
        rm -f "/etc/systemd/$kind-preset/$preset"
        rmdir "/etc/systemd/$kind-preset" 2>/dev/null || true
    done
    if [ -f "$masked" ]; then
        while read -r kind unit; do
            if [ "$(readlink "/etc/systemd/$kind/$unit")" = /dev/null ]; then
                rm -f "/etc/systemd/$kind/$unit"
            fi
        done <"$masked"
        if systemd_runs; then systemctl daemon-reload || true; fi
    fi
}
forget_masks() {
    rm -f "$masked"
    rmdir "${masked%/*}" 2>/dev/null || true
}

# Enable links to the units this install brought, made all the same.
take_out_links() {
    [ -f "$masked" ] || return 0
    links | comm -13 "$links_before" - | while read -r link; do
        if cut -d ' ' -f 2 "$masked" | grep -qxF "$(basename "$(readlink "$link")")"; then
            rm -f "$link"
        fi
    done
}

restore
forget_masks
before=$(mktemp) links_before=$(mktemp)
trap 'restore; take_out_links; forget_masks; rm -f "$before" "$links_before"' EXIT
trap 'exit 1' HUP INT TERM
installed >"$before"
links >"$links_before"
if [ -e "$policy" ] || [ -L "$policy" ]; then mv "$policy" "$saved"; fi
printf '#!/bin/sh\n%s\nexit 101\n' "$mark" >"$policy"
chmod 755 "$policy"
for kind in system user; do
    mkdir -p "/etc/systemd/$kind-preset"
    echo "disable *" >"/etc/systemd/$kind-preset/$preset"
done

apt-get install -y --no-install-recommends \
    -o "DPkg::Pre-Install-Pkgs::=$here/install-quietly.sh --mask-units" "$@"

restore
take_out_links
forget_masks
# shellcheck disable=SC2046
"$here/check-no-services.sh" $(installed | comm -13 "$before" -)
