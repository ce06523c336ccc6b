#!/bin/bash
# The simulated drawers under Wine: the control tool and a host of the
# library share one state file; a host that keeps the library loaded sees
# every change the tool makes, and its calls are traced.
#   simulator.sh BIN_DIR PROBE_EXE WINE_RUN [WINE_RUN_ARGUMENT...]
set -euo pipefail
bin="$1" probe="$2"
shift 2
wine_run=("$@")
"${wine_run[@]}" --check || exit
work="$PWD/simulator"
rm -rf "$work"
mkdir -p "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }
sim() { "${wine_run[@]}" "$bin/kestrin-drawer-sim.exe" "$@" | tr -d '\r'; }

# Without a path of its own the state lives in the user's local app data.
sim status | grep -q 'state file C:\\users\\.*\\AppData\\Local\\kestrin-drawer-sim.state$' ||
    fail "the default state file is not in the local application data"
status=0
KESTRIN_SIM_STATE='state' "${wine_run[@]}" "$bin/kestrin-drawer-sim.exe" status 2>/dev/null ||
    status=$?
[ "$status" -eq 1 ] || fail "a relative KESTRIN_SIM_STATE was accepted ($status)"

# A path of this test's own (Z: is the Unix root).
export KESTRIN_SIM_STATE="Z:${work//\//\\}\\sim.state"
sim reset
sim trace on >/dev/null

coproc PROBE { "${wine_run[@]}" "$probe" "$bin/KestrinPOS_USB.dll" 2>&1; }
ask() {
    echo "$1 $2" >&"${PROBE[1]}"
    IFS= read -r -t 20 answer <&"${PROBE[0]}" || fail "no answer to $1 $2"
    answer="${answer%$'\r'}"
}
expect() {
    ask "$1" "$2"
    [[ "$answer" =~ ^$3$ ]] || fail "$1 $2 answered '$answer', not $3"
}

expect GetDrawerHandle 2 0 # drawer 3 starts unplugged
sim plug 3
expect GetDrawerHandle 2 '[1-9][0-9]*'
handle="$answer"
expect GetDrawerStatus "$handle" 1
sim open 3
expect GetDrawerStatus "$handle" 2
sim mute 3
expect OpenDrawer "$handle" 0
sim unmute 3
sim close 3
expect OpenDrawer "$handle" 1
sim status | grep -q '^#3 *plugged *open *yes *1$' || fail "the tool does not see drawer 3 open"
expect ReleaseDrawerHandle "$handle" -
expect GetDrawerStatus "$handle" 0
exec {PROBE[1]}>&-
wait "$PROBE_PID" || fail "the probe failed"

trace="$work/sim.state.trace"
[ "$(grep -c '^[0-9]* [A-Za-z]* [0-9]* [-0-9]*$' "$trace")" -eq 8 ] ||
    fail "the trace has not one line per call: $(cat "$trace")"
grep -q "^[0-9]* GetDrawerHandle 2 $handle$" "$trace" || fail "GetDrawerHandle is not traced"
echo "the simulated drawers work under Wine"
