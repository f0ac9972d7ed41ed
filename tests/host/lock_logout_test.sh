#!/bin/bash
# Lock, unlock and logout end to end on real logind, with the shipped task
# script and the MATE screen saver in carol's MATE session: the agent's
# LockScreen runs the script, which asks logind to lock the session; logind
# tells mate-screensaver, which locks, and the controller reports
# DesktopLocked true; UnlockScreen the same way back to false. The session
# has no session manager, so LogoutDesktop ends the logind session, and the
# controller ends with it.
# shellcheck source=tests/host/host_lib.sh source-path=SCRIPTDIR/../..
. "$(dirname "$0")/host_lib.sh"

boot_host
id=$("$DC_HOST" session "$HOST" carol mate :41) || fail "no MATE session" || finish
"$DC_HOST" service "$HOST" console
wait_until 10 sh -c "journalctl -o cat -u dc-agent-ipc | grep -q READY" || fail "the controller did not connect" || finish

lock_and_unlock_through_logind "$id"

"$DC_HOST" service "$HOST" send '<Request name="LogoutDesktop"/>'
wait_until 20 sh -c "! loginctl show-session $id -p State --value | grep -qx active" ||
    fail "LogoutDesktop did not end session $id: $(script_line logout)"
started=$(now_ms)
wait_until 2 sh -c "! pgrep -u carol -f '^($DAEMON|$SUPERVISOR)\$'" || fail "the controller outlived its session"
echo "controller gone $(($(now_ms) - started)) ms after the session ended"
# The script ends with its session, before it can say it is done.
expect_contains "how the script logged out" "ending logind session $id" "$(script_line "ending logind session")"
finish
