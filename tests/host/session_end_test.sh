#!/bin/bash
# The controller, and the process the agent had it start, end within 2 s of
# the end of their session, on every start path: logind terminating the
# session of the user unit (alice, GNOME), of the autostart entry (carol,
# MATE) and of a lingering user, whose systemd stays (bob, KDE); the X
# display going away (carol, MATE); the session bus going away (alice).
# shellcheck source=tests/host/host_lib.sh source-path=SCRIPTDIR/../..
. "$(dirname "$0")/host_lib.sh"

readonly GONE_WITHIN=2

# Every controller starts a long-running worker once admitted.
worker_request='<Request name="StartProcess"><StartProcess><ProcessName>dc-host-worker</ProcessName><ProcessPath>/usr/bin/sleep</ProcessPath><ProcessParams><Param>600</Param></ProcessParams></StartProcess></Request>'

# open USER DESKTOP :N: a session whose controller and worker run; prints
# the session id.
open() {
    local id
    id=$("$DC_HOST" session "$HOST" "$@") || fail "no session $*" || return
    wait_until 10 pgrep -u "$1" -x -f "dc-host-worker 600" || fail "no worker in the session $*" || return
    echo "$id"
}

# gone_after USER WHAT: nothing of the controller is left for the user's
# session within the bound.
gone_after() {
    local user=$1 what=$2 started
    started=$(now_ms)
    wait_until "$GONE_WITHIN" sh -c "! pgrep -u $user -f '^($DAEMON|$SUPERVISOR|dc-host-worker 600)\$'" ||
        fail "after $what, still running: $(in_host pgrep -a -u "$user" -f "$DAEMON|$SUPERVISOR|dc-host-worker")"
    echo "$what: controller, supervisor and worker gone after $(($(now_ms) - started)) ms"
}

boot_host
in_host sh -c "printf '%s' '$worker_request' >/root/worker.xml"
"$DC_HOST" service "$HOST" start --send /root/worker.xml
in_host loginctl enable-linger bob

id=$(open alice gnome :31) && in_host loginctl terminate-session "$id" && gone_after alice "terminate-session (user unit)"
id=$(open carol mate :32) && in_host loginctl terminate-session "$id" && gone_after carol "terminate-session (autostart)"
id=$(open bob kde :33) && in_host loginctl terminate-session "$id" && gone_after bob "terminate-session (linger)"
expect_eq "bob's systemd after his session" active "$(in_host systemctl is-active user@"$(in_host id -u bob)".service)"

if open carol mate :34 >/dev/null; then
    in_host pkill -x -f "Xvfb :34 -displayfd 1 -nolisten tcp -noreset"
    gone_after carol "the X server's end"
fi
if open alice gnome :35 >/dev/null; then
    as_user alice systemctl --user stop dbus.socket dbus.service
    gone_after alice "the session bus's end"
fi
finish
