#!/bin/bash
# The task script against a real MATE screen saver on a private X server and
# a private session bus: lock must make the screen saver active and unlock
# inactive, through mate-screensaver-command and through each D-Bus client.
# shellcheck source=tests/packaging/lib.sh source-path=SCRIPTDIR/../..
. "$(dirname "$0")/lib.sh"

for tool in Xvfb dbus-daemon mate-screensaver mate-screensaver-command gdbus dbus-send; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed" && exit "$SKIP"; }
done

# start_reporting VAR COMMAND...: starts COMMAND with fd 3 on a pipe and
# reads its first line, the daemon's readiness report, into VAR.
start_reporting() {
    local var=$1 report line
    shift
    exec {report}< <(exec "$@" 3>&1 >/dev/null 2>>"$WORK/daemons.log")
    pids+=($!)
    IFS= read -r -t 10 line <&"$report" || { echo "$1 did not report readiness" >&2; exit 1; }
    printf -v "$var" '%s' "$line"
}

display_number="" bus_address=""
start_reporting display_number Xvfb -displayfd 3 -nolisten tcp -screen 0 640x480x24
start_reporting bus_address dbus-daemon --session --nofork --print-address=3
export DISPLAY=:$display_number DBUS_SESSION_BUS_ADDRESS=$bus_address
unset XDG_SESSION_ID

# Without the accessibility bridge the screen saver activates no helper
# services that would outlive the private bus.
NO_AT_BRIDGE=1 mate-screensaver --no-daemon >"$WORK/screensaver.log" 2>&1 &
pids+=($!)
gdbus wait --session --timeout 10 org.mate.ScreenSaver ||
    { echo "mate-screensaver did not come up: $(<"$WORK/screensaver.log")" >&2 && exit 1; }

# expect_state WHAT active|inactive: polls the screen saver for up to 10 s.
expect_state() {
    local i reply
    for ((i = 0; i < 100; i++)); do
        reply=$(mate-screensaver-command --query 2>/dev/null)
        [[ $reply == *"The screensaver is $2"* ]] && return 0
        sleep 0.1
    done
    fail "$1: screen saver not $2 (last answer: $reply)"
}

session=(DISPLAY="$DISPLAY" DBUS_SESSION_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS")

# The machine's own logind, if any, must never be asked from a test.
full=$(make_bin full)
add_fake "$full" loginctl
reset_fakes 'loginctl=*'
ways=("$full:/usr/bin:/bin|mate-screensaver-command"
    "$(make_bin gdbus gdbus)|over gdbus"
    "$(make_bin dbus-send dbus-send)|over dbus-send")
expect_state "at start" inactive
for way in "${ways[@]}"; do
    path=${way%%|*} via=${way#*|}
    run_task "$path" "-a lock -d debian" "${session[@]}" XDG_CURRENT_DESKTOP=MATE
    expect_eq "lock $via status" 0 "$status"
    expect_contains "lock $via" "$via" "$err"
    expect_state "lock $via" active
    run_task "$path" "-a unlock -d debian -t mate" "${session[@]}"
    expect_eq "unlock $via status" 0 "$status"
    expect_contains "unlock $via" "$via" "$err"
    expect_state "unlock $via" inactive
done

finish
