#!/bin/bash
# Exactly one controller per graphical session, on every way a desktop
# starts it, on a booted host with real logind and the user's systemd:
#   :11 alice, GNOME under systemd: the user unit, not the autostart entry
#   :12 alice again, GNOME: graphical-session.target already runs, so the
#       session starts the autostart entry itself; it gets its own
#   :13 bob, KDE Plasma under systemd: the user unit, and systemd's
#       autostart generator, which must make nothing of the entry
#   :14 carol, MATE: the autostart entry
# Each controller runs on its own display and is admitted with its own
# desktop id (display number + 100).
# shellcheck source=tests/host/host_lib.sh source-path=SCRIPTDIR/../..
. "$(dirname "$0")/host_lib.sh"

boot_host
"$DC_HOST" service "$HOST" start
for session in "alice gnome :11" "alice gnome :12" "bob kde :13" "carol mate :14"; do
    # shellcheck disable=SC2086 # three words
    "$DC_HOST" session "$HOST" $session >/dev/null || fail "no session $session" || finish
done

for number in 11 12 13 14; do
    wait_until 10 sh -c "journalctl -o cat -u dc-agent-ipc | grep -q 'CLIENT_INFO clientId=$((number + 100)) .*token=ok'" ||
        fail "the controller of display :$number was never admitted"
done
# A second controller of a session would start as fast as the first.
in_host sleep 2
daemons=$(pids_of "$DAEMON")
displays=$(for pid in $daemons; do display_of "$pid"; done | sort | tr '\n' ' ')
expect_eq "displays of the running controllers" ":11 :12 :13 :14 " "$displays"
for number in 11 12 13 14; do
    expect_eq "admissions of desktop $((number + 100))" 1 "$(readies_of $((number + 100)))"
done
expect_eq "supervisors" 4 "$(pids_of "$SUPERVISOR" | wc -w)"
expect_eq "units the generator made of the entry in bob's manager" "" \
    "$(as_user bob systemctl --user list-units --no-legend --plain "app-DesktopController*" 2>&1)"
expect_eq "the user unit in alice's manager" active \
    "$(as_user alice systemctl --user is-active desktopcontroller.service 2>&1)"
finish
