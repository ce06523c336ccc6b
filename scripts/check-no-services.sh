#!/bin/sh
# Fails, and says which, when a service of the given installed packages is
# running or enabled: a process that runs one of their programs, or a unit
# of theirs linked from /etc/systemd (a .wants or .requires link or an
# alias, which is what systemctl is-enabled reads).
# Usage: scripts/check-no-services.sh PACKAGE...
set -eu

found=0
say() {
    echo "check-no-services: $*" >&2
    found=1
}

# The programs that run now, one path a line.
running=$(mktemp)
trap 'rm -f "$running"' EXIT
for exe in /proc/[0-9]*/exe; do
    readlink "$exe" 2>/dev/null || true
done | sort -u >"$running"

for package in "$@"; do
    files=$(dpkg-query -L "$package" 2>/dev/null) || continue
    for unit in $(printf '%s\n' "$files" |
        sed -n 's#^\(/usr\)\{0,1\}/lib/systemd/\(system\|user\)/\([^/]*\.\(service\|socket\|timer\|path\)\)$#\3#p'); do
        links=$(find /etc/systemd/system /etc/systemd/user -type l -lname "*/$unit" 2>/dev/null)
        if [ -n "$links" ]; then say "$package's $unit is enabled:" "$links"; fi
    done
    # /bin, /sbin and /lib are in /usr on a merged system.
    for program in $(printf '%s\n' "$files" | sed 'p; s#^/\(bin\|sbin\|lib\)/#/usr/&#' |
        grep -xF -f "$running" | sort -u); do
        say "$package's $program is running"
    done
done
exit $found
