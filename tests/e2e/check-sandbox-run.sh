#!/usr/bin/env bash
# dc-sandbox run as an integrator drives it: two seats, a request to the
# first, signals, and the end of input; and its usage errors.
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

# Commands arrive while the seats start; the end of input closes both.
{
    sleep 2
    echo 'send <Request name="StopProcess"><StopProcess><ProcessName>none</ProcessName><ConnectionId>1</ConnectionId></StopProcess></Request>'
    echo bogus
    sleep 1
} | timeout 60 "$sandbox" run --seats 2 --wayland >"$out" 2>&1
status=$?
cat "$out"
((status == 0)) || fail "the run exited with $status"
for pattern in '  sandbox WAYLAND_DISPLAY=wayland-0 DBUS_SESSION_BUS_ADDRESS=unix:' \
    '  seat 0 daemon pid=[0-9]+ log=/' '  seat 1 daemon pid=[0-9]+ log=/' \
    '  seat 0 service .*RECV type=4 .*DesktopLogged' '  seat 1 service .*RECV type=4 .*DesktopLogged' \
    '  seat 0 service .*SENT type=4 length=' '  unknown command: bogus$' \
    '  seat 0 daemon exited status=0$' '  seat 1 daemon exited status=0$'; do
    grep -qE -- "$pattern" "$out" || fail "no line matching '$pattern'"
done
grep -q '  seat 1 service .*SENT type=4' "$out" && fail "the request reached seat 1"

# With X, every two seats share one display of their own.
if command -v Xvfb >/dev/null; then
    sleep 3 | timeout 60 "$sandbox" run --seats 3 --seats-per-display 2 >"$out" 2>&1 || fail "the X run failed"
    displays=$(grep -o '<DISPLAY>:[0-9]*</DISPLAY>' "$out" | sort | uniq -c | awk '{print $1}' | sort | tr '\n' ' ')
    [[ $displays == "1 2 " ]] || fail "seats per display: [$displays] $(cat "$out")"
fi

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
