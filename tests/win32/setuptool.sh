#!/bin/bash
# The setup tool under Wine, its output read through a pipe as a script
# reads it: a network printer asked, its drawer written into the default
# drawers.conf and fired; a printer on a pseudo-terminal the prefix takes as
# COM5 asked; a slip in the file named with its line; a drawer taken out;
# a COM port Windows lists found by detect.
#   setuptool.sh SETUP_EXE FAKE_PRINTER WINE_RUN [WINE_RUN_ARGUMENT...]
set -euo pipefail
tool="$1" fake="$2"
shift 2
wine_run=("$@")
"${wine_run[@]}" --check || exit
work="$PWD/setuptool"
rm -rf "$work"
mkdir -p "$work"
prefix="$KESTRIN_WINE_DIR/prefix"
conf="$prefix/drive_c/ProgramData/Kestrin/drawers.conf"
serialcomm='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'
# Wine passes the environment on: the tool must use its default file.
unset KESTRIN_DRAWERS_CONF
rm -rf "$(dirname "$conf")" # as in a fresh prefix: the folder too

fail() { echo "FAIL: $*" >&2; exit 1; }
# The tool's standard output in $out, its standard error in $err, its
# exit status in $status.
run() {
    status=0
    out="$("${wine_run[@]}" "$tool" "$@" 2>"$work/err" | tr -d '\r')" || status=$?
    err="$(tr -d '\r' <"$work/err")"
}
printers=()
printer() {
    "$fake" "$@" </dev/null >"$work/printer$#.out" 2>&1 &
    printers+=($!)
    for _ in $(seq 50); do
        [ -s "$work/printer$#.out" ] && break
        sleep 0.1
    done
    head -1 "$work/printer$#.out"
}
cleanup() {
    kill "${printers[@]}" 2>/dev/null || true
    rm -f "$prefix/dosdevices/com5"
    "${wine_run[@]}" reg delete "$serialcomm" /v 'KestrinTest' /f >/dev/null 2>&1 || true
}
trap cleanup EXIT

network="$(printer)"
run detect --network "${network#tcp://}"
[[ $status = 0 && $out = *"answered the status request"*"sensor (pin 3) low"* ]] ||
    fail "detect --network did not show the printer's answer through a pipe: $status $out $err"

run set 1 "device=$network" sensor=open-high
grep -qx "device = $network" "$conf" || fail "set did not write the default drawers.conf: $out $err"
run kick 1
[[ $status = 0 && $out = *"went from closed to open"* ]] || fail "kick: $status $out $err"
grep -qx 'kick 1B 70 00 19 FA' "$work/printer0.out" || fail "the printer got no kick"

ln -sfn "$(printer --pty)" "$prefix/dosdevices/com5"
run set 2 device=COM5 sensor=open-high
run probe 2
[[ $status = 0 && $out = *"yes, all 5 times"* ]] || fail "probe of COM5: $status $out $err"

printf '[drawer 3]\ndevice = COM5\nsensor open-high\n' >>"$conf"
line="$(grep -n '^sensor open-high' "$conf" | cut -d: -f1)"
run probe 3
[[ $status = 6 && $err = *"drawers.conf:$line: expected key = value"* ]] ||
    fail "the slip on line $line was not named: $status $err"

run remove 1
[[ $status = 0 ]] && ! grep -q '^\[drawer 1\]' "$conf" && grep -q '^\[drawer 2\]' "$conf" ||
    fail "remove 1: $status $out $err"

"${wine_run[@]}" reg add "$serialcomm" /v 'KestrinTest' /d COM9 /f >/dev/null
run detect
[[ $out = *"COM port COM9"*"device:   COM9"* ]] || fail "detect did not list COM9: $out $err"
echo "the setup tool finds, writes, asks and fires drawers"
