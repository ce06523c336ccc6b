#!/bin/bash
# The installer under Wine, silent, as a shop rolls it out: installed into a
# folder of its choosing, listed under the installed programs with a
# Start-menu shortcut; installed again over itself, in the same folder, with
# the simulated drawers; removed by the uninstaller the listing names, which keeps the
# vendor's library a shop put beside the program.
#   installer.sh SETUP_EXE WINE_RUN [WINE_RUN_ARGUMENT...]
set -euo pipefail
setup="$1"
shift
wine_run=("$@")
"${wine_run[@]}" --check || exit

drive_c="$KESTRIN_WINE_DIR/prefix/drive_c"
folder='C:\KestrinTest' # /D= takes no quotes, so no spaces here
installed="$drive_c/KestrinTest"
menu="$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\KestrinCashDrawer'

fail() { echo "FAIL: $*" >&2; exit 1; }
wine() { "${wine_run[@]}" "$@" | tr -d '\r'; }
value() { sed -n "s/^ *$1 *REG_[A-Z]* *//p" <<<"$listing"; }
shortcut_to() { strings -a "$1" | grep -qiF "$2"; }

# What an earlier, failed run may have left.
wine reg delete "$key" /f >/dev/null 2>&1 || true
rm -rf "$installed" "$menu"/Kestrin*

wine "$setup" /S "/D=$folder" || fail "the silent install failed"
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

# The uninstaller carries on from a copy of itself, so its end is awaited by
# its work: the listing gone.
uninstaller="${quiet%\" /S}"
wine "${uninstaller#\"}" /S || fail "the silent uninstall failed"
for _ in $(seq 150); do
    wine reg query "$key" >/dev/null 2>&1 || break
    sleep 0.2
done
! wine reg query "$key" >/dev/null 2>&1 || fail "the uninstaller left the listing"
[ -z "$(find "$installed" -name '*.exe')" ] || fail "the uninstaller left programs behind"
[ ! -e "$simulated" ] || fail "the uninstaller left the simulated drawers"
[ -z "$(find "$menu" -name 'Kestrin*')" ] || fail "the uninstaller left a shortcut"
[ "$(cat "$installed/KestrinPOS_USB.dll")" = vendor ] || fail "the uninstaller took the vendor's library"
rm -rf "$installed"
echo "the installer installs and removes the program silently"
