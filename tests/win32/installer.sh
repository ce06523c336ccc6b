#!/bin/bash
# The installer under Wine, silent, as a shop rolls it out: installed into a
# folder of its choosing, listed under the installed programs with a
# Start-menu shortcut, the folder closed to ordinary users; installed again
# over itself, in the same folder, with the simulated drawers; refused our
# drawer library while a vendor's is there, then given it and its event log
# source; removed by the uninstaller the listing names, which keeps the
# vendor's library a shop put beside the program, and drawers.conf.
# Wine's icacls changes nothing and logs the command line it was given
# (on its fixme channel): that log is what shows the folder closed.
# The event log source's message file is read by eventprobe, as the Event
# Viewer reads it: the library reports its messages under event ID 1.
#   installer.sh SETUP_EXE EVENT_PROBE WINE_RUN [WINE_RUN_ARGUMENT...]
set -euo pipefail
setup="$1" eventprobe="$2"
shift 2
wine_run=("$@")
"${wine_run[@]}" --check || exit

drive_c="$KESTRIN_WINE_DIR/prefix/drive_c"
folder='C:\KestrinTest' # /D= takes no quotes, so no spaces here
installed="$drive_c/KestrinTest"
menu="$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\KestrinCashDrawer'
source='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Kestrin Drawer'
config_dir="$drive_c/ProgramData/Kestrin"
icacls_log="$KESTRIN_WINE_DIR/icacls.log"

fail() { echo "FAIL: $*" >&2; exit 1; }
wine() { "${wine_run[@]}" "$@" | tr -d '\r'; }
value() { sed -n "s/^ *$1 *REG_[A-Z_]* *//p" <<<"$listing"; }
shortcut_to() { strings -a "$1" | grep -qiF "$2"; }

# What an earlier, failed run may have left.
wine reg delete "$key" /f >/dev/null 2>&1 || true
wine reg delete "$source" /f >/dev/null 2>&1 || true
rm -rf "$installed" "$menu"/Kestrin* "$config_dir"

# Each folder named is closed by three icacls runs, in this order.
closed() {
    local q='"' f="${1//\\/\\\\}"
    grep -F "stub: " "$icacls_log" | grep -F "$q$f$q" | sed 's/.*icacls.exe" "[^"]*" //' >"$icacls_log.$2"
    printf '%s\n' '"/setowner" "*S-1-5-32-544" "/Q"' '"/reset" "/Q"' \
        '"/inheritance:r" "/grant:r" "*S-1-5-32-544:(OI)(CI)F" "*S-1-5-18:(OI)(CI)F" "*S-1-5-32-545:(OI)(CI)RX" "/Q"' |
        cmp -s - "$icacls_log.$2"
}

KESTRIN_WINEDEBUG=-all,fixme+icacls wine "$setup" /S "/D=$folder" 2>"$icacls_log" ||
    fail "the silent install failed"
closed "$folder" folder || fail "the install folder was not closed to ordinary users: $(cat "$icacls_log")"
[ ! -e "$installed/kestrin-drawer-setup.exe" ] || fail "the drawers component is installed by default"
[ -f "$installed/kestrin-drawer.exe" ] || fail "the program is not installed"
[ ! -e "$installed/Simulated drawers" ] || fail "the simulated drawers are installed by default"
shortcut_to "$menu/Kestrin Cash Drawer USB Controller.lnk" "$folder\\kestrin-drawer.exe" ||
    fail "no Start-menu shortcut to the program"
listing="$(wine reg query "$key")"
[ "$(value InstallLocation)" = "$folder" ] || fail "InstallLocation is not $folder"
[ "$(value DisplayVersion)" = 1.0.0.0 ] || fail "DisplayVersion is not 1.0.0.0"
quiet="$(value QuietUninstallString)"
[ "$quiet" = "\"$folder\\uninstall.exe\" /S" ] || fail "QuietUninstallString is '$quiet'"
[ -f "$installed/uninstall.exe" ] || fail "the uninstaller is missing"

# The shop's own library, then the simulated drawers installed over it,
# into the same folder without being told.
echo vendor >"$installed/KestrinPOS_USB.dll"
wine "$setup" /S /SIMULATOR || fail "installing over the program failed"
simulated="$installed/Simulated drawers"
for file in kestrin-drawer.exe KestrinPOS_USB.dll kestrin-drawer-sim.exe; do
    [ -f "$simulated/$file" ] || fail "/SIMULATOR did not install $file"
done
[ "$(cat "$installed/KestrinPOS_USB.dll")" = vendor ] || fail "the vendor's library was replaced"
shortcut_to "$menu/Kestrin Cash Drawer USB Controller (simulated drawers).lnk" \
    "$folder\\Simulated drawers\\kestrin-drawer.exe" || fail "no shortcut to the simulated drawers"
KESTRIN_SIM_STATE="Z:${PWD//\//\\}\\installer.state" \
    wine "$folder\\Simulated drawers\\kestrin-drawer-sim.exe" status >/dev/null ||
    fail "the installed control tool does not run"

# Our drawer library never replaces the vendor's; once it is away, /DRAWERS
# installs ours, the setup tool and the event log source.
! wine "$setup" /S /DRAWERS || fail "/DRAWERS went ahead over the vendor's library"
[ "$(cat "$installed/KestrinPOS_USB.dll")" = vendor ] || fail "/DRAWERS replaced the vendor's library"
rm "$installed/KestrinPOS_USB.dll"
KESTRIN_WINEDEBUG=-all,fixme+icacls wine "$setup" /S /DRAWERS 2>"$icacls_log" ||
    fail "the install with /DRAWERS failed"
for file in KestrinPOS_USB.dll kestrin-drawer-setup.exe kestrin-drawer-events.dll; do
    [ -f "$installed/$file" ] || fail "/DRAWERS did not install $file"
done
cmp -s "$installed/KestrinPOS_USB.dll" "$(dirname "$setup")/real/KestrinPOS_USB.dll" ||
    fail "/DRAWERS installed another KestrinPOS_USB.dll than the build's"
listing="$(wine reg query "$source")"
[ "$(value EventMessageFile)" = "$folder\\kestrin-drawer-events.dll" ] ||
    fail "the event log source has no message file: $listing"
[ "$(wine "$eventprobe" "$(value EventMessageFile)" 1 'drawer 1: a test')" = 'drawer 1: a test' ] ||
    fail "the event log's message file does not show the library's messages"
closed 'C:\ProgramData\Kestrin' config || fail "the configuration's folder is not closed to ordinary users"
printf '[drawer 1]\ndevice = COM5\n' >"$config_dir/drawers.conf"

# The uninstaller carries on from a copy of itself, so its end is awaited by
# its work: the listing gone.
uninstaller="${quiet%\" /S}"
wine "${uninstaller#\"}" /S || fail "the silent uninstall failed"
for _ in $(seq 150); do
    wine reg query "$key" >/dev/null 2>&1 || break
    sleep 0.2
done
! wine reg query "$key" >/dev/null 2>&1 || fail "the uninstaller left the listing"
[ -z "$(find "$installed" -name '*.exe' 2>/dev/null)" ] || fail "the uninstaller left programs behind"
[ ! -e "$simulated" ] || fail "the uninstaller left the simulated drawers"
[ -z "$(find "$menu" -name 'Kestrin*')" ] || fail "the uninstaller left a shortcut"
[ ! -e "$installed/KestrinPOS_USB.dll" ] || fail "the uninstaller left our drawer library"
! wine reg query "$source" >/dev/null 2>&1 || fail "the uninstaller left the event log source"
[ -f "$config_dir/drawers.conf" ] || fail "the uninstaller took drawers.conf"
rm -rf "$installed" "$config_dir"
echo "the installer installs and removes the program silently"
