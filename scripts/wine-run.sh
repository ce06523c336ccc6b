#!/bin/bash
# Runs a Windows program built here under Wine, headless, with a timeout, and
# exits with its exit code.
#
#   scripts/wine-run.sh [--arch win32|win64] [--timeout SECONDS] PROGRAM [ARGUMENT...]
#   scripts/wine-run.sh [--arch win32|win64] --setup      make or reuse the prefix, start the display
#   scripts/wine-run.sh [--arch win32|win64] --teardown   end everything --setup started
#   scripts/wine-run.sh [--arch win32|win64] --check      exit 77 where this Wine cannot run
#
# The prefix (WINEARCH=win32, or win64 for the 64-bit build), its HOME and
# its Xvfb display live in KESTRIN_WINE_DIR, by default a private folder
# under /tmp. The tests make it once per run (a ctest fixture runs --setup
# and --teardown); a program run by hand without --setup gets one made and
# ended around it. A prefix already booted is reused: booting one takes
# seconds. PROGRAM may also be one of Wine's own, such as reg or cmd.
#
# KESTRIN_WINE_TIMEOUT: seconds a program may take (60 unless --timeout).
# KESTRIN_WINEDEBUG: Wine's debug channels to show (none unless given), such
# as fixme+icacls, whose stand-in logs the command line it was given.
# Exit code 77: this machine cannot run programs of that bitness (a kernel
# without 32-bit support runs no 32-bit Wine); ctest reports it as skipped.
set -euo pipefail

arch=win32
timeout_s="${KESTRIN_WINE_TIMEOUT:-60}"
action=run
while [ $# -gt 0 ]; do
    case "$1" in
    --arch) arch="$2"; shift 2 ;;
    --timeout) timeout_s="$2"; shift 2 ;;
    --setup) action=setup; shift ;;
    --teardown) action=teardown; shift ;;
    --check) action=check; shift ;;
    --) shift; break ;;
    *) break ;;
    esac
done
say() { echo "wine-run: $*" >&2; }
case "$arch" in
win32) loader=/usr/lib/wine/wine ;;
win64) loader=/usr/lib/wine/wine64 ;;
*) say "--arch must be win32 or win64"; exit 2 ;;
esac
if [ "$action" = run ] && [ $# -eq 0 ]; then
    say "usage: wine-run.sh [--arch win32|win64] [--timeout SECONDS] PROGRAM [ARGUMENT...]"
    exit 2
fi

dir="${KESTRIN_WINE_DIR:-${TMPDIR:-/tmp}/kestrin-wine-$(id -u)-$arch}"
export WINEPREFIX="$dir/prefix" WINEARCH="$arch" HOME="$dir/home" WINELOADER="$loader"
export XAUTHORITY="$dir/Xauthority" WINEDEBUG="${KESTRIN_WINEDEBUG:--all}"
# No Mono or Gecko download prompts, no desktop menu entries, and no
# debugger: with winedbg a crashing program waits forever for someone.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

if [ ! -x "$loader" ]; then
    say "$loader is missing: install wine and wine32 (scripts/install-deps.sh does)"
    # test.sh goes on without the 32-bit Wine when it cannot be installed.
    [ "$arch" = win32 ] && exit 77
    exit 1
fi
if ! "$loader" --version >/dev/null 2>&1; then
    say "this machine cannot run $loader (a $arch Wine); skipped"
    exit 77
fi

# The folder must be this user's own: another account must not plant a
# prefix, a display or a cookie here.
private_dir() {
    mkdir -p -m 700 "$1"
    if [ -L "$1" ] || [ ! -O "$1" ] || [ "$(stat -c %a "$1")" != 700 ]; then
        say "$1 is not a private folder of this user"
        exit 1
    fi
}

display_alive() {
    [ -s "$dir/display" ] && [ -s "$dir/xvfb.pid" ] && kill -0 "$(cat "$dir/xvfb.pid")" 2>/dev/null
}

# An Xvfb of our own on the first free display; only holders of its cookie
# may connect. It tells its number on a pipe once it accepts clients.
start_display() {
    local cookie fifo display
    cookie="$(mcookie)"
    rm -f "$dir/display"
    : >"$dir/server.auth"
    : >"$XAUTHORITY"
    xauth -q -f "$dir/server.auth" add :0 MIT-MAGIC-COOKIE-1 "$cookie"
    fifo="$dir/displayfd"
    rm -f "$fifo"
    mkfifo -m 600 "$fifo"
    Xvfb -displayfd 9 -auth "$dir/server.auth" -nolisten tcp -screen 0 1280x1024x24 \
        9>"$fifo" </dev/null >"$dir/xvfb.log" 2>&1 &
    echo $! >"$dir/xvfb.pid"
    display=""
    read -r -t 15 display <"$fifo" || true
    rm -f "$fifo"
    if [ -z "$display" ]; then
        say "Xvfb did not start:"
        cat "$dir/xvfb.log" >&2
        exit 1
    fi
    xauth -q -f "$XAUTHORITY" add ":$display" MIT-MAGIC-COOKIE-1 "$cookie"
    echo "$display" >"$dir/display"
}

boot_prefix() {
    rm -rf "$WINEPREFIX" "$dir/booted"
    mkdir -p "$WINEPREFIX"
    if ! timeout -k 5 180 "$loader" wineboot --init >"$dir/wineboot.log" 2>&1; then
        say "wineboot failed:"
        cat "$dir/wineboot.log" >&2
        exit 1
    fi
    # Wine's own faces, among them "MS Sans Serif"; without them in the
    # prefix's Fonts folder that name resolves to some other face.
    cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/"
    touch "$dir/booted"
}

setup() {
    private_dir "$dir"
    private_dir "$HOME"
    exec 8>"$dir/lock"
    flock -w 300 8
    # Without the lock's descriptor: what this starts outlives us, and must
    # not keep the lock held.
    start 8>&-
    flock -u 8
    exec 8>&-
}

start() {
    display_alive || start_display
    export DISPLAY=":$(cat "$dir/display")"
    [ -f "$dir/booted" ] && [ -f "$WINEPREFIX/system.reg" ] || boot_prefix
    if [ ! -f "$dir/server" ]; then
        # A server that stays between programs saves seconds on each start;
        # the one left by wineboot is not persistent. At most ten idle
        # minutes, should the teardown never come.
        wineserver -k 2>/dev/null || true
        wineserver -w 2>/dev/null || true
        wineserver -p600 </dev/null >>"$dir/wineserver.log" 2>&1
        # Wine's own services and the desktop stay as long as the server,
        # with the output of whatever started them: started here, they hold
        # no test's output open, which would keep ctest waiting on it.
        timeout -k 5 120 "$loader" wineboot </dev/null >>"$dir/wineboot.log" 2>&1
        touch "$dir/server"
        # The display goes with the server.
        setsid sh -c 'wineserver -w; kill "$1"' sh "$(cat "$dir/xvfb.pid")" \
            </dev/null >/dev/null 2>&1 &
    fi
}

teardown() {
    [ -d "$dir" ] || return 0
    exec 8>"$dir/lock"
    flock -w 300 8
    wineserver -k 2>/dev/null || true
    if [ -s "$dir/xvfb.pid" ]; then
        kill "$(cat "$dir/xvfb.pid")" 2>/dev/null || true
    fi
    rm -f "$dir/server" "$dir/display" "$dir/xvfb.pid" "$dir/server.auth" "$XAUTHORITY"
    flock -u 8
}

case "$action" in
check) exit 0 ;;
setup) setup; exit 0 ;;
teardown) teardown; exit 0 ;;
esac

own_session=false
if [ ! -f "$dir/server" ] || ! display_alive; then
    own_session=true
    setup
fi
export DISPLAY=":$(cat "$dir/display")"
status=0
timeout -k 5 "$timeout_s" "$loader" "$@" || status=$?
if [ "$status" -eq 124 ]; then
    say "$1 did not finish within $timeout_s s"
fi
if $own_session; then
    teardown
fi
exit "$status"
