#!/bin/bash
# The task script against a real MATE screen saver on the private desktop of
# dc-sandbox: lock must make the screen saver active and unlock
# inactive, through mate-screensaver-command and through each D-Bus client.
# The desktop comes from dc-sandbox: this script runs again beside it, with
# its display and bus.
if [[ ${1:-} != --beside-desktop ]]; then
    for tool in Xvfb dbus-daemon mate-screensaver mate-screensaver-command gdbus dbus-send; do
        command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed" && exit 77; }
    done
    (($(id -u) == 0)) || { echo "SKIP: dc-sandbox needs root" && exit 77; }
    exec "$DC_BUILD_DIR/bin/dc-sandbox" exec --mate-screensaver -- bash "$0" --beside-desktop
fi
# shellcheck source=tests/packaging/lib.sh source-path=SCRIPTDIR/../..
. "$(dirname "$0")/lib.sh"
unset XDG_SESSION_ID

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
