#!/bin/bash
# What the task script asks of each desktop, checked with recording
# stand-ins for gdbus, dbus-send, qdbus, loginctl and the MATE tools: the exact
# calls, logind preferred when it knows the session, the fallbacks when it
# does not, and the bound on a desktop that never answers.
# shellcheck source=tests/packaging/lib.sh source-path=SCRIPTDIR/../..
. "$(dirname "$0")/lib.sh"

bus=DBUS_SESSION_BUS_ADDRESS=unix:path=/run/test-bus
uid=$(id -u)

# gdbus only: the GNOME and KDE calls and their argument types.
bin=$(make_bin gdbus)
add_fake "$bin" gdbus
g="gdbus call|--session|--timeout|10"
g3="gdbus call|--session|--timeout|3"
checks=(
    "-a lock -d debian|GNOME|$g3|--dest|org.gnome.ScreenSaver|--object-path|/org/gnome/ScreenSaver|--method|org.gnome.ScreenSaver.Lock"
    "-a logout -t gnome||$g|--dest|org.gnome.SessionManager|--object-path|/org/gnome/SessionManager|--method|org.gnome.SessionManager.Logout|uint32 1"
    "-a lock -d rhel|KDE|$g3|--dest|org.freedesktop.ScreenSaver|--object-path|/ScreenSaver|--method|org.freedesktop.ScreenSaver.Lock"
    "-a logout -t kde||$g|--dest|org.kde.ksmserver|--object-path|/KSMServer|--method|org.kde.KSMServerInterface.logout|int32 0|int32 0|int32 0"
    "-a logout -t mate||$g|--dest|org.gnome.SessionManager|--object-path|/org/gnome/SessionManager|--method|org.gnome.SessionManager.Logout|uint32 1"
)
for check in "${checks[@]}"; do
    IFS='|' read -r args desktop expected <<<"$check"
    reset_fakes
    run_task "$bin" "$args" "$bus" XDG_CURRENT_DESKTOP="$desktop"
    expect_eq "status of '$args' on '$desktop'" 0 "$status"
    expect_eq "call of '$args' on '$desktop'" "$expected" "$(calls | head -n 1)"
done

# Lock without -t follows the daemon's detection.
detections=(
    "XDG_CURRENT_DESKTOP=ubuntu:GNOME|org.gnome.ScreenSaver.Lock"
    "XDG_CURRENT_DESKTOP=X-Cinnamon DESKTOP_SESSION=plasmawayland|org.freedesktop.ScreenSaver.Lock"
    "XDG_CURRENT_DESKTOP=gnome DESKTOP_SESSION=mate|org.mate.ScreenSaver.Lock"
)
for detection in "${detections[@]}"; do
    reset_fakes
    read -ra vars <<<"${detection%%|*}"
    run_task "$bin" "-a lock -d debian" "$bus" "${vars[@]}"
    expect_contains "lock with ${detection%%|*}" "--method|${detection#*|}" "$(calls)"
done

# KDE falls back to the freedesktop path when /ScreenSaver is not there, and
# to the Plasma 6 shutdown interface when ksmserver refuses.
reset_fakes
printf '%s\n' '*|/ScreenSaver|*' '*org.kde.ksmserver*' >"$FAKE_CTL/fail.gdbus"
run_task "$bin" "-a unlock -d debian -t kde" "$bus"
expect_eq "kde unlock fallback status" 0 "$status"
expect_contains "kde unlock second path" "--object-path|/org/freedesktop/ScreenSaver|--method|org.freedesktop.ScreenSaver.SetActive|false" "$(calls)"
reset_fakes
printf '%s\n' '*org.kde.ksmserver*' >"$FAKE_CTL/fail.gdbus"
run_task "$bin" "-a logout -t kde" "$bus"
expect_contains "plasma 6 logout" "--dest|org.kde.Shutdown|--object-path|/Shutdown|--method|org.kde.Shutdown.logout" "$(calls)"

# The screen saver's own word decides: a lock that got no answer but made it
# active counts (MATE never answers Lock), an unlock it ignored does not.
reset_fakes
printf '%s\n' '*.Lock' >"$FAKE_CTL/fail.gdbus"
echo '(true,)' >"$FAKE_CTL/out.gdbus.call"
run_task "$bin" "-a lock -d debian -t gnome" "$bus"
expect_eq "unanswered lock, screen saver active" 0 "$status"
expect_contains "unanswered lock record" "lock done through org.gnome.ScreenSaver (active=true)" "$err"
reset_fakes
echo '(true,)' >"$FAKE_CTL/out.gdbus.call"
run_task "$bin" "-a unlock -d debian -t kde" "$bus"
expect_eq "ignored unlock" 1 "$status"
expect_contains "ignored unlock record" "org.freedesktop.ScreenSaver still reports active=true" "$err"

# dbus-send and qdbus spell the same calls their own way.
bin=$(make_bin dbus-send)
add_fake "$bin" dbus-send
reset_fakes
run_task "$bin" "-a unlock -d debian -t kde" "$bus"
expect_eq "dbus-send unlock" "dbus-send --session|--print-reply|--reply-timeout=10000|--dest=org.freedesktop.ScreenSaver|/ScreenSaver|org.freedesktop.ScreenSaver.SetActive|boolean:false
dbus-send --session|--print-reply|--reply-timeout=10000|--dest=org.freedesktop.ScreenSaver|/ScreenSaver|org.freedesktop.ScreenSaver.GetActive" "$(calls)"
reset_fakes
run_task "$bin" "-a logout -t gnome" "$bus"
expect_eq "dbus-send logout" "dbus-send --session|--print-reply|--reply-timeout=10000|--dest=org.gnome.SessionManager|/org/gnome/SessionManager|org.gnome.SessionManager.Logout|uint32:1" "$(calls)"
bin=$(make_bin qdbus)
add_fake "$bin" qdbus
reset_fakes
run_task "$bin" "-a logout -t kde" "$bus"
expect_eq "qdbus logout" "qdbus org.kde.ksmserver|/KSMServer|org.kde.KSMServerInterface.logout|0|0|0" "$(calls)"

# MATE's own tools come first.
bin=$(make_bin mate)
add_fake "$bin" gdbus
add_fake "$bin" mate-screensaver-command
add_fake "$bin" mate-session-save
reset_fakes
run_task "$bin" "-a unlock -d debian -t mate" "$bus"
expect_eq "mate unlock" "mate-screensaver-command --deactivate" "$(calls)"
reset_fakes
run_task "$bin" "-a logout -t mate" "$bus"
expect_eq "mate logout" "mate-session-save --force-logout" "$(calls)"
reset_fakes
echo '*' >"$FAKE_CTL/fail.mate-screensaver-command"
run_task "$bin" "-a lock -d debian -t mate" "$bus"
expect_eq "mate lock over D-Bus after the tool failed" \
    "mate-screensaver-command --lock
$g3|--dest|org.mate.ScreenSaver|--object-path|/org/mate/ScreenSaver|--method|org.mate.ScreenSaver.Lock
$g|--dest|org.mate.ScreenSaver|--object-path|/org/mate/ScreenSaver|--method|org.mate.ScreenSaver.GetActive" "$(calls)"

# logind first: the session on this display among the caller's sessions.
bin=$(make_bin logind)
add_fake "$bin" gdbus
add_fake "$bin" loginctl
logind_sessions() {
    printf '%s\n' "c1 $uid user seat0 tty1" "c9 $((uid + 1)) other seat0 tty3" \
        "c7 $uid user seat0 tty2" >"$FAKE_CTL/out.loginctl.list-sessions"
    printf '%s\n' "Display=:10" "Type=x11" >"$FAKE_CTL/out.loginctl.show-session"
}
reset_fakes
logind_sessions
cat >"$FAKE_CTL/fail.loginctl" <<'GLOBS'
show-session|c7|*
GLOBS
run_task "$bin" "-a lock -d debian" "$bus" DISPLAY=:1 XDG_CURRENT_DESKTOP=GNOME
expect_eq "no session on :1, one graphical session (c1 on :10)" \
    "loginctl list-sessions|--no-legend
loginctl show-session|c1|-p|Display|-p|Type
loginctl show-session|c7|-p|Display|-p|Type
loginctl lock-session|c1" "$(calls)"
reset_fakes
logind_sessions
run_task "$bin" "-a unlock -d debian -t gnome" "$bus" DISPLAY=:10.0
expect_eq "session on display :10.0" \
    "loginctl list-sessions|--no-legend
loginctl show-session|c1|-p|Display|-p|Type
loginctl unlock-session|c1" "$(calls)"
reset_fakes
logind_sessions
run_task "$bin" "-a lock -d debian" "$bus" DISPLAY=:1 XDG_CURRENT_DESKTOP=GNOME
expect_eq "two graphical sessions, none on :1: no guess" "gdbus" "$(calls | tail -n 1 | cut -d' ' -f1)"
reset_fakes
run_task "$bin" "-a lock -d debian" "$bus" XDG_SESSION_ID=42 XDG_CURRENT_DESKTOP=GNOME
expect_eq "XDG_SESSION_ID is used as is" "loginctl lock-session|42" "$(calls)"
expect_contains "logind logged" "lock done through logind lock-session 42" "$err"

# logind refusing (no systemd as PID 1) falls back to the desktop.
reset_fakes
echo '*' >"$FAKE_CTL/fail.loginctl"
run_task "$bin" "-a lock -d debian" "$bus" XDG_SESSION_ID=42 XDG_CURRENT_DESKTOP=GNOME
expect_eq "fallback status" 0 "$status"
expect_eq "fallback calls" "loginctl lock-session|42
$g3|--dest|org.gnome.ScreenSaver|--object-path|/org/gnome/ScreenSaver|--method|org.gnome.ScreenSaver.Lock" "$(calls | head -n 2)"

# Logout ends the logind session only when the session manager refused.
reset_fakes
echo '*' >"$FAKE_CTL/fail.gdbus"
run_task "$bin" "-a logout -t gnome" "$bus" XDG_SESSION_ID=42
expect_eq "terminate after refusal" "loginctl terminate-session|42" "$(calls | tail -n 1)"
expect_eq "terminate status" 0 "$status"
reset_fakes
echo '*' >"$FAKE_CTL/fail.gdbus"
run_task "$bin" "-a logout -t gnome" "$bus"
expect_eq "no session, no way: status" 1 "$status"

# The bus address is found from XDG_RUNTIME_DIR when the caller lacks it.
reset_fakes
mkdir -p "$WORK/runtime"
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
