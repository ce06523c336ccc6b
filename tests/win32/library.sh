#!/bin/bash
# Our drawer library under Wine, driven through its four entry points (by
# simprobe), configured by C:\ProgramData\Kestrin\drawers.conf, against
# printers played by fake-printer: one on 127.0.0.1, one on a
# pseudo-terminal that the prefix takes as COM5.
#   library.sh DLL PROBE_EXE FAKE_PRINTER WINE_RUN [WINE_RUN_ARGUMENT...]
set -euo pipefail
dll="$1" probe="$2" fake="$3"
shift 3
wine_run=("$@")
"${wine_run[@]}" --check || exit
work="$PWD/library"
rm -rf "$work"
mkdir -p "$work"
prefix="$KESTRIN_WINE_DIR/prefix"
conf="$prefix/drive_c/ProgramData/Kestrin/drawers.conf"
mkdir -p "$(dirname "$conf")"
# The prefix is shared with the other tests; a failure leaves no printer.
pids=()
trap 'rm -f "$conf"; kill "${pids[@]}" 2>/dev/null || true' EXIT
# Wine passes the environment on: the library must find its default file.
unset KESTRIN_DRAWERS_CONF

passed=0 failed=0
check() {
    if [ "$2" = true ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $1" >&2
    fi
}
fail() { echo "FAIL: $*" >&2; echo "$passed passed, $((failed + 1)) failed"; exit 1; }

# A process on two FIFOs: its input is ${NAME}_in, its output ${NAME}_out.
# It holds none of the others' ends, so that each ends when its input does.
fds=()
start() {
    local name="$1" fd
    shift
    mkfifo "$work/$name.in" "$work/$name.out"
    exec {in}<>"$work/$name.in" {out}<>"$work/$name.out"
    fds+=("$in" "$out")
    (
        exec <"$work/$name.in" >"$work/$name.out" 2>>"$work/$name.err"
        for fd in "${fds[@]}"; do exec {fd}>&-; done
        exec "$@"
    ) &
    pids+=("$!")
    printf -v "${name}_in" %s "$in"
    printf -v "${name}_out" %s "$out"
}
# Reads the process's lines until one matches; the line is in $line.
expect_line() {
    local fd="$2_out"
    while IFS= read -r -t 10 line <&"${!fd}"; do
        line="${line%$'\r'}"
        [[ "$line" =~ $1 ]] && return 0
    done
    return 1
}
tell() { local fd="$1_in"; echo "$2" >&"${!fd}"; }
# One call of the library: the answer in $answer, its time in $took (µs).
ask() {
    tell probe "$1 $2"
    expect_line '^-?[0-9-]+ [0-9]+$' probe || fail "no answer to $1 $2"
    answer="${line% *}" took="${line#* }"
}
# Asks for the status until it is the one expected, for up to 5 s.
status_becomes() {
    local until=$((SECONDS + 5))
    while ask GetDrawerStatus "$1"; [ "$answer" != "$2" ]; do
        [ "$SECONDS" -lt "$until" ] || return 1
        sleep 0.05
    done
}
# Replaces the file's sections; the library reads it again within a second.
configure() { printf '%s\n' "$@" >"$conf"; }
# Whether what the printer received ends with the bytes, within 5 s.
received_ends() {
    local until=$((SECONDS + 5))
    while tell "$1" received && expect_line '^received' "$1"; do
        [[ "$line" == *" $2" ]] && return 0
        [ "$SECONDS" -lt "$until" ] || return 1
        sleep 0.05
    done
    return 1
}

start net "$fake"
expect_line '^tcp://' net || fail "the network printer did not start"
address="$line"
start probe "${wine_run[@]}" "$probe" "$dll" --timed
configure "[drawer 1]" "device = $address" "sensor = open-high"

ask GetDrawerHandle 0
[ "$answer" -gt 0 ] || fail "no handle for the network printer's drawer ($answer)"
net_drawer="$answer"
check "closed, open high" "$(status_becomes "$net_drawer" 1 && echo true)"
tell net open
check "open, open high" "$(status_becomes "$net_drawer" 2 && echo true)"
tell net close
check "closed again" "$(status_becomes "$net_drawer" 1 && echo true)"

# Another client of the printer (the spooler) is served between the polls,
# on a printer that serves one connection at a time: the library holds it
# only for an exchange.
tell net one-at-a-time
expect_line '^one at a time' net || fail "the network printer cannot serve one at a time"
second_client_answered() {
    local reply
    exec {client}<>"/dev/tcp/127.0.0.1/${address##*:}"
    printf '\x10\x04\x01' >&"$client"
    reply="$(timeout 2 head -c 1 <&"$client" | od -An -tx1)"
    exec {client}>&-
    [ -n "$reply" ]
}
check "a second client is served between polls" "$(second_client_answered && echo true)"
check "the library still answers" "$(status_becomes "$net_drawer" 1 && echo true)"
ask OpenDrawer "$net_drawer"
check "a kick is accepted" "$([ "$answer" = 1 ] && echo true)"
check "the kick's bytes" "$(expect_line '^kick' net && [ "$line" = "kick 1B 70 00 19 FA" ] && echo true)"
tell net close

# Open low, on pin 5 with pulse times of its own: an edit of the file.
configure "[drawer 1]" "device = $address" "sensor = open-low" "connector = pin5" \
    "pulse-on = 100" "pulse-off = 200"
check "closed reads open, open low" "$(status_becomes "$net_drawer" 2 && echo true)"
ask OpenDrawer "$net_drawer"
check "pin 5's kick" "$(expect_line '^kick' net && [ "$line" = "kick 1B 70 01 32 64" ] && echo true)"
tell net close
configure "[drawer 1]" "device = $address" "sensor = open-high"
check "back to open high" "$(status_becomes "$net_drawer" 1 && echo true)"

# A silent printer: no call waits for it (an exchange may take 250 ms; a
# call takes a lock and reads), and it soon counts as not answering.
tell net silent
slowest=0
for _ in $(seq 20); do
    ask GetDrawerStatus "$net_drawer"
    [ "$took" -gt "$slowest" ] && slowest="$took"
    ask OpenDrawer "$net_drawer"
    [ "$took" -gt "$slowest" ] && slowest="$took"
    sleep 0.05
done
echo "the slowest call on a silent printer took ${slowest} µs"
check "calls never wait on a silent printer" \
    "$([ "$slowest" -lt 100000 ] && echo true)"
check "a silent printer is not there" "$(status_becomes "$net_drawer" 0 && echo true)"
tell net answer
tell net close # the kicks taken before it counted as silent opened it
check "it answers again" "$(status_becomes "$net_drawer" 1 && echo true)"

# Garbage with status patterns among it is never a status.
tell net garbage
seen_open=false
until=$((SECONDS + 3))
while [ "$SECONDS" -lt "$until" ]; do
    ask GetDrawerStatus "$net_drawer"
    [ "$answer" = 2 ] && seen_open=true
    [ "$answer" = 0 ] && break
done
check "garbage is not taken for a status" "$([ "$seen_open:$answer" = false:0 ] && echo true)"
tell net answer
check "answers after garbage" "$(status_becomes "$net_drawer" 1 && echo true)"

# Gone from the network and back.
tell net vanish
check "a printer that goes away" "$(status_becomes "$net_drawer" 0 && echo true)"
tell net back
check "comes back" "$(status_becomes "$net_drawer" 1 && echo true)"

# Star line mode: its own kick, both drawers, in 10 ms units. Without a
# sensor the open drawer reads closed once the edit is read.
tell net open
status_becomes "$net_drawer" 2 || fail "the drawer did not open"
configure "[drawer 1]" "device = $address" "protocol = star" "connector = both" \
    "pulse-on = 200" "pulse-off = 100"
check "Star without a sensor" "$(status_becomes "$net_drawer" 1 && echo true)"
ask OpenDrawer "$net_drawer"
check "Star's kick bytes" "$(received_ends net "1B 07 14 0A 07 1B 07 14 0A 1A" && echo true)"

# A pseudo-terminal as COM5: a serial printer at 19200 baud.
start pty "$fake" --pty
expect_line '^/dev/pts/' pty || fail "the serial printer did not start"
ln -sfn "$line" "$prefix/dosdevices/com5"
configure "[drawer 2]" "device = COM5" "speed = 19200" "sensor = open-high"
ask GetDrawerHandle 1
serial_drawer="$answer"
check "a handle on COM5" "$([ "$serial_drawer" -gt 0 ] && echo true)"
check "closed on COM5" "$(status_becomes "$serial_drawer" 1 && echo true)"
tell pty open
check "open on COM5" "$(status_becomes "$serial_drawer" 2 && echo true)"
tell pty close
check "closed again on COM5" "$(status_becomes "$serial_drawer" 1 && echo true)"
ask OpenDrawer "$serial_drawer"
check "the kick on COM5" "$(expect_line '^kick' pty && [ "$line" = "kick 1B 70 00 19 FA" ] && echo true)"
tell pty speed
check "COM5 at 19200 baud" "$(expect_line '^speed' pty && [ "$line" = "speed 19200" ] && echo true)"
tell pty garbage
seen_open=false
until=$((SECONDS + 3))
while [ "$SECONDS" -lt "$until" ]; do
    ask GetDrawerStatus "$serial_drawer"
    [ "$answer" = 2 ] && seen_open=true
    [ "$answer" = 0 ] && break
done
check "a bad answer on COM5 is no status" "$([ "$seen_open:$answer" = false:0 ] && echo true)"
tell pty answer

# A trigger box on the same port, as \\.\COM5, at its own speed.
configure "[drawer 2]" 'device = \\.\COM5' "protocol = trigger" "speed = 1200" "kick = 1B 07"
check "the trigger box is there" "$(status_becomes "$serial_drawer" 1 && echo true)"
tell pty speed
check "the trigger box at 1200 baud" \
    "$(expect_line '^speed' pty && [ "$line" = "speed 1200" ] && echo true)"
ask OpenDrawer "$serial_drawer"
check "the trigger box's kick" "$(received_ends pty "1B 07" && echo true)"

tell probe "ReleaseDrawerHandle $net_drawer"
exec {probe_in}>&-
tell net quit
tell pty quit
wait
# A problem seen at every poll is told once.
repeated="$(grep '^KestrinPOS_USB: ' "$work/probe.err" | sort | uniq -d)"
check "no message told again at every poll" "$([ -z "$repeated" ] && echo true)"
[ -z "$repeated" ] || echo "told again: $repeated" >&2
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
