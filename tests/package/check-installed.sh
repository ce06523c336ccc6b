#!/bin/bash
# The packaged program as installed, with no library anywhere but in the
# packages: the program's packages unpacked into a root of their own, the programs started
# headless from there.
#   - kestrin-drawer finds the Linux drawer library in /usr/lib/kestrin-drawer
#     and keeps running on an unconfigured drawer;
#   - a copy of the program elsewhere, started from a working directory
#     whose ../lib/kestrin-drawer holds the library, finds none;
#   - with the simulator package beside it, kestrin-drawer-simulator runs on
#     the simulated drawers and kestrin-drawer still on the real library;
#   - both desktop entries are valid and start what the packages hold.
# Usage: check-installed.sh PACKAGE_DIR
set -euo pipefail
package_dir=$1

. "$(dirname "$0")/common.sh"

work=$(mktemp -d)
pid=
cleanup() {
    if [ -n "$pid" ]; then kill -KILL "$pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

program_root=$work/program
both_root=$work/both
for package in kestrin-drawerd kestrin-drawer; do
    dpkg-deb -x "$(deb_of $package)" "$program_root"
    dpkg-deb -x "$(deb_of $package)" "$both_root"
done
dpkg-deb -x "$(deb_of kestrin-drawer-simulator)" "$both_root"

mkdir -m 700 "$work/runtime"
: >"$work/empty.conf"
unset LD_LIBRARY_PATH
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$work/runtime
export KESTRIN_DRAWERS_CONF=$work/empty.conf KESTRIN_SIM_STATE=$work/sim.state

# Waits up to 20 s, in steps of a tenth of a second, until the file holds
# the pattern; fails at once if the program has ended.
wait_for() {
    local file=$1 pattern=$2 tries=200
    while [ $tries -gt 0 ]; do
        if grep -q -- "$pattern" "$file" 2>/dev/null; then return 0; fi
        if ! kill -0 "$pid" 2>/dev/null; then return 1; fi
        sleep 0.1
        tries=$((tries - 1))
    done
    return 1
}

# Asks the running program to end; true when it ended with status 0.
terminate() {
    local status=0
    kill -TERM "$pid"
    wait "$pid" || status=$?
    pid=
    return $status
}

start() { # NAME PROGRAM [WORKING_DIRECTORY]
    (cd "${3:-$work}" && exec "$2") 2>"$work/$1.err" &
    pid=$!
}

# The installed program and its private library.
start program "$program_root/usr/bin/kestrin-drawer"
if wait_for "$work/program.err" "drawer 1 is not configured"; then
    terminate || fail "kestrin-drawer did not end cleanly on SIGTERM"
else
    fail "kestrin-drawer did not reach the drawer library: $(cat "$work/program.err")"
fi
if grep -q "Cannot load the drawer library" "$work/program.err"; then
    fail "kestrin-drawer: $(cat "$work/program.err")"
fi

# A copy elsewhere: not the private folder, and not one under the working
# directory.
if /sbin/ldconfig -p | grep -q 'libKestrinPOS_USB\.so '; then
    echo "SKIP: a drawer library is on this machine's loader path"
else
    mkdir "$work/copy"
    cp "$program_root/usr/bin/kestrin-drawer" "$work/copy/"
    status=0
    (cd "$program_root/usr/bin" && exec "$work/copy/kestrin-drawer") 2>"$work/copy.err" || status=$?
    if [ $status -ne 1 ] || ! grep -q "Cannot load the drawer library" "$work/copy.err"; then
        fail "a copy of the program ended with $status: $(cat "$work/copy.err")"
    fi
fi

# The simulator's launcher, with the real library installed too.
"$both_root/usr/bin/kestrin-drawer-sim" trace on >/dev/null
start simulator "$both_root/usr/bin/kestrin-drawer-simulator"
if wait_for "$work/sim.state.trace" "GetDrawerStatus"; then
    terminate || fail "kestrin-drawer-simulator did not end cleanly on SIGTERM"
else
    fail "kestrin-drawer-simulator did not call the simulated library: $(cat "$work/simulator.err")"
fi
if grep -q "not configured\|Cannot load" "$work/simulator.err"; then
    fail "kestrin-drawer-simulator: $(cat "$work/simulator.err")"
fi

start beside "$both_root/usr/bin/kestrin-drawer"
if wait_for "$work/beside.err" "drawer 1 is not configured"; then
    terminate || fail "kestrin-drawer beside the simulator did not end cleanly on SIGTERM"
else
    fail "kestrin-drawer beside the simulator did not use the real library: $(cat "$work/beside.err")"
fi

# The menu entries.
for entry in "$both_root"/usr/share/applications/*.desktop; do
    desktop-file-validate "$entry" || fail "$(basename "$entry") is not valid"
    command=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
    [ -x "$both_root/usr/bin/$command" ] || fail "$(basename "$entry") starts $command, not packaged"
done
simulator_entry=$both_root/usr/share/applications/kestrin-drawer-simulator.desktop
grep -qx "Name=Kestrin Cash Drawer USB Controller (simulated drawers)" "$simulator_entry" ||
    fail "the simulator's menu entry has another name"
grep -qx "Exec=kestrin-drawer-simulator" "$simulator_entry" ||
    fail "the simulator's menu entry does not start kestrin-drawer-simulator"

finish "The packaged programs find their packaged libraries."
