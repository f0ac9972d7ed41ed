#!/usr/bin/env bash
# dc-sandbox run as an integrator drives it: two seats, a request to each,
# signals, and the end of input; its usage errors; and the real compositors
# of GNOME and KDE on Wayland beside a command.
# Usage: check-sandbox-run.sh BUILD_DIR
set -uo pipefail

sandbox=$1/bin/dc-sandbox
[[ $(id -u) == 0 ]] || { echo "needs root (private mount namespace)"; exit 77; }
fail() {
    echo "FAILED: $*"
    exit 1
}
out=$(mktemp /tmp/dc-sandbox-run.XXXXXX)
fifo=$out.in
trap 'rm -f "$out" "$fifo"' EXIT

for bad in "" "walk" "run --seats 0" "run --desktop xfce" "run --wayland --mate-screensaver" "run extra"; do
    # shellcheck disable=SC2086 # the words are the arguments
    timeout 10 "$sandbox" $bad >/dev/null 2>&1
    status=$?
    ((status == 2)) || fail "'$bad' exited with $status, not 2"
done

stop_request() {
    echo "<Request name=\"StopProcess\"><StopProcess><ProcessName>$1</ProcessName><ConnectionId>1</ConnectionId></StopProcess></Request>"
}
# The service reports only a sent frame's length, so each request has its own.
to_first=$(stop_request none)
to_second=$(stop_request for-seat-one)
after_refusal=$(stop_request still-for-seat-one)

# Commands arrive while the seats start; the end of input closes both. A
# seat that does not exist leaves the chosen one as it was.
{
    sleep 2
    echo "send $to_first"
    echo bogus
    echo "seat 1"
    echo "send $to_second"
    echo "seat 2"
    echo "seat one"
    echo "send $after_refusal"
    sleep 1
} | timeout 60 "$sandbox" run --seats 2 --wayland >"$out" 2>&1
status=$?
cat "$out"
((status == 0)) || fail "the run exited with $status"
for pattern in '  sandbox WAYLAND_DISPLAY=wayland-0 DBUS_SESSION_BUS_ADDRESS=unix:' \
    '  seat 0 daemon pid=[0-9]+ log=/' '  seat 1 daemon pid=[0-9]+ log=/' \
    '  seat 0 service .*RECV type=4 .*DesktopLogged' '  seat 1 service .*RECV type=4 .*DesktopLogged' \
    '  unknown command: bogus$' '  no seat 2: seats are 0 to 1, commands still go to seat 1$' \
    '  no seat one: seats are 0 to 1' \
    '  seat 0 daemon exited status=0$' '  seat 1 daemon exited status=0$'; do
    grep -qE -- "$pattern" "$out" || fail "no line matching '$pattern'"
done
sent() { grep -E "  seat $1 service .*SENT type=4 " "$out" | grep -oE 'length=[0-9]+' | tr '\n' ' '; }
[[ $(sent 0) == "length=${#to_first} " ]] || fail "seat 0 was sent: [$(sent 0)]"
[[ $(sent 1) == "length=${#to_second} length=${#after_refusal} " ]] || fail "seat 1 was sent: [$(sent 1)]"

# until_logged N: holds the run's input open until N desktops reported
# DesktopLogged to their services (at most 60 s), then lets it end.
until_logged() {
    local tries
    for ((tries = 0; tries < 600; tries++)); do
        (($(grep -c 'RECV type=4 .*DesktopLogged' "$out") >= $1)) && return
        sleep 0.1
    done
}

# With X, every two seats share one display of their own.
if command -v Xvfb >/dev/null; then
    : >"$out"
    until_logged 3 | timeout 90 "$sandbox" run --seats 3 --seats-per-display 2 >"$out" 2>&1 || fail "the X run failed"
    displays=$(grep -o '<DISPLAY>:[0-9]*</DISPLAY>' "$out" | sort | uniq -c | awk '{print $1}' | sort | tr '\n' ' ')
    [[ $displays == "1 2 " ]] || fail "seats per display: [$displays] $(cat "$out")"
    # A display outlives its clients: one that reset after its last client
    # left would refuse the daemons that connect meanwhile.
    kept=$(timeout 30 "$sandbox" exec -- sh -c 'xprop -root -f DC_CHECK 8s -set DC_CHECK kept && xprop -root DC_CHECK')
    [[ $kept == *'"kept"'* ]] || fail "the display reset after its last client: [$kept]"
fi

# On Wayland, GNOME and KDE get their real compositor: its socket is the
# desktop's WAYLAND_DISPLAY in its XDG_RUNTIME_DIR and its screen saver
# answers. Whatever it started carries the sandbox's mark, and none of it
# outlives the run.
# shellcheck disable=SC2016 # expanded by the command beside the desktop
beside='test -S "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" || exit 3
gdbus call --session --dest "$0" --object-path "$1" --method "$0.GetActive" || exit 4
mark=DC_SANDBOX_LOCKER=${XDG_RUNTIME_DIR%/dirs/var_tarvelo/sandbox/runtime}
grep -lzx -- "$mark" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 | tr "\n" " " && echo "$mark"'
marked() {
    local pid left=''
    for pid in $1; do
        tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qx -- "$2" && left+="$pid "
    done
    echo "$left"
}
for desktop in "gnome org.gnome.ScreenSaver /org/gnome/ScreenSaver gnome-shell" \
    "kde org.freedesktop.ScreenSaver /ScreenSaver kwin_wayland"; do
    read -r name bus path program <<<"$desktop"
    command -v "$program" >/dev/null || continue
    shown=$(timeout 60 "$sandbox" exec --desktop "$name" --wayland -- sh -c "$beside" "$bus" "$path") ||
        fail "$name on Wayland: exit $?: $shown"
    [[ $shown == "(false,)"$'\n'[0-9]*' DC_SANDBOX_LOCKER=/'* ]] || fail "$name on Wayland showed [$shown]"
    pids=$(tail -n 1 <<<"$shown")
    left=$(marked "${pids% DC_SANDBOX_LOCKER=*}" "DC_SANDBOX_LOCKER=${pids#* DC_SANDBOX_LOCKER=}")
    [[ -z $left ]] || fail "$name on Wayland left $left"
done

# The first SIGTERM closes the connections, and the daemons exit cleanly.
# The script holds the input open, so only the signal can end the run.
mkfifo "$fifo"
exec 3<>"$fifo"
"$sandbox" run --wayland <"$fifo" >"$out" 2>&1 &
pid=$!
for _ in $(seq 200); do grep -q 'DesktopLogged' "$out" && break; sleep 0.1; done
kill -TERM "$pid"
for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -KILL "$pid" 2>/dev/null
wait "$pid"
status=$?
exec 3>&-
((status == 0)) || fail "after SIGTERM the run exited with $status: $(cat "$out")"
grep -qE '  signal 15: closing$' "$out" || fail "no signal event"
grep -qE '  seat 0 daemon exited status=0$' "$out" || fail "the daemon did not exit cleanly after SIGTERM"
echo "dc-sandbox run check passed"
