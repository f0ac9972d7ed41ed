#!/bin/bash
# The desktop task script as the daemon runs it, with recording stand-ins for
# the desktop tools: the exact calls each command line makes, status 2 and
# nothing run for bad usage, logind first, every fallback, and a bounded
# wait on a desktop that never answers.
# shellcheck source=tests/packaging/lib.sh source-path=SCRIPTDIR/../..
. "$(dirname "$0")/lib.sh"

bus=DBUS_SESSION_BUS_ADDRESS=unix:path=/run/test-bus
uid=$(id -u)
g="gdbus call|--session|--timeout|10"
g3="gdbus call|--session|--timeout|3"
gss="--dest|org.gnome.ScreenSaver|--object-path|/org/gnome/ScreenSaver|--method|org.gnome.ScreenSaver"
kss="--dest|org.freedesktop.ScreenSaver|--object-path|/ScreenSaver|--method|org.freedesktop.ScreenSaver"
fss="--dest|org.freedesktop.ScreenSaver|--object-path|/org/freedesktop/ScreenSaver|--method|org.freedesktop.ScreenSaver"
mss="--dest|org.mate.ScreenSaver|--object-path|/org/mate/ScreenSaver|--method|org.mate.ScreenSaver"
gsm="$g|--dest|org.gnome.SessionManager|--object-path|/org/gnome/SessionManager|--method|org.gnome.SessionManager.Logout|uint32 1"
ksm="--dest|org.kde.ksmserver|--object-path|/KSMServer|--method|org.kde.KSMServerInterface.logout"
ds="dbus-send --session|--print-reply|--reply-timeout=10000"
list="loginctl list-sessions|--no-legend"
show="loginctl show-session" props="-p|Display|-p|Type"

# args;environment;first call. The forms the daemon builds, with the empty
# distributions and desktop types its plain concatenation leaves behind, and
# lock without -t following the daemon's desktop detection.
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
    "-a logout -t gnome;;$gsm"
    "-a logout -t mate;;$gsm"
    "-a logout -t kde;;$g|$ksm|int32 0|int32 0|int32 0"
    "-a lock -d gentoo;XDG_CURRENT_DESKTOP=GNOME;$g3|$gss.Lock"
)
for check in "${checks[@]}"; do
    IFS=';' read -r args env expected <<<"$check"
    read -ra env <<<"$env"
    reset_fakes
    run_task "$bin" "$args" "$bus" "${env[@]}"
    expect_eq "status of '$args' with [${env[*]}]" 0 "$status"
    expect_eq "first call of '$args' with [${env[*]}]" "$expected" "${calls%%$'\n'*}"
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
env -i PATH="$bin" XDG_CURRENT_DESKTOP=MATE DBUS_SESSION_BUS_ADDRESS=unix:path=/x \
    "$SCRIPT" -a lock -d debian 2>/dev/null
expect_eq "direct execution status" 0 "$?"
expect_eq "direct execution call" "mate-screensaver-command --lock" "$(<"$FAKE_LOG")"

# tools;args;environment;refusals (TOOL=GLOB);gdbus reply;status;every call.
# The screen saver's own word decides: a lock that got no answer but made it
# active counts (MATE never answers Lock), an unlock it ignored does not,
# though it is given three looks over two seconds to switch.
# logind's session is the one on this display, else the only graphical one
# of the caller (here c1 and c7, both on :10); logout ends it only when the
# session manager refused.
mt="gdbus mate-screensaver-command mate-session-save"
kpoll="$g|$kss.GetActive" fpoll="$g|$fss.GetActive"
cases=(
    "gdbus;-a unlock -d debian -t kde;;gdbus=*|/ScreenSaver|*;;0;$g|$kss.SetActive|false;$g|$kss.GetActive;$g|$fss.SetActive|false;$g|$fss.GetActive"
    "gdbus;-a logout -t kde;;gdbus=*org.kde.ksmserver*;;0;$g|$ksm|int32 0|int32 0|int32 0;$g|--dest|org.kde.Shutdown|--object-path|/Shutdown|--method|org.kde.Shutdown.logout"
    "gdbus;-a lock -d debian -t gnome;;gdbus=*.Lock;(true,);0;$g3|$gss.Lock;$g|$gss.GetActive"
    "gdbus;-a unlock -d debian -t kde;;;(true,);1;$g|$kss.SetActive|false;$kpoll;$kpoll;$kpoll;$g|$fss.SetActive|false;$fpoll;$fpoll;$fpoll"
    "dbus-send;-a unlock -d debian -t kde;;;;0;$ds|--dest=org.freedesktop.ScreenSaver|/ScreenSaver|org.freedesktop.ScreenSaver.SetActive|boolean:false;$ds|--dest=org.freedesktop.ScreenSaver|/ScreenSaver|org.freedesktop.ScreenSaver.GetActive"
    "dbus-send;-a logout -t gnome;;;;0;$ds|--dest=org.gnome.SessionManager|/org/gnome/SessionManager|org.gnome.SessionManager.Logout|uint32:1"
    "dbus-send;-a logout -t kde;;;;0;$ds|--dest=org.kde.ksmserver|/KSMServer|org.kde.KSMServerInterface.logout|int32:0|int32:0|int32:0"
    "qdbus;-a logout -t kde;;;;0;qdbus org.kde.ksmserver|/KSMServer|org.kde.KSMServerInterface.logout|0|0|0"
    "$mt;-a unlock -d debian -t mate;;;;0;mate-screensaver-command --deactivate"
    "$mt;-a logout -t mate;;;;0;mate-session-save --force-logout"
    "$mt;-a lock -d debian -t mate;;mate-screensaver-command=*;;0;mate-screensaver-command --lock;$g3|$mss.Lock;$g|$mss.GetActive"
    "gdbus loginctl;-a lock -d debian;DISPLAY=:1 XDG_CURRENT_DESKTOP=GNOME;loginctl=show-session|c7|*;;0;$list;$show|c1|$props;$show|c7|$props;loginctl lock-session|c1"
    "gdbus loginctl;-a unlock -d debian -t gnome;DISPLAY=:10.0;;;0;$list;$show|c1|$props;loginctl unlock-session|c1"
    "gdbus loginctl;-a lock -d debian;DISPLAY=:1 XDG_CURRENT_DESKTOP=GNOME;;;0;$list;$show|c1|$props;$show|c7|$props;$g3|$gss.Lock;$g|$gss.GetActive"
    "gdbus loginctl;-a lock -d debian;XDG_SESSION_ID=42 XDG_CURRENT_DESKTOP=GNOME;;;0;loginctl lock-session|42"
    "gdbus loginctl;-a lock -d debian;XDG_SESSION_ID=42 XDG_CURRENT_DESKTOP=GNOME;loginctl=*;;0;loginctl lock-session|42;$g3|$gss.Lock;$g|$gss.GetActive"
    "gdbus loginctl;-a logout -t gnome;XDG_SESSION_ID=42;;;0;$gsm"
    "gdbus loginctl;-a logout -t gnome;XDG_SESSION_ID=42;gdbus=*;;0;$gsm;loginctl terminate-session|42"
    "gdbus loginctl;-a logout -t gnome;;gdbus=*;;1;$gsm;$list;$show|c1|$props;$show|c7|$props"
    "gdbus;-a unlock -d debian -t gnome;;gdbus=*;;1;$g|$gss.SetActive|false;$g|$gss.GetActive"
)
for case in "${cases[@]}"; do
    IFS=';' read -r tools args env refusals reply want expected <<<"$case"
    bin=$(make_bin "${tools// /+}")
    read -ra tools <<<"$tools"
    read -ra env <<<"$env"
    read -ra refusals <<<"$refusals"
    for tool in "${tools[@]}"; do add_fake "$bin" "$tool"; done
    reset_fakes "${refusals[@]}"
    [[ -n $reply ]] && echo "$reply" >"$FAKE_CTL/out.gdbus.call"
    printf '%s\n' "c1 $uid user seat0 tty1" "c9 $((uid + 1)) other seat0 tty3" \
        "c7 $uid user seat0 tty2" >"$FAKE_CTL/out.loginctl.list-sessions"
    printf '%s\n' Display=:10 Type=x11 >"$FAKE_CTL/out.loginctl.show-session"
    run_task "$bin" "$args" "$bus" "${env[@]}"
    what="'$args' with [${tools[*]}] [${env[*]}] refusing [${refusals[*]}]"
    expect_eq "status of $what" "$want" "$status"
    expect_eq "calls of $what" "$expected" "${calls//$'\n'/;}"
done
expect_contains "refusal logged" "SetActive over gdbus failed (status 1): gdbus: refused" "$err"

# The bus address is found from XDG_RUNTIME_DIR when the caller lacks it.
bin=$(make_bin gdbus)
reset_fakes
mkdir "$WORK/runtime"
python3 -c 'import socket,sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$WORK/runtime/bus"
run_task "$bin" "-a lock -d debian -t gnome" XDG_RUNTIME_DIR="$WORK/runtime"
expect_eq "bus address" "gdbus unix:path=$WORK/runtime/bus" "$(tail -n 1 "$FAKE_CTL/env")"

# A screen saver that never answers costs one bounded wait, not a hang.
reset_fakes
touch "$FAKE_CTL/hang.gdbus"
SECONDS=0
run_task "$bin" "-a unlock -d debian -t gnome" "$bus"
expect_eq "hung desktop status" 1 "$status"
expect_contains "hung desktop record" "no answer within 12 s" "$err"
((SECONDS <= 20)) || fail "hung desktop took ${SECONDS}s"

finish
