#!/bin/bash
# The desktop task script as the daemon runs it, with stand-ins for the
# desktop tools acting on a desktop model (fake_desktop.sh): the exact calls
# each command line makes, status 2 and nothing run for bad usage, every way
# confirmed by a look at the desktop and the next way tried when the look
# shows no change, the session of this display chosen (or refused between
# several), and bounded waits on a desktop that never answers.
# The parts run beside each other (run_beside), so that the script's waits
# for a desktop that does not answer overlap.
# shellcheck source=tests/packaging/lib.sh source-path=SCRIPTDIR/../..
# shellcheck disable=SC2317 # the checks are called through run_beside
. "$(dirname "$0")/lib.sh"

bus=DBUS_SESSION_BUS_ADDRESS=unix:path=/run/test-bus
fast=(DESKTOPCTASK_CONFIRM_SECONDS=1 DESKTOPCTASK_LOGOUT_SECONDS=1)
uid=$(id -u)
g="gdbus call|--session|--timeout|10"
g3="gdbus call|--session|--timeout|3"
gss="--dest|org.gnome.ScreenSaver|--object-path|/org/gnome/ScreenSaver|--method|org.gnome.ScreenSaver"
kss="--dest|org.freedesktop.ScreenSaver|--object-path|/ScreenSaver|--method|org.freedesktop.ScreenSaver"
fss="--dest|org.freedesktop.ScreenSaver|--object-path|/org/freedesktop/ScreenSaver|--method|org.freedesktop.ScreenSaver"
mss="--dest|org.mate.ScreenSaver|--object-path|/org/mate/ScreenSaver|--method|org.mate.ScreenSaver"
gsm="$g|--dest|org.gnome.SessionManager|--object-path|/org/gnome/SessionManager|--method|org.gnome.SessionManager.Logout"
ksm="$g|--dest|org.kde.ksmserver|--object-path|/KSMServer|--method|org.kde.KSMServerInterface.logout|int32 0|int32 0"
ds="dbus-send --session|--print-reply|--reply-timeout=10000"

# The calls that act on the desktop, without the looks at its state.
acts() {
    local call list=()
    while IFS= read -r call; do
        case $call in
        *GetActive* | *NameHasOwner* | "loginctl show-session"* | "loginctl list-sessions"*) ;;
        *) list+=("$call") ;;
        esac
    done <<<"$calls"
    (IFS=';' && echo "${list[*]}")
}

# args;environment;first call. The forms the daemon builds, with the empty
# distributions and desktop types its plain concatenation leaves behind, and
# lock without -t following the daemon's desktop detection.
check_forms() {
    bin=$(make_bin first)
    add_fake "$bin" gdbus && add_fake "$bin" mate-screensaver-command
    checks=(
        "-a lock -d debian;XDG_CURRENT_DESKTOP=ubuntu:GNOME;$g3|$gss.Lock"
        "-a lock -d;XDG_CURRENT_DESKTOP=GNOME;$g3|$gss.Lock"
        "-a lock -d rhel;XDG_CURRENT_DESKTOP=KDE;$g3|$kss.Lock"
        "-a lock -d centos;XDG_CURRENT_DESKTOP=X-Cinnamon DESKTOP_SESSION=plasmawayland;$g3|$kss.Lock"
        "-a lock -d ubuntu;XDG_CURRENT_DESKTOP=gnome DESKTOP_SESSION=mate;mate-screensaver-command --lock"
        "-a lock -d suse -t mate;XDG_CURRENT_DESKTOP=GNOME;mate-screensaver-command --lock"
        "-a unlock -d ubuntu -t gnome;;$g|$gss.SetActive|false"
        "-a unlock -d rhel -t;XDG_CURRENT_DESKTOP=GNOME;$g|$gss.SetActive|false"
        "-a unlock -d  -t kde;;$g|$kss.SetActive|false"
        "-a unlock -t kde -d;;$g|$kss.SetActive|false"
        "-a logout -t gnome;;$gsm|uint32 1"
        "-a logout -t mate;;$gsm|uint32 1"
        "-a logout -t kde;;$ksm|int32 0"
        "-a lock -d gentoo;XDG_CURRENT_DESKTOP=GNOME;$g3|$gss.Lock"
    )
    for check in "${checks[@]}"; do
        IFS=';' read -r args env expected <<<"$check"
        read -ra env <<<"$env"
        reset_fakes
        new_desktop
        [[ $args == *unlock* ]] && echo true >"$FAKE_CTL/desktop/active"
        run_task "$bin" "$args" "$bus" "${env[@]}"
        expect_eq "status of '$args' with [${env[*]}]" 0 "$status"
        expect_eq "acts of '$args' with [${env[*]}]" "$expected" "$(acts)"
    done
    expect_contains "unknown distribution is reported" "unrecognised distribution 'gentoo'" "$err"

    bad_forms=(
        "|missing action"
        "-a|missing action"
        "-d debian -t gnome|missing action"
        "-a -d debian|missing action"
        "-a reboot -d debian|unknown action 'reboot'"
        "-a LOCK|unknown action 'LOCK'"
        "-a lock -x 1|unknown option '-x'"
        "-a lock --distribution debian|unknown option '--distribution'"
        "-a unlock -d debian -t xfce|unknown desktop type 'xfce'"
        "-a logout -t GNOME|unknown desktop type 'GNOME'"
        "-a lock now|unexpected argument 'now'"
    )
    for form in "${bad_forms[@]}"; do
        args=${form%%|*} message=${form#*|}
        reset_fakes
        run_task "$bin" "$args" XDG_CURRENT_DESKTOP=GNOME
        expect_eq "status of '$args'" 2 "$status"
        expect_contains "message of '$args'" "desktopCTask: $message" "$err"
        expect_contains "usage of '$args'" "Usage: desktopCTask.sh -a lock|unlock|logout" "$err"
        expect_eq "stdout of '$args'" "" "$out"
        expect_eq "nothing run for '$args'" "" "$calls"
    done

    run_task "$bin" "-h"
    expect_eq "status of -h" 0 "$status"
    expect_contains "usage of -h" "Usage: desktopCTask.sh -a lock|unlock|logout" "$out"

    # Executed directly (not through sh -c) with an absolute path, as an
    # administrator would.
    reset_fakes
    new_desktop
    env -i PATH="$bin" XDG_CURRENT_DESKTOP=MATE DBUS_SESSION_BUS_ADDRESS=unix:path=/x \
        "$SCRIPT" -a lock -d debian 2>/dev/null
    expect_eq "direct execution status" 0 "$?"
    expect_eq "direct execution call" "mate-screensaver-command --lock" "$(head -n 1 "$FAKE_LOG")"
}

# tools;args;environment;acts the desktop ignores;status;acts;log lines.
# Each way is believed only when GetActive or LockedHint shows its result
# (logout: when the session manager left the bus or logind closes the
# session); otherwise the next way is tried, and the script fails only when
# none showed a result, with one line for each way it tried.
all="gdbus loginctl"
mt="gdbus mate-screensaver-command mate-session-save"
l42="loginctl lock-session|42"
still="returned, but the desktop is not"
gone="returned, but the session is still there after 1 s"
lock_cases=(
    "$all;-a lock -d debian -t gnome;;;0;$l42;logind lock-session 42: done, org.gnome.ScreenSaver GetActive shows locked"
    "$all;-a lock -d debian -t gnome;;lock-session;0;$l42|$g3|$gss.Lock;logind lock-session 42 $still locked after 1 s (org.gnome.ScreenSaver GetActive: unlocked, LockedHint: unlocked)|Lock over gdbus: done"
    "$all;-a lock -d debian -t gnome;;lock-session Lock;1;$l42|$g3|$gss.Lock;logind lock-session 42 $still|Lock over gdbus $still locked|could not lock the gnome desktop"
    "gdbus;-a lock -d debian -t gnome;;Lock;1;$g3|$gss.Lock;Lock over gdbus $still locked after 1 s (org.gnome.ScreenSaver GetActive: unlocked)"
    "$all;-a unlock -d debian -t kde;;unlock-session SetActive;1;loginctl unlock-session|42|$g|$kss.SetActive|false|$g|$fss.SetActive|false;logind unlock-session 42 $still unlocked|SetActive over gdbus $still unlocked"
    "$all;-a unlock -d debian -t kde;;SetActive;0;loginctl unlock-session|42;logind unlock-session 42: done"
    "$mt;-a lock -d debian -t mate;;msc-lock;0;mate-screensaver-command --lock|$g3|$mss.Lock;mate-screensaver-command --lock $still locked|Lock over gdbus: done, org.mate.ScreenSaver GetActive"
    "$mt;-a unlock -d debian -t mate;;;0;mate-screensaver-command --deactivate;mate-screensaver-command --deactivate: done"
    "dbus-send;-a lock -d debian -t kde;;;0;dbus-send --session|--print-reply|--reply-timeout=3000|--dest=org.freedesktop.ScreenSaver|/ScreenSaver|org.freedesktop.ScreenSaver.Lock;Lock over dbus-send: done"
)
logout_cases=(
    "$all;-a logout -t gnome;;Logout1;0;$gsm|uint32 1|$gsm|uint32 2;Logout over gdbus $gone|Logout over gdbus: done, org.gnome.SessionManager left the session bus"
    "$all;-a logout -t gnome;;Logout1 Logout2;0;$gsm|uint32 1|$gsm|uint32 2|loginctl terminate-session|42;ending logind session 42|logind terminate-session 42: done, logind session 42 is closing"
    "$all;-a logout -t gnome;;Logout1 Logout2 terminate-session;1;$gsm|uint32 1|$gsm|uint32 2|loginctl terminate-session|42;logind terminate-session 42 $gone|could not logout"
    "gdbus;-a logout -t gnome;;Logout1 Logout2;1;$gsm|uint32 1|$gsm|uint32 2;there is no logind session to end"
    "gdbus;-a logout -t kde;;ksm0;0;$ksm|int32 0|$ksm|int32 2;logout over gdbus $gone|logout over gdbus: done"
    "dbus-send;-a logout -t gnome;;;0;$ds|--dest=org.gnome.SessionManager|/org/gnome/SessionManager|org.gnome.SessionManager.Logout|uint32:1;Logout over dbus-send: done"
    "$mt;-a logout -t mate;;msslogout;0;mate-session-save --logout|mate-session-save --force-logout;mate-session-save --logout $gone|mate-session-save --force-logout: done"
    "mate-session-save;-a logout -t mate;;;1;mate-session-save --logout|mate-session-save --force-logout;nothing tells whether the session ended"
)
check_ways() {
    for case; do
        IFS=';' read -r tools args env ignores want expected lines <<<"$case"
        bin=$(make_bin "${tools// /+}")
        read -ra tools <<<"$tools"
        read -ra env <<<"$env"
        read -ra ignores <<<"$ignores"
        for tool in "${tools[@]}"; do add_fake "$bin" "$tool"; done
        reset_fakes
        new_desktop "${ignores[@]}"
        add_session 42 "$uid" Display=:10 Type=x11
        [[ $args == *unlock* ]] && echo true >"$FAKE_CTL/desktop/active"
        run_task "$bin" "$args" "$bus" XDG_SESSION_ID=42 "${fast[@]}" "${env[@]}"
        what="'$args' with [${tools[*]}] ignoring [${ignores[*]}]"
        expect_eq "status of $what" "$want" "$status"
        expect_eq "acts of $what" "$expected" "$(acts | tr ';' '|')"
        IFS='|' read -ra lines <<<"$lines"
        for line in "${lines[@]}"; do expect_contains "log of $what" "$line" "$err"; done
    done
}

# Without XDG_SESSION_ID the session is the caller's graphical one on this
# display: by logind's Display, or for Wayland by the session's leader, an
# ancestor of a process that runs on WAYLAND_DISPLAY. Between several that
# could be this one nothing is done at all; a session of another display
# is never used.
check_choices() {
    local x="Type=x11 Leader=1"
    local w3="Display= Type=wayland Leader=$leader3" w7="Display= Type=wayland Leader=$leader7"
    choices=(
        "DISPLAY=:11;Display=:10 $x;Display=:11 $x;0;loginctl lock-session|c7;logind session c7 is the one on display :11"
        "DISPLAY=:11.0;Display=:11 $x;Display=:10 $x;0;loginctl lock-session|c1;logind session c1 is the one on display :11.0"
        "DISPLAY=:12;Display=:10 $x;Display=:11 $x;0;$g3|$gss.Lock;logind knows no graphical session of uid $uid on display :12"
        "WAYLAND_DISPLAY=wayland-7;$w3;$w7;0;loginctl lock-session|c7;logind session c7 is the one on display wayland-7"
        "WAYLAND_DISPLAY=wayland-7 DISPLAY=:0;$w7;$w3;0;loginctl lock-session|c1;logind session c1 is the one on display :0"
        "WAYLAND_DISPLAY=wayland-9;$w3;$w7;1;;refusing to lock: graphical sessions c1 c7 of uid $uid could each be the one on display wayland-9"
        "WAYLAND_DISPLAY=wayland-9;$w3;Display=:5 $x;0;loginctl lock-session|c1;logind session c1 is the only graphical session of uid $uid that may be"
        "XDG_SESSION_ID=c9;$w3;$w7;0;$g3|$gss.Lock;logind does not answer for session c9, it is not used"
    )
    bin=$(make_bin choice)
    add_fake "$bin" gdbus && add_fake "$bin" loginctl
    for choice in "${choices[@]}"; do
        IFS=';' read -r env c1 c7 want expected line <<<"$choice"
        read -ra env <<<"$env"
        reset_fakes
        new_desktop
        read -ra c1 <<<"$c1" && add_session c1 "$uid" "${c1[@]}"
        add_session c3 $((uid + 1)) Display=:11 Type=x11
        read -ra c7 <<<"$c7" && add_session c7 "$uid" "${c7[@]}"
        run_task "$bin" "-a lock -d debian -t gnome" "$bus" "${fast[@]}" "${env[@]}"
        expect_eq "status with [${env[*]}]" "$want" "$status"
        expect_eq "acts with [${env[*]}]" "$expected" "$(acts | tr ';' '|')"
        expect_contains "log with [${env[*]}]" "$line" "$err"
    done
}

# The Wayland sessions' leaders. A leader ends its process on the display
# when it is stopped, and neither holds the test's output open: an orphan
# that did would keep the test running until it ended.
start_leader() {
    # shellcheck disable=SC2016 # expanded by the leader
    bash -c 'WAYLAND_DISPLAY=$0 sleep 60 & trap "kill \$!" TERM; wait' "$1" >/dev/null 2>&1 &
    pids+=($!)
}

# The bus address is found from XDG_RUNTIME_DIR when the caller lacks it.
check_bus_address() {
    bin=$(make_bin gdbus)
    add_fake "$bin" gdbus
    reset_fakes
    new_desktop
    mkdir "$WORK/runtime"
    python3 -c 'import socket,sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$WORK/runtime/bus"
    run_task "$bin" "-a lock -d debian -t gnome" XDG_RUNTIME_DIR="$WORK/runtime"
    expect_eq "bus address" "gdbus unix:path=$WORK/runtime/bus" "$(head -n 1 "$FAKE_CTL/env")"
}

# A screen saver that never answers costs one bounded wait, not a hang.
check_hung_desktop() {
    bin=$(make_bin gdbus)
    add_fake "$bin" gdbus
    reset_fakes
    touch "$FAKE_CTL/hang.gdbus"
    SECONDS=0
    run_task "$bin" "-a unlock -d debian -t gnome" "$bus"
    expect_eq "hung desktop status" 1 "$status"
    expect_contains "hung desktop record" "no answer within 12 s" "$err"
    ((SECONDS <= 20)) || fail "hung desktop took ${SECONDS}s"
}

start_leader wayland-3 && leader3=$!
start_leader wayland-7 && leader7=$!
waited=0
until pgrep -P "$leader3" >/dev/null && pgrep -P "$leader7" >/dev/null; do
    ((waited++ < 100)) || { fail "the session leaders did not start" && break; }
    sleep 0.05
done

# The longest waits first; then the parts that mostly compute.
run_beside hung check_hung_desktop
run_beside logout check_ways "${logout_cases[@]}"
run_beside lock check_ways "${lock_cases[@]}"
run_beside choices check_choices
run_beside forms check_forms
check_bus_address
finish
