# shellcheck shell=bash
# Helpers of the booted-host tests, sourced by each: every test boots a host
# of its own with tools/dc-host, installs the packages host.packages built,
# and halts the host on exit.
# shellcheck source=tests/packaging/lib.sh source-path=SCRIPTDIR/../..
. "$(dirname "${BASH_SOURCE[0]}")/../packaging/lib.sh"

DC_HOST=$SOURCE_DIR/tools/dc-host/dc-host
HOST=$WORK/host

host_cleanup() {
    [[ -d $HOST ]] && "$DC_HOST" halt "$HOST"
    cleanup
}
trap host_cleanup EXIT

# in_host CMD...: CMD as root inside the host.
in_host() {
    "$DC_HOST" exec "$HOST" "$@"
}

# Skips the test where a booted host cannot exist, and boots the host with
# the packages of host.packages installed.
boot_host() {
    if ((EUID != 0)); then
        echo "SKIP: booting a container needs root"
        exit "$SKIP"
    fi
    local tool debs
    for tool in mmdebstrap systemd-nspawn nsenter unshare openssl; do
        command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/deps)"
    done
    ((failures)) && finish
    debs=("${DC_BUILD_DIR:-$SOURCE_DIR/build}"/host-packages/*.deb)
    [[ -f ${debs[0]} ]] || fail "no packages: host.packages builds them" || finish
    "$DC_HOST" boot "$HOST" "${debs[@]}" || fail "the host did not boot" || finish
}

# wait_until SECONDS CMD...: runs CMD inside the host until it succeeds;
# false when it never did within SECONDS.
wait_until() {
    local seconds=$1
    shift
    in_host timeout "$seconds" sh -c 'until "$@" >/dev/null 2>&1; do sleep 0.05; done' wait "$@"
}

# The pids of the processes running PROGRAM (full path) in the host.
pids_of() {
    in_host pgrep -x -f "$1" | tr '\n' ' ' | sed 's/ $//'
}

# display_of PID: the DISPLAY a process of the host runs with.
display_of() {
    # shellcheck disable=SC2016 # expanded by the shell inside
    in_host sh -c 'tr "\0" "\n" </proc/$1/environ | sed -n "s/^DISPLAY=//p"' display "$1"
}

# The agent's IPC service output lines containing TEXT, in order.
service_lines() {
    in_host journalctl --no-pager -o cat -u dc-agent-ipc | grep -F -- "$1"
}

# readies_of ID: how many times the desktop with this id was admitted.
readies_of() {
    service_lines "CLIENT_INFO clientId=$1 " | grep -c 'token=ok'
}

# shellcheck disable=SC2034 # used by the tests
readonly DAEMON=/usr/bin/DesktopController
readonly SUPERVISOR=/usr/libexec/desktopcontroller/desktopcontroller-session

# as_user USER CMD...: CMD inside the host as USER, with the user's runtime
# directory, so systemctl --user reaches the user's manager.
as_user() {
    local user=$1
    shift
    in_host setpriv --reuid="$user" --regid="$user" --init-groups \
        env XDG_RUNTIME_DIR="/run/user/$(in_host id -u "$user")" "$@"
}

# switches_of PID: the voluntary context switches of a process so far.
switches_of() {
    # shellcheck disable=SC2016 # awk's own field
    in_host awk '/^voluntary_ctxt_switches:/ { print $2 }' "/proc/$1/status"
}

# Milliseconds since the epoch, on the host's clock (the container's too).
now_ms() {
    date +%s%3N
}

# The session's supervisor: the one on DISPLAY.
supervisor_on() {
    local pid
    for pid in $(pids_of "$SUPERVISOR"); do
        [[ $(display_of "$pid") == "$1" ]] && echo "$pid"
    done
}

# reported LOCKED: the controller reported the lock state within 20 s (the
# script confirms each step by looking at the desktop first).
reported() {
    wait_until 20 sh -c "journalctl -o cat -u dc-agent-ipc | grep -q '<Locked>$1</Locked>'" ||
        fail "no DesktopLocked $1 reported: $(service_lines 'RECV type=4' | tail -n 3)"
}

# The task script's own account, the last line containing TEXT; the script
# logs it once it saw the result, which may be after the controller did.
script_line() {
    wait_until 10 sh -c "journalctl -o cat --no-pager | grep -qF -- '$1'"
    in_host journalctl -o cat --no-pager | grep -F -- "$1" | tail -n 1
}

# lock_and_unlock_through_logind SESSION: the agent's LockScreen, then
# UnlockScreen; each reported once, each done by the task script through
# logind for SESSION.
lock_and_unlock_through_logind() {
    local id=$1
    "$DC_HOST" service "$HOST" send '<Request name="LockScreen"/>'
    reported true
    expect_eq "how the script locked" "lock done through logind lock-session $id" "$(script_line "lock done")"
    "$DC_HOST" service "$HOST" send '<Request name="UnlockScreen"/>'
    reported false
    expect_eq "how the script unlocked" "unlock done through logind unlock-session $id" "$(script_line "unlock done")"
    expect_eq "lock notifications" 2 "$(service_lines '<Notify name="DesktopLocked">' | wc -l)"
}
