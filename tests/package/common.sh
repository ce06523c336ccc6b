# What the package checks share: counting failures, finding the one .deb
# of a package in the package folder (with package_dir set), and a view of
# this machine for dpkg to change. Sourced.

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

deb_of() {
    local found=("$package_dir/$1"_*.deb)
    if [ ${#found[@]} -ne 1 ] || [ ! -f "${found[0]}" ]; then
        echo "FAIL: no single $1 package in $package_dir: ${found[*]}" >&2
        exit 1
    fi
    echo "${found[0]}"
}

# Ends the check: how many failed, or what holds.
finish() {
    if [ $failures -ne 0 ]; then
        echo "$failures check(s) failed"
        exit 1
    fi
    echo "$1"
}

# A copy-on-write view of this machine in FOLDER, for dpkg and apt to
# change: an overlay over / with /dev, and /run and /tmp of its own, in the
# check's own mount namespace. Sets root and upper, the changes.
overlay_root() { # FOLDER
    mkdir "$1" && mount -t tmpfs tmpfs "$1"
    upper=$1/upper root=$1/root
    mkdir "$upper" "$1/work" "$root"
    mount -t overlay overlay -o "lowerdir=/,upperdir=$upper,workdir=$1/work" "$root"
    mount --rbind /dev "$root/dev"
    for dir in run tmp; do mount -t tmpfs tmpfs "$root/$dir"; done
    rm -f "$root/var/lib/man-db/auto-update" # no index of the manual pages
}

# Stand-ins in $root/stand-in for the tools named, that record their calls
# in /stand-in/calls; deb-systemd-helper, and systemctl on files, do their
# work too, and the stand-in systemd runs no unit.
stand_ins() { # TOOL...
    mkdir -p "$root/stand-in"
    cat >"$root/stand-in/record" <<'EOF'
#!/bin/sh
echo "${0##*/} $*" >>/stand-in/calls
case "${0##*/} $*" in
deb-systemd-helper*) exec /usr/bin/deb-systemd-helper "$@" ;;
"systemctl --root="*) exec /usr/bin/systemctl "$@" ;;
"systemctl --system is-enabled "*) exec /usr/bin/systemctl --root=/ "$@" ;;
"systemctl --system --quiet is-active "*) exit 3 ;; # nothing runs that it did not start
esac
EOF
    chmod 755 "$root/stand-in/record"
    for tool in "$@"; do ln -s record "$root/stand-in/$tool"; done
}
