#!/bin/sh
# desktopCTask.sh - lock, unlock or log out the graphical desktop session that
# DesktopController runs in.
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
# systemd-logind is asked first for lock and unlock, since every desktop
# listens to it; where logind is missing (PID 1 is not systemd) the desktop's
# own screen-saver interface on the session bus is used. Logout asks the
# desktop's session manager, so that applications end the ordinary way, and
# only ends the logind session as a last resort.
#
# Exit statuses:
#   0  the action was carried out
#   1  the desktop refused the action, or offers no way to carry it out
#   2  bad usage: missing -a, unknown action, option or desktop type
#
# Written for POSIX sh (dash on Debian); bash runs it unchanged.
# Every decision is logged to the system journal (syslog tag "desktopCTask")
# when a syslog socket exists, otherwise to standard error.

set -u

readonly PROG=desktopCTask
readonly EXIT_OK=0 EXIT_FAILED=1 EXIT_USAGE=2
# Seconds any single call into the desktop may take. The daemon runs task
# scripts one at a time, so a hung screen saver must not hang the script.
readonly CALL_TIMEOUT=10
# Some screen savers (MATE) never answer Lock; the lock is then confirmed by
# asking whether the screen saver became active.
readonly LOCK_REPLY_TIMEOUT=3
call_timeout=$CALL_TIMEOUT
done_through=

action=
distribution=
desktop_type=

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
        "Exit status: 0 done, 1 the desktop refused or offers no way, 2 bad usage."
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

# attempt DESCRIPTION COMMAND [ARG...]: one way of doing the action.
attempt() {
    what=$1
    shift
    if ! have "$1"; then
        log info "$what: $1 is not installed"
        return 1
    fi
    output=$(run_bounded "$@" 2>&1 </dev/null)
    status=$?
    if [ "$status" -eq 0 ]; then
        log info "$what succeeded"
        done_through=$what
        return 0
    fi
    if [ "$status" -eq 124 ]; then
        output="no answer within $((call_timeout + 2)) s"
    fi
    output=$(one_line "$output")
    log warning "$what failed (status $status)${output:+: $output}"
    return 1
}

# The first D-Bus command-line client found is used for every call: they all
# reach the same bus, so a refusal through one would be a refusal through all.
dbus_tool() {
    for tool in gdbus dbus-send qdbus qdbus6 qdbus-qt5; do
        have "$tool" && echo "$tool" && return 0
    done
    return 1
}

# dbus_call BUS_NAME OBJECT_PATH INTERFACE.METHOD [ARG...]
# Each ARG is TYPE:VALUE with TYPE b (boolean), i (int32) or u (uint32); it is
# spelled the way the chosen client wants it.
dbus_call() {
    bus_name=$1 object_path=$2 method=$3
    shift 3
    if ! tool=$(dbus_tool); then
        log info "$method: no D-Bus client (gdbus, dbus-send, qdbus) is installed"
        return 1
    fi
    count=$#
    for arg; do
        kind=${arg%%:*} value=${arg#*:}
        case $tool:$kind in
        gdbus:b) set -- "$@" "$value" ;;
        gdbus:i) set -- "$@" "int32 $value" ;;
        gdbus:u) set -- "$@" "uint32 $value" ;;
        dbus-send:b) set -- "$@" "boolean:$value" ;;
        dbus-send:i) set -- "$@" "int32:$value" ;;
        dbus-send:u) set -- "$@" "uint32:$value" ;;
        *) set -- "$@" "$value" ;;
        esac
    done
    shift "$count"
    case $tool in
    gdbus)
        attempt "$method over gdbus" gdbus call --session \
            --timeout "$call_timeout" --dest "$bus_name" \
            --object-path "$object_path" --method "$method" "$@"
        ;;
    dbus-send)
        attempt "$method over dbus-send" dbus-send --session --print-reply \
            --reply-timeout=$((call_timeout * 1000)) --dest="$bus_name" \
            "$object_path" "$method" "$@"
        ;;
    *)
        attempt "$method over $tool" "$tool" "$bus_name" "$object_path" \
            "$method" "$@"
        ;;
    esac
}

# logind_session: prints this desktop's logind session id. XDG_SESSION_ID is
# trusted when set; otherwise the caller's sessions are searched for the one
# on this X display, or for the only graphical one.
logind_session() {
    if ! have loginctl; then
        log info "loginctl is not installed, logind is not used"
        return 1
    fi
    if [ -n "${XDG_SESSION_ID:-}" ]; then
        echo "$XDG_SESSION_ID"
        return 0
    fi
    if ! sessions=$(run_bounded loginctl list-sessions --no-legend 2>&1 </dev/null); then
        log info "logind is not reachable: $(one_line "$sessions")"
        return 1
    fi
    uid=$(id -u)
    found='' graphical='' graphical_count=0
    while read -r sid suid _; do
        if [ -z "$sid" ] || [ "$suid" != "$uid" ]; then
            continue
        fi
        props=$(run_bounded loginctl show-session "$sid" -p Display -p Type </dev/null 2>/dev/null) || continue
        sdisplay='' stype=''
        while IFS='=' read -r key val; do
            case $key in
            Display) sdisplay=$val ;;
            Type) stype=$val ;;
            esac
        done <<PROPS
$props
PROPS
        if [ -n "${DISPLAY:-}" ] && [ -n "$sdisplay" ] &&
            { [ "$sdisplay" = "$DISPLAY" ] || [ "$sdisplay" = "${DISPLAY%.*}" ]; }; then
            found=$sid
            break
        fi
        case $stype in
        x11 | wayland | mir) graphical=$sid graphical_count=$((graphical_count + 1)) ;;
        esac
    done <<EOF
$sessions
EOF
    if [ -z "$found" ] && [ "$graphical_count" -eq 1 ]; then
        found=$graphical
    fi
    if [ -z "$found" ]; then
        log info "logind knows no single graphical session of uid $uid for display '${DISPLAY:-}'"
        return 1
    fi
    echo "$found"
}

# logind ACTION-VERB: lock-session, unlock-session or terminate-session.
logind() {
    session=$(logind_session) || return 1
    attempt "logind $1 $session" loginctl "$1" "$session"
}

# screensaver_active BUS PATH INTERFACE: sets active to true, false or
# unknown (no GetActive answer).
screensaver_active() {
    active=unknown
    dbus_call "$1" "$2" "$3.GetActive" || return 0
    case $output in
    *true*) active=true ;;
    *false*) active=false ;;
    esac
}

# screensaver BUS PATH INTERFACE lock|unlock: asks the screen saver, then
# confirms with GetActive, because MATE never answers Lock and KDE answers
# SetActive(false) on a locked screen without unlocking it.
screensaver() {
    if [ "$4" = lock ]; then
        want=true
        call_timeout=$LOCK_REPLY_TIMEOUT
        dbus_call "$1" "$2" "$3.Lock"
        asked=$?
        call_timeout=$CALL_TIMEOUT
    else
        want=false
        dbus_call "$1" "$2" "$3.SetActive" b:false
        asked=$?
    fi
    # A screen saver that hung is not asked again.
    if [ "$asked" -ne 0 ] && [ "${status:-0}" -eq 124 ]; then
        return 1
    fi
    asked_through=$done_through
    # A screen saver may take a moment to switch after it answered.
    for wait in 1 1 0; do
        screensaver_active "$1" "$2" "$3"
        [ "$active" = "$want" ] || [ "$active" = unknown ] && break
        [ "$asked" -eq 0 ] || break
        sleep "$wait"
    done
    if [ "$active" = "$want" ]; then
        log info "$3 reports active=$active"
        done_through="$3 (active=$active)"
        return 0
    fi
    if [ "$active" = unknown ] && [ "$asked" -eq 0 ]; then
        done_through=$asked_through
        return 0
    fi
    [ "$active" = unknown ] || log warning "$3 still reports active=$active"
    return 1
}

lock_desktop() {
    logind lock-session && return 0
    case $desktop_type in
    mate)
        attempt "mate-screensaver-command --lock" mate-screensaver-command --lock ||
            screensaver org.mate.ScreenSaver /org/mate/ScreenSaver org.mate.ScreenSaver lock
        ;;
    gnome)
        screensaver org.gnome.ScreenSaver /org/gnome/ScreenSaver org.gnome.ScreenSaver lock
        ;;
    kde)
        screensaver org.freedesktop.ScreenSaver /ScreenSaver org.freedesktop.ScreenSaver lock ||
            screensaver org.freedesktop.ScreenSaver /org/freedesktop/ScreenSaver \
                org.freedesktop.ScreenSaver lock
        ;;
    esac
}

unlock_desktop() {
    logind unlock-session && return 0
    case $desktop_type in
    mate)
        attempt "mate-screensaver-command --deactivate" mate-screensaver-command --deactivate ||
            screensaver org.mate.ScreenSaver /org/mate/ScreenSaver org.mate.ScreenSaver unlock
        ;;
    gnome)
        screensaver org.gnome.ScreenSaver /org/gnome/ScreenSaver org.gnome.ScreenSaver unlock
        ;;
    kde)
        screensaver org.freedesktop.ScreenSaver /ScreenSaver org.freedesktop.ScreenSaver unlock ||
            screensaver org.freedesktop.ScreenSaver /org/freedesktop/ScreenSaver \
                org.freedesktop.ScreenSaver unlock
        ;;
    esac
}

# Logout mode 1 (GNOME, MATE) and confirm 0 (KDE) end the session without
# asking the user, who may not be at this screen at all.
logout_desktop() {
    case $desktop_type in
    mate)
        attempt "mate-session-save --force-logout" mate-session-save --force-logout ||
            dbus_call org.gnome.SessionManager /org/gnome/SessionManager \
                org.gnome.SessionManager.Logout u:1 ||
            dbus_call org.mate.SessionManager /org/mate/SessionManager \
                org.mate.SessionManager.Logout u:1
        ;;
    gnome)
        dbus_call org.gnome.SessionManager /org/gnome/SessionManager \
            org.gnome.SessionManager.Logout u:1
        ;;
    kde)
        dbus_call org.kde.ksmserver /KSMServer org.kde.KSMServerInterface.logout \
            i:0 i:0 i:0 ||
            dbus_call org.kde.Shutdown /Shutdown org.kde.Shutdown.logout
        ;;
    esac && return 0
    log warning "the $desktop_type session manager did not log out, ending the logind session"
    logind terminate-session
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
    if run_action; then
        log info "$action done through $done_through"
        exit "$EXIT_OK"
    fi
    log err "could not $action the $desktop_type desktop: every way failed or was refused"
    exit "$EXIT_FAILED"
}

main "$@"
