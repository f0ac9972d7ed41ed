#!/bin/bash
# A Wayland desktop's own locker against real logind: alice's KDE Plasma
# session on KWin (compositor and screen locker in one), whose controller
# the user unit starts with the session's WAYLAND_DISPLAY. The agent's
# LockScreen runs the shipped task script, which asks logind to lock the
# session; logind tells KWin, which locks and says so on
# org.freedesktop.ScreenSaver (twice, on two object paths), and the
# controller reports DesktopLocked true once; UnlockScreen the same way back.
# When the session ends, its compositor goes and the controller with it.
# shellcheck source=tests/host/host_lib.sh source-path=SCRIPTDIR/../..
. "$(dirname "$0")/host_lib.sh"

boot_host
id=$("$DC_HOST" session "$HOST" alice kde wayland-42) || fail "no KDE session on Wayland" || finish
expect_eq "the session's type" wayland "$(in_host loginctl show-session "$id" -p Type --value)"
"$DC_HOST" service "$HOST" console
wait_until 10 sh -c "journalctl -o cat -u dc-agent-ipc | grep -q READY" || fail "the controller did not connect" || finish
wait_until 10 sh -c "journalctl -o cat -u dc-agent-ipc | grep -qF '<WAYLAND_DISPLAY>wayland-42</WAYLAND_DISPLAY>'" ||
    fail "DesktopLogged does not name the Wayland display"
expect_eq "admissions of desktop 142" 1 "$(readies_of 142)"
expect_contains "the desktop type reported" "<DesktopType>kde</DesktopType>" "$(service_lines "<DesktopType>")"

lock_and_unlock_through_logind "$id"

in_host loginctl terminate-session "$id"
started=$(now_ms)
wait_until 2 sh -c "! pgrep -u alice -f '^($DAEMON|$SUPERVISOR)\$'" || fail "the controller outlived its session"
echo "controller gone $(($(now_ms) - started)) ms after the session ended"
finish
