#!/bin/bash
# Start-up and idle CPU of the Win32 drawer window under Wine, against its
# floor: a bare window of the same size with a 100 ms timer that does
# nothing, measured in the same run, in turns.
#   bench/win32bench.sh [--runs N] [--idle SECONDS]
# Start-up: from the program's start to its window on the screen (mapped on
# the X display). Idle CPU: user and system time, in milliseconds per second,
# of the program's Wine process and of the wineserver, which runs its timer,
# over the idle seconds after two seconds of settling, with the pointer
# away from the window. The drawer program runs connected to a drawer, which
# it polls: on the test library, whose calls cost nothing, and on the
# simulated drawers, which look at their state file at every call.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=5 idle=10
while [ $# -gt 0 ]; do
    case "$1" in
    --runs) runs="$2"; shift 2 ;;
    --idle) idle="$2"; shift 2 ;;
    *) echo "usage: bench/win32bench.sh [--runs N] [--idle SECONDS]" >&2; exit 2 ;;
    esac
done

# The 32-bit program, the vendor library's own platform, where this machine
# runs 32-bit Wine; the 64-bit one otherwise.
arch=win32 triple=i686-w64-mingw32
if ! scripts/wine-run.sh --arch win32 --check >/dev/null 2>&1; then
    arch=win64 triple=x86_64-w64-mingw32
fi
build="build-$arch"
[ -f "$build/CMakeCache.txt" ] ||
    cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$triple.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --parallel 2 \
    --target kestrin-drawer KestrinPOS_USB kestrin-win32-floor testlib_full >/dev/null

work="$(mktemp -d -t kestrin-win32bench.XXXXXX)"
export KESTRIN_WINE_DIR="$work/wine"
wine_run=(scripts/wine-run.sh --arch "$arch")
trap '"${wine_run[@]}" --teardown; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM
"${wine_run[@]}" --setup
# The runner's display, to see the window appear.
DISPLAY=":$(cat "$KESTRIN_WINE_DIR/display")"
export DISPLAY XAUTHORITY="$KESTRIN_WINE_DIR/Xauthority"
export KESTRIN_SIM_STATE="Z:${work//\//\\}\\sim.state"

# Moves the pointer to the screen's corner, away from the window: Wine polls
# the pointer a hundred times a second while a button under it is hot.
park_pointer() {
    python3 - <<'PY'
import ctypes
x = ctypes.CDLL("libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x.XDefaultRootWindow.restype = ctypes.c_ulong
x.XWarpPointer.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong] + [ctypes.c_int] * 6
x.XCloseDisplay.argtypes = [ctypes.c_void_p]
display = x.XOpenDisplay(None)
x.XWarpPointer(display, 0, x.XDefaultRootWindow(display), 0, 0, 0, 0, 0, 0)
x.XCloseDisplay(display)
PY
}

now_ms() { echo $(($(date +%s%N) / 1000000)); }
# CPU time of a process so far, all its threads, in nanoseconds: finer than
# the clock ticks of /proc/PID/stat.
cpu_ns() { cat "/proc/$1"/task/*/schedstat | awk '{ sum += $1 } END { printf "%.0f", sum }'; }
# The process running a program of the runner's prefix: a Wine loader, or
# the prefix's wineserver, whose environment names the prefix.
prefix_pid() {
    local pid
    for pid in $(pgrep -f "$1"); do
        case "$(readlink "/proc/$pid/exe")" in /usr/lib/wine/$2*) ;; *) continue ;; esac
        tr '\0' '\n' <"/proc/$pid/environ" | grep -qx "WINEPREFIX=$KESTRIN_WINE_DIR/prefix" &&
            echo "$pid" && return
    done
}
loader=wine
[ "$arch" = win64 ] && loader=wine64

# Nanoseconds over the idle time in milliseconds per second.
per_second() { awk -v ns="$1" -v s="$idle" 'BEGIN { printf "%.2f", ns / 1e6 / s }'; }

# One run: "<start-up ms> <program CPU ms/s> <wineserver CPU ms/s>".
measure() {
    local exe="$1" title="$2" started pid server shown before server_before
    started="$(now_ms)"
    "${wine_run[@]}" --timeout $((idle + 60)) "$exe" >/dev/null 2>&1 &
    until xwininfo -name "$title" 2>/dev/null | grep -q IsViewable; do
        if [ $(($(now_ms) - started)) -gt 60000 ]; then
            echo "win32bench: $exe showed no window within a minute" >&2
            exit 1
        fi
        sleep 0.005
    done
    shown="$(now_ms)"
    park_pointer
    pid="$(prefix_pid "$(basename "$exe")" "$loader")"
    server="$(prefix_pid "wineserver.* -p[0-9]+$" wineserver)"
    if [ -z "$pid" ] || [ -z "$server" ]; then
        echo "win32bench: the processes of $exe or of its wineserver are not to be found" >&2
        exit 1
    fi
    sleep 2
    before="$(cpu_ns "$pid")" server_before="$(cpu_ns "$server")"
    sleep "$idle"
    echo "$((shown - started))" "$(per_second $(($(cpu_ns "$pid") - before)))" \
        "$(per_second $(($(cpu_ns "$server") - server_before)))"
    # Closed as a user would close it (WM_CLOSE): a Wine process killed
    # outright can leave the next program waiting for its window for ever.
    "${wine_run[@]}" taskkill /im "$(basename "$exe")" >/dev/null 2>&1
    wait
}

# The median of a column of numbers, with their range.
median() { sort -g | awk '{ v[NR] = $1 } END { printf "%s (%s-%s)", v[int((NR + 1) / 2)], v[1], v[NR] }'; }

# The program beside the test library, in a folder of its own.
mkdir "$work/testlib"
cp "$build/bin/kestrin-drawer.exe" "$build/tests/libs/full/KestrinPOS_USB.dll" "$work/testlib/"

title="Kestrin Cash Drawer USB Controller"
declare -A exe=([floor]="$build/bench/kestrin-win32-floor.exe"
    [testlib]="$work/testlib/kestrin-drawer.exe" [simulated]="$build/bin/kestrin-drawer.exe")
declare -A caption=([floor]="Kestrin Floor" [testlib]="$title" [simulated]="$title")
kinds=(floor testlib simulated)
results="$work/results"
# One start not counted, as the first after the prefix is made is slower;
# then each round in another order, so that none always goes first.
measure "${exe[floor]}" "${caption[floor]}" >/dev/null
for round in $(seq 0 $((runs - 1))); do
    for i in 0 1 2; do
        kind="${kinds[$(((round + i) % 3))]}"
        line="$(measure "${exe[$kind]}" "${caption[$kind]}")"
        echo "$kind $line" >>"$results"
    done
done

echo "$arch build under $("/usr/lib/wine/$loader" --version), $runs runs each, ${idle} s idle"
echo "medians, with the range in brackets"
printf '%-34s %18s %20s %22s\n' "" "start-up ms" "idle CPU ms/s" "wineserver CPU ms/s"
for what in floor testlib simulated; do
    case "$what" in
    floor) name="floor (bare window, 100 ms timer)" ;;
    testlib) name="drawer window, test library" ;;
    simulated) name="drawer window, simulated drawers" ;;
    esac
    printf '%-34s %18s %20s %22s\n' "$name" \
        "$(awk -v w="$what" '$1 == w { print $2 }' "$results" | median)" \
        "$(awk -v w="$what" '$1 == w { print $3 }' "$results" | median)" \
        "$(awk -v w="$what" '$1 == w { print $4 }' "$results" | median)"
done
