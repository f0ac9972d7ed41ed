#!/usr/bin/env bash
# The herd figure: N graphical sessions, one of each of N users, on a
# booted host (tools/dc-host), each with its controller, and one restart of
# the agent's IPC service. Prints one line, "herd N LOGGED MS": how many controllers
# reported DesktopLogged to the new service, and the milliseconds from the
# new service's ipc.port to the last of those reports.
#
#   bench/herd.sh N PACKAGE_DIR      (as root; PACKAGE_DIR holds the .debs)
set -euo pipefail
n=$1 packages=$2
root=$(cd "$(dirname "$0")/.." && pwd)
dc_host=$root/tools/dc-host/dc-host
work=$(mktemp -d /tmp/dc-herd.XXXXXX)
host=$work/host
trap '"$dc_host" halt "$host" >/dev/null 2>&1; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM
readonly WAIT_SECONDS=600

in_host() { "$dc_host" exec "$host" "$@"; }

# The DesktopLogged reports the running service received: "<epoch time>
# <desktop id>" lines.
logged() {
    local invocation
    invocation=$(in_host systemctl show -p InvocationID --value dc-agent-ipc)
    in_host journalctl --no-pager -o cat _SYSTEMD_INVOCATION_ID="$invocation" |
        sed -n 's/^\([0-9.]*\) RECV .*<DesktopLogged><DesktopId>\([0-9]*\)<.*/\1 \2/p'
}

# wait_for COUNT: until COUNT desktops reported to the running service, or
# the bound passed. One journal reader follows the service's lines and ends
# at the COUNTth desktop: a query a second instead cost a few per cent of the
# CPU that the measured restart shares. mawk reads a pipe line by line only
# when interactive; otherwise it waits for a full buffer that never comes.
wait_for() {
    local invocation
    invocation=$(in_host systemctl show -p InvocationID --value dc-agent-ipc)
    # shellcheck disable=SC2016 # expanded by the shell inside
    in_host sh -c '
        fifo=$(mktemp -u /run/herd-journal.XXXXXX) && mkfifo "$fifo" || exit 1
        journalctl --no-pager --follow --lines=all -o cat _SYSTEMD_INVOCATION_ID="$1" >"$fifo" &
        follower=$!
        timeout "$3" awk -W interactive -v n="$2" "
            match(\$0, /RECV .*<DesktopLogged><DesktopId>[0-9]+</) {
                id = \$0; sub(/.*<DesktopId>/, \"\", id); sub(/<.*/, \"\", id)
                if (!(id in seen)) { seen[id] = 1; if (++count >= n) exit }
            }" <"$fifo"
        kill "$follower"
        rm -f "$fifo"' wait_for "$invocation" "$1" "$WAIT_SECONDS"
}

"$dc_host" boot "$host" "$packages"/*.deb >&2
"$dc_host" service "$host" start
# One user per desktop, as on a host the agent serves: each session is a
# GNOME session under the user's systemd, which starts the user unit; eight
# sessions open at a time.
# shellcheck disable=SC2016 # expanded by the shell inside
in_host sh -c 'for i in $(seq 1 "$1"); do useradd --create-home "herd$i"; done' users "$n"
for ((i = 1; i <= n; i++)); do
    "$dc_host" session "$host" "herd$i" gnome ":$((1000 + i))" >/dev/null &
    if ((i % 8 == 0)); then wait; fi
done
wait
wait_for "$n"

"$dc_host" service "$host" stop
deadline=$((SECONDS + WAIT_SECONDS))
while in_host pgrep -x -f /usr/bin/DesktopController >/dev/null && ((SECONDS < deadline)); do sleep 0.2; done
"$dc_host" service "$host" start
wait_for "$n"
port_written=$(in_host stat -c %.6Y /var/tarvelo/ipc.port)
logged | awk -v n="$n" -v start="$port_written" '
    { ids[$2] = 1; if ($1 > last) last = $1 }
    END { count = 0; for (id in ids) count++; printf "herd %d %d %.0f\n", n, count, (last - start) * 1000 }'
