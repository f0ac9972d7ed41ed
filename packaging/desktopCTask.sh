#!/bin/sh
# desktopCTask.sh - lock, unlock or log out the graphical desktop session that
# DesktopController runs in, and confirm that it happened.
#
# DesktopController runs this script through "sh -c" as one of:
#   desktopCTask.sh -a lock   -d <distribution>
#   desktopCTask.sh -a unlock -d <distribution> -t <desktop type>
#   desktopCTask.sh -a logout -t <desktop type>
# The daemon joins these words without quoting, so a value can be missing:
# "-d" as the last word, or "-d -t kde", means an empty distribution.
#
# Desktop types: gnome, mate, kde. Without -t the type is worked out from the
# session environment the same way DesktopController does it.
# Distributions: debian, suse, rhel, rocky, centos, ubuntu, or empty. It is
# only recorded: every way of acting used here depends on the desktop, not on
# the distribution.
#
# The daemon learns nothing from the desktop about a request, so this script
# is the only one that can tell whether the desktop really changed. Every way
# of acting is therefore followed by a look at the result, and a way whose
# result does not show is not trusted: the next way is tried.
#  - lock, unlock: systemd-logind first (every desktop listens to it), then
#    the desktop's own screen saver. A way counts when the screen saver's
#    GetActive, or logind's LockedHint, shows the new state.
#  - logout: the session manager (applications end the ordinary way), then
#    its forced mode, then ending the logind session. A way counts when the
#    session manager left the bus or the logind session is closing.
# The logind session is the one of this desktop: XDG_SESSION_ID when set,
# otherwise the caller's graphical session on this display (DISPLAY, or
# WAYLAND_DISPLAY through the session's leader process). Between several
# graphical sessions that cannot be told apart the script refuses to act,
# since the session bus and logind would both reach the other desktop too.
#
# Exit statuses:
#   0  the action was carried out and confirmed
#   1  every way failed or was refused, or nothing confirmed the change, or
#      this desktop's session could not be told from another one
#   2  bad usage: missing -a, unknown action, option or desktop type
#
# Environment, for slow desktops (whole seconds):
#   DESKTOPCTASK_CONFIRM_SECONDS  how long a lock or unlock may take to show
#                                 (default 5)
#   DESKTOPCTASK_LOGOUT_SECONDS   how long each way of logging out may take
#                                 to end the session (default 20)
#
# Written for POSIX sh (dash on Debian); bash runs it unchanged.
# Every decision is logged to the system journal (syslog tag "desktopCTask")
# when a syslog socket exists, otherwise to standard error: one line for each
# way tried.

set -u

readonly PROG=desktopCTask
readonly EXIT_OK=0 EXIT_FAILED=1 EXIT_USAGE=2
# Seconds any single call into the desktop may take. The daemon runs task
# scripts one at a time, so a hung screen saver must not hang the script.
readonly CALL_TIMEOUT=10
# Some screen savers (MATE) never answer Lock; the lock is then confirmed by
# asking whether the screen saver became active.
readonly LOCK_REPLY_TIMEOUT=3
# How often the desktop is looked at while waiting for a result.
readonly LOOKS_PER_SECOND=5 LOOK_PAUSE=0.2
call_timeout=$CALL_TIMEOUT
confirm_seconds=5
logout_seconds=20
done_through=

action=
distribution=
desktop_type=
# This desktop's logind session, when logind knows it.
session=
# The screen saver whose GetActive shows the lock state.
saver_bus='' saver_path='' saver_interface=''
# The session manager's bus name, which leaves the bus when the session ends.
manager_name=

# to_journal PRIORITY MESSAGE: true when the message reached syslog.
to_journal() {
    [ -S /dev/log ] || return 1
    command -v logger >/dev/null 2>&1 || return 1
    logger -t "$PROG" -p "user.$1" -- "$2" 2>/dev/null
}

# log PRIORITY MESSAGE (PRIORITY: info, warning or err).
log() {
    to_journal "$1" "$2" || printf '%s: %s: %s\n' "$PROG" "$1" "$2" >&2
}

usage() {
    printf '%s\n' \
        "Usage: $PROG.sh -a lock|unlock|logout [-d DISTRIBUTION] [-t gnome|mate|kde]" \
        "" \
        "  -a ACTION        lock, unlock or logout the desktop session" \
        "  -d DISTRIBUTION  debian, suse, rhel, rocky, centos, ubuntu or empty" \
        "  -t DESKTOP       gnome, mate or kde; detected from the session when" \
        "                   missing or empty" \
        "  -h               show this help" \
        "" \
        "Environment: DESKTOPCTASK_CONFIRM_SECONDS (default 5) and" \
        "DESKTOPCTASK_LOGOUT_SECONDS (default 20) bound the waits for the result." \
        "" \
        "Exit status: 0 done and confirmed, 1 every way failed or nothing confirmed" \
        "it, or this desktop's session is ambiguous, 2 bad usage."
}

# usage_error MESSAGE: the message and the usage go to standard error.
usage_error() {
    to_journal err "bad usage: $1" || true
    printf '%s: %s\n' "$PROG" "$1" >&2
    usage >&2
    exit "$EXIT_USAGE"
}

is_option() {
    case $1 in
    -?*) return 0 ;;
    *) return 1 ;;
    esac
}

parse_args() {
    while [ $# -gt 0 ]; do
        opt=$1
        shift
        case $opt in
        -a | -d | -t)
            value=
            if [ $# -gt 0 ] && ! is_option "$1"; then
                value=$1
                shift
            fi
            case $opt in
            -a) action=$value ;;
            -d) distribution=$value ;;
            -t) desktop_type=$value ;;
            esac
            ;;
        -h | --help)
            usage
            exit "$EXIT_OK"
            ;;
        -?*) usage_error "unknown option '$opt'" ;;
        *) usage_error "unexpected argument '$opt'" ;;
        esac
    done
}

validate_args() {
    case $action in
    lock | unlock | logout) ;;
    '') usage_error "missing action: -a lock|unlock|logout" ;;
    *) usage_error "unknown action '$action'" ;;
    esac
    case $desktop_type in
    gnome | mate | kde | '') ;;
    *) usage_error "unknown desktop type '$desktop_type'" ;;
    esac
    case $distribution in
    debian | suse | rhel | rocky | centos | ubuntu | '') ;;
    *) log warning "unrecognised distribution '$distribution', ignored" ;;
    esac
    confirm_seconds=$(seconds_setting DESKTOPCTASK_CONFIRM_SECONDS "${DESKTOPCTASK_CONFIRM_SECONDS:-}" 5)
    logout_seconds=$(seconds_setting DESKTOPCTASK_LOGOUT_SECONDS "${DESKTOPCTASK_LOGOUT_SECONDS:-}" 20)
}

# seconds_setting NAME VALUE DEFAULT: VALUE when it is a whole number of
# seconds, else DEFAULT (with a warning when VALUE was set).
seconds_setting() {
    case $2 in
    '') echo "$3" ;;
    *[!0-9]* | ?????*)
        log warning "$1='$2' is not a number of seconds, $3 is used"
        echo "$3"
        ;;
    *) echo "$2" ;;
    esac
}

# process_running NAME: a process whose command name is exactly NAME exists.
process_running() {
    for comm in /proc/[0-9]*/comm; do
        IFS= read -r name 2>/dev/null <"$comm" || continue
        [ "$name" = "$1" ] && return 0
    done
    return 1
}

# Mirrors DesktopController: case-sensitive substrings of XDG_CURRENT_DESKTOP,
# then of DESKTOP_SESSION, then the running session manager, else gnome.
detect_desktop_type() {
    case ${XDG_CURRENT_DESKTOP:-} in
    *GNOME*) echo gnome && return ;;
    *MATE*) echo mate && return ;;
    *KDE*) echo kde && return ;;
    esac
    case ${DESKTOP_SESSION:-} in
    *gnome* | *ubuntu*) echo gnome && return ;;
    *mate*) echo mate && return ;;
    *plasma*) echo kde && return ;;
    esac
    if process_running mate-session; then
        echo mate
    elif process_running ksmserver; then
        echo kde
    else
        echo gnome
    fi
}

# A daemon started outside the session's own environment may lack the bus
# address although the per-user bus socket is there.
ensure_session_bus() {
    [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ] || return 0
    if [ -n "${XDG_RUNTIME_DIR:-}" ] && [ -S "$XDG_RUNTIME_DIR/bus" ]; then
        DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
        export DBUS_SESSION_BUS_ADDRESS
        log info "session bus address taken from $XDG_RUNTIME_DIR/bus"
    else
        log warning "no session bus address; D-Bus calls will likely fail"
    fi
}


one_line() {
    printf '%s' "$1" | tr -s '\n' ' '
}

have() {
    command -v "$1" >/dev/null 2>&1
}

# The D-Bus clients get call_timeout themselves; the outer bound, a little
# longer, catches a tool that hangs anyway.
run_bounded() {
    if have timeout; then
        timeout -k 2 $((call_timeout + 2)) "$@"
    else
        "$@"
    fi
}

# run_quiet COMMAND [ARG...]: sets status and output (one line), logs nothing.
run_quiet() {
    if ! have "$1"; then
        status=127 output="$1 is not installed"
        return 1
    fi
    output=$(run_bounded "$@" 2>&1 </dev/null)
    status=$?
    [ "$status" -ne 124 ] || output="no answer within $((call_timeout + 2)) s"
    output=$(one_line "$output")
    return "$status"
}

# quiet DESCRIPTION COMMAND [ARG...]: a look at the desktop, not logged.
# shellcheck disable=SC2317 # called through dbus_call
quiet() {
    shift
    run_quiet "$@"
}

# The first D-Bus command-line client found is used for every call: they all
# reach the same bus, so a refusal through one would be a refusal through all.
dbus_tool() {
    for tool in gdbus dbus-send qdbus qdbus6 qdbus-qt5; do
        have "$tool" && echo "$tool" && return 0
    done
    return 1
}

# dbus_call RUNNER BUS_NAME OBJECT_PATH INTERFACE.METHOD [ARG...]: RUNNER
# (quiet, lock_way or logout_way) gets a description and the client's command.
# Each ARG is TYPE:VALUE with TYPE b (boolean), i (int32), u (uint32) or s
# (string); it is spelled the way the chosen client wants it.
dbus_call() {
    runner=$1 bus_name=$2 object_path=$3 method=$4
    shift 4
    if ! tool=$(dbus_tool); then
        status=127 output="no D-Bus client (gdbus, dbus-send, qdbus) is installed"
        [ "$runner" = quiet ] || log info "$method: $output"
        return 1
    fi
    count=$#
    for arg; do
        kind=${arg%%:*} value=${arg#*:}
        case $tool:$kind in
        gdbus:i) set -- "$@" "int32 $value" ;;
        gdbus:u) set -- "$@" "uint32 $value" ;;
        dbus-send:b) set -- "$@" "boolean:$value" ;;
        dbus-send:i) set -- "$@" "int32:$value" ;;
        dbus-send:u) set -- "$@" "uint32:$value" ;;
        dbus-send:s) set -- "$@" "string:$value" ;;
        *) set -- "$@" "$value" ;;
        esac
    done
    shift "$count"
    case $tool in
    gdbus)
        "$runner" "$method over gdbus" gdbus call --session \
            --timeout "$call_timeout" --dest "$bus_name" \
            --object-path "$object_path" --method "$method" "$@"
        ;;
    dbus-send)
        "$runner" "$method over dbus-send" dbus-send --session --print-reply \
            --reply-timeout=$((call_timeout * 1000)) --dest="$bus_name" \
            "$object_path" "$method" "$@"
        ;;
    *)
        "$runner" "$method over $tool" "$tool" "$bus_name" "$object_path" \
            "$method" "$@"
        ;;
    esac
}

# poll LOOKS CHECK: runs CHECK up to LOOKS times, LOOK_PAUSE apart, while
# it returns 1 (not yet); then its last status.
poll() {
    looks=$1
    while :; do
        "$2"
        polled=$?
        [ "$polled" -eq 1 ] || return "$polled"
        looks=$((looks - 1))
        [ "$looks" -gt 0 ] || return 1
        sleep "$LOOK_PAUSE"
    done
}


# ppid_of PID: the parent's pid, from /proc (the command name in stat may
# hold blanks and parentheses, so the fields after its last ")" are read).
ppid_of() {
    IFS= read -r stat 2>/dev/null <"/proc/$1/stat" || return 1
    # shellcheck disable=SC2086
    set -- ${stat##*) }
    echo "$2"
}

# wayland_display_of PID: the WAYLAND_DISPLAY a process started with.
wayland_display_of() {
    tr '\0' '\n' 2>/dev/null <"/proc/$1/environ" | while IFS= read -r entry; do
        case $entry in
        WAYLAND_DISPLAY=*) echo "${entry#*=}" && break ;;
        esac
    done
}

# wayland_ancestors: every process from which one of the caller's processes
# on this Wayland display descends, itself included. A session's leader is
# among them when the session runs on this display.
wayland_ancestors() {
    for dir in /proc/[0-9]*; do
        pid=${dir#/proc/}
        [ -O "$dir" ] || continue
        [ "$(wayland_display_of "$pid")" = "$WAYLAND_DISPLAY" ] || continue
        depth=0
        while [ -n "$pid" ] && [ "$pid" -gt 1 ] && [ "$depth" -lt 64 ]; do
            echo "$pid"
            pid=$(ppid_of "$pid") || break
            depth=$((depth + 1))
        done
    done
}

display_name() {
    echo "${DISPLAY:-${WAYLAND_DISPLAY:-none}}"
}

word_count() {
    # shellcheck disable=SC2086
    set -- $1
    echo $#
}

# read_session SID: sets sdisplay, stype and sleader from logind.
read_session() {
    props=$(run_bounded loginctl show-session "$1" -p Display -p Type -p Leader </dev/null 2>/dev/null) || return 1
    sdisplay='' stype='' sleader=''
    while IFS='=' read -r key val; do
        case $key in
        Display) sdisplay=$val ;;
        Type) stype=$val ;;
        Leader) sleader=$val ;;
        esac
    done <<PROPS
$props
PROPS
}

is_graphical() {
    [ -n "$sdisplay" ] && return 0
    case $stype in
    x11 | wayland | mir) return 0 ;;
    esac
    return 1
}

# on_this_display: 0 when the session read last is this desktop's, 1 when it
# is on another display, 2 when nothing tells.
on_this_display() {
    if [ -n "$sdisplay" ]; then
        x_display=${DISPLAY:-}
        if [ "$sdisplay" = "$x_display" ] || [ "$sdisplay" = "${x_display%.*}" ]; then
            return 0
        fi
        # An X session elsewhere; under Wayland, Xwayland's DISPLAY may
        # still differ from what logind recorded.
        [ -n "${WAYLAND_DISPLAY:-}" ] && [ -n "${DISPLAY:-}" ] || return 1
    fi
    if [ -n "${WAYLAND_DISPLAY:-}" ] && [ -n "$sleader" ] && [ "$sleader" != 0 ]; then
        [ -n "${leaders_seen:-}" ] || leaders_seen=" $(wayland_ancestors | tr '\n' ' ')"
        case $leaders_seen in
        *" $sleader "*) return 0 ;;
        esac
    fi
    return 2
}

# refuse_sessions LIST: several sessions could be this desktop's.
refuse_sessions() {
    log err "refusing to $action: graphical sessions$1 of uid $uid could each be the one on display $(display_name)"
    exit "$EXIT_FAILED"
}

# find_session: sets session to this desktop's logind session, or leaves it
# empty when logind is not there or knows no session of this desktop; ends
# the script when several graphical sessions of the caller could be this one.
find_session() {
    if ! have loginctl; then
        log info "loginctl is not installed, logind is not used"
        return
    fi
    if [ -n "${XDG_SESSION_ID:-}" ]; then
        session=$XDG_SESSION_ID
        log info "logind session $session, from XDG_SESSION_ID"
        return
    fi
    if ! sessions=$(run_bounded loginctl list-sessions --no-legend 2>&1 </dev/null); then
        log info "logind is not reachable, it is not used: $(one_line "$sessions")"
        return
    fi
    uid=$(id -u)
    matching='' unknown=''
    while read -r sid suid _; do
        if [ -z "$sid" ] || [ "$suid" != "$uid" ] || ! read_session "$sid" || ! is_graphical; then
            continue
        fi
        on_this_display
        case $? in
        0) matching="$matching $sid" ;;
        2) unknown="$unknown $sid" ;;
        esac
    done <<SESSIONS
$sessions
SESSIONS
    case $(word_count "$matching"),$(word_count "$unknown") in
    1,*)
        session=${matching# }
        log info "logind session $session is the one on display $(display_name)"
        ;;
    0,0) log info "logind knows no graphical session of uid $uid on display $(display_name), it is not used" ;;
    0,1)
        session=${unknown# }
        log info "logind session $session is the only graphical session of uid $uid that may be on display $(display_name)"
        ;;
    0,*) refuse_sessions "$unknown" ;;
    *) refuse_sessions "$matching" ;;
    esac
}

# check_session: a session named by XDG_SESSION_ID or found above is only
# used when logind answers for it.
check_session() {
    [ -n "$session" ] || return 0
    run_quiet loginctl show-session "$session" -p State --value && return 0
    log info "logind does not answer for session $session, it is not used${output:+: $output}"
    session=
}

choose_desktop_interfaces() {
    case $desktop_type in
    gnome)
        saver_bus=org.gnome.ScreenSaver saver_path=/org/gnome/ScreenSaver
        manager_name=org.gnome.SessionManager
        ;;
    mate)
        saver_bus=org.mate.ScreenSaver saver_path=/org/mate/ScreenSaver
        manager_name=org.gnome.SessionManager
        ;;
    kde)
        saver_bus=org.freedesktop.ScreenSaver saver_path=/ScreenSaver
        manager_name=org.kde.ksmserver
        ;;
    esac
    saver_interface=$saver_bus
}

# look: sets saver_state and hint_state (locked, unlocked or unknown) from
# the screen saver's GetActive and logind's LockedHint.
# shellcheck disable=SC2317 # reached through poll
look() {
    saver_state=unknown hint_state=unknown
    if dbus_call quiet "$saver_bus" "$saver_path" "$saver_interface.GetActive"; then
        case $output in
        *true*) saver_state=locked ;;
        *false*) saver_state=unlocked ;;
        esac
    fi
    [ -n "$session" ] || return 0
    if run_quiet loginctl show-session "$session" -p LockedHint --value; then
        case $output in
        yes) hint_state=locked ;;
        no) hint_state=unlocked ;;
        esac
    fi
}

# shows_wanted: true when GetActive or LockedHint shows the wanted state;
# sets confirmed_by.
# shellcheck disable=SC2317 # reached through poll
shows_wanted() {
    look
    if [ "$saver_state" = "$want" ]; then
        confirmed_by="$saver_interface GetActive"
        return 0
    fi
    if [ "$hint_state" = "$want" ]; then
        confirmed_by="logind LockedHint of session $session"
        return 0
    fi
    return 1
}

# confirm LOOKS: true once the wanted state shows within LOOKS looks; sets
# seen, for the log, when it does not.
confirm() {
    poll "$1" shows_wanted && return 0
    seen="$saver_interface GetActive: $saver_state"
    [ -z "$session" ] || seen="$seen, LockedHint: $hint_state"
    return 1
}

# ask SECONDS COMMAND [ARG...]: the act of a way (described by what). Sets
# asked and answer, and looks: SECONDS worth when the call returned, one
# look when it failed (the desktop may be there already, or the session
# ended under it). False, after its log line, when the tool is missing or
# hung, since the desktop is not asked again then.
ask() {
    seconds=$1
    shift
    run_quiet "$@"
    asked=$status answer=$output
    case $asked in
    0) looks=$((seconds * LOOKS_PER_SECOND)) ;;
    124 | 127)
        log warning "$what failed: $answer"
        return 1
        ;;
    *) looks=1 ;;
    esac
}

# lock_way DESCRIPTION COMMAND [ARG...]: one way to reach the state in want
# (locked or unlocked), then a look at whether the desktop got there.
lock_way() {
    what=$1
    shift
    ask "$confirm_seconds" "$@" || return 1
    if confirm "$looks"; then
        log info "$what: done, $confirmed_by shows $want"
        done_through=$what
        return 0
    fi
    if [ "$asked" -eq 0 ]; then
        log warning "$what returned, but the desktop is not $want after $confirm_seconds s ($seen)"
    else
        log warning "$what failed (status $asked)${answer:+: $answer}; the desktop is not $want ($seen)"
    fi
    return 1
}

# saver_way PATH METHOD [ARG]: the screen saver's own call on one of its
# object paths, confirmed on the same path.
saver_way() {
    saver_path=$1
    method=$2
    shift 2
    [ "$method" != Lock ] || call_timeout=$LOCK_REPLY_TIMEOUT
    dbus_call lock_way "$saver_bus" "$saver_path" "$saver_interface.$method" "$@"
    result=$?
    call_timeout=$CALL_TIMEOUT
    return "$result"
}

lock_desktop() {
    want=locked
    if [ -n "$session" ]; then
        lock_way "logind lock-session $session" loginctl lock-session "$session" && return 0
    fi
    case $desktop_type in
    mate)
        lock_way "mate-screensaver-command --lock" mate-screensaver-command --lock ||
            saver_way /org/mate/ScreenSaver Lock
        ;;
    gnome) saver_way /org/gnome/ScreenSaver Lock ;;
    kde) saver_way /ScreenSaver Lock || saver_way /org/freedesktop/ScreenSaver Lock ;;
    esac
}

unlock_desktop() {
    want=unlocked
    if [ -n "$session" ]; then
        lock_way "logind unlock-session $session" loginctl unlock-session "$session" && return 0
    fi
    case $desktop_type in
    mate)
        lock_way "mate-screensaver-command --deactivate" mate-screensaver-command --deactivate ||
            saver_way /org/mate/ScreenSaver SetActive b:false
        ;;
    gnome) saver_way /org/gnome/ScreenSaver SetActive b:false ;;
    kde)
        saver_way /ScreenSaver SetActive b:false ||
            saver_way /org/freedesktop/ScreenSaver SetActive b:false
        ;;
    esac
}

# session_ended: 0 when the session is gone (sets ended_by), 1 while it is
# still there, 2 when nothing can tell.
# shellcheck disable=SC2317 # reached through poll
session_ended() {
    can_tell=no
    if [ -n "$session" ]; then
        if ! run_quiet loginctl show-session "$session" -p State --value; then
            ended_by="logind no longer knows session $session"
            return 0
        fi
        if [ "$output" = closing ]; then
            ended_by="logind session $session is closing"
            return 0
        fi
        can_tell=yes
    fi
    if dbus_tool >/dev/null; then
        if ! dbus_call quiet org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.NameHasOwner "s:$manager_name"; then
            ended_by="the session bus is gone"
            return 0
        fi
        case $output in
        *false*)
            ended_by="$manager_name left the session bus"
            return 0
            ;;
        *true*) can_tell=yes ;;
        esac
    fi
    [ "$can_tell" = yes ] && return 1
    return 2
}

# logout_way DESCRIPTION COMMAND [ARG...]: one way to end the session, then a
# wait until it ended. A session manager may return at once and still be
# held back by an application or an inhibitor.
logout_way() {
    what=$1
    shift
    ask "$logout_seconds" "$@" || return 1
    poll "$looks" session_ended
    case $? in
    0)
        log info "$what: done, $ended_by"
        done_through=$what
        return 0
        ;;
    2) log warning "$what${answer:+ ($answer)}: nothing tells whether the session ended (no logind session, no D-Bus client)" ;;
    *)
        if [ "$asked" -eq 0 ]; then
            log warning "$what returned, but the session is still there after $logout_seconds s"
        else
            log warning "$what failed (status $asked)${answer:+: $answer}"
        fi
        ;;
    esac
    return 1
}

# manager_logout MODE: the GNOME session manager interface, which MATE's
# session manager offers too. Mode 1 asks nobody; mode 2 also overrides
# inhibitors.
manager_logout() {
    dbus_call logout_way org.gnome.SessionManager /org/gnome/SessionManager \
        org.gnome.SessionManager.Logout "u:$1"
}

# manager_absent: true when the session bus says that no session manager
# is on it. Its ways would then have nothing to ask, and its absence would
# look like a session that already ended.
manager_absent() {
    dbus_tool >/dev/null || return 1
    dbus_call quiet org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner "s:$manager_name" || return 1
    case $output in
    *false*) return 0 ;;
    esac
    return 1
}

# The desktop's own ways, the ordinary one first and then the forced one.
# None of them asks the user, who may not be at this screen at all.
session_manager_logout() {
    if manager_absent; then
        log warning "no $desktop_type session manager ($manager_name) is on the session bus"
        return 1
    fi
    case $desktop_type in
    gnome) manager_logout 1 || manager_logout 2 ;;
    mate)
        if have mate-session-save; then
            logout_way "mate-session-save --logout" mate-session-save --logout ||
                logout_way "mate-session-save --force-logout" mate-session-save --force-logout
        else
            manager_logout 1 || manager_logout 2
        fi
        ;;
    kde)
        dbus_call logout_way org.kde.ksmserver /KSMServer \
            org.kde.KSMServerInterface.logout i:0 i:0 i:0 ||
            dbus_call logout_way org.kde.ksmserver /KSMServer \
                org.kde.KSMServerInterface.logout i:0 i:0 i:2 ||
            dbus_call logout_way org.kde.Shutdown /Shutdown org.kde.Shutdown.logout
        ;;
    esac
}

logout_desktop() {
    session_manager_logout && return 0
    if [ -z "$session" ]; then
        log warning "the $desktop_type session manager did not end the session, and there is no logind session to end"
        return 1
    fi
    log warning "the $desktop_type session manager did not end the session, ending logind session $session"
    logout_way "logind terminate-session $session" loginctl terminate-session "$session"
}

run_action() {
    case $action in
    lock) lock_desktop ;;
    unlock) unlock_desktop ;;
    logout) logout_desktop ;;
    esac
}

main() {
    parse_args "$@"
    validate_args
    if [ -z "$desktop_type" ]; then
        desktop_type=$(detect_desktop_type)
        log info "desktop type detected: $desktop_type"
    fi
    log info "$action requested: desktop '$desktop_type', distribution '$distribution'"
    ensure_session_bus
    choose_desktop_interfaces
    find_session
    check_session
    if run_action; then
        log info "$action done through $done_through"
        exit "$EXIT_OK"
    fi
    log err "could not $action the $desktop_type desktop: every way failed or was not confirmed"
    exit "$EXIT_FAILED"
}

main "$@"
