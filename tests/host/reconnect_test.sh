#!/bin/bash
# The controller comes back whenever the agent's IPC service writes a new
# port file, on both start paths (carol's MATE session: the autostart entry;
# alice's GNOME session: the user unit): for a service that starts after the
# desktops, and after a restart of the service. While the service is away
# the session supervisor sleeps: its voluntary context switches are
# reported, and may not grow more than a stray wake-up.
# shellcheck source=tests/host/host_lib.sh source-path=SCRIPTDIR/../..
. "$(dirname "$0")/host_lib.sh"

readonly AWAY_SECONDS=3
readonly BACK_WITHIN=5

# away WHAT: reports the supervisors' wake-ups while the service is away.
away() {
    local what=$1 pid before after
    for display in :21 :22; do
        pid=$(supervisor_on "$display")
        [[ -n $pid ]] || fail "no supervisor on $display" || continue
        before=$(switches_of "$pid")
        in_host sleep "$AWAY_SECONDS"
        after=$(switches_of "$pid")
        echo "voluntary context switches of the supervisor on $display in ${AWAY_SECONDS} s $what: $((after - before))"
        ((after - before <= 1)) || fail "the supervisor on $display woke $((after - before)) times $what"
        expect_eq "controllers $what" "" "$(pids_of "$DAEMON")"
    done
}

# back ADMISSIONS: both desktops admitted that many times within the bound;
# reports the time from the new port file to the last admission.
back() {
    local admissions=$1 started id
    started=$(now_ms)
    for id in 121 122; do
        wait_until "$BACK_WITHIN" sh -c "[ \$(journalctl -o cat -u dc-agent-ipc | grep -c 'CLIENT_INFO clientId=$id .*token=ok') -ge $admissions ]" ||
            fail "desktop $id was not admitted $admissions time(s) within $BACK_WITHIN s"
    done
    echo "both controllers admitted $(($(now_ms) - started)) ms after the service started"
    expect_eq "controllers running" 2 "$(pids_of "$DAEMON" | wc -w)"
}

boot_host
"$DC_HOST" session "$HOST" carol mate :21 >/dev/null || fail "no MATE session" || finish
"$DC_HOST" session "$HOST" alice gnome :22 >/dev/null || fail "no GNOME session" || finish
expect_eq "supervisors" 2 "$(pids_of "$SUPERVISOR" | wc -w)"

away "before the service's first start"
"$DC_HOST" service "$HOST" start
back 1

"$DC_HOST" service "$HOST" stop
wait_until 5 sh -c "! pgrep -x -f $DAEMON" || fail "the controllers outlived the service"
away "after the service stopped"
"$DC_HOST" service "$HOST" start
back 2
finish
