# shellcheck shell=bash
# The desktop behind the stand-in tools, sourced by each stand-in after it
# recorded its call (name: the tool; "$@": its arguments). It keeps the
# screen saver's state, logind's LockedHint and session state, and whether
# the session manager is on the bus in files under $FAKE_CTL/desktop, so the
# task script's looks see what its acts did. An act named in ignores
# (lock-session, Lock, Logout1, ksm2, ...) answers and changes nothing.
desk=$FAKE_CTL/desktop
ignored() {
    local line
    while IFS= read -r line; do [[ $line == "$1" ]] && return 0; done 2>/dev/null <"$desk/ignores"
    return 1
}
act() {
    ignored "$1" && return
    shift
    local pair
    for pair; do echo "${pair#*=}" >"$desk/${pair%%=*}"; done
}
state() { [[ -f $desk/$1 ]] && echo "$(<"$desk/$1")"; }

# shellcheck disable=SC2154 # name is the sourcing stand-in's
case $name in
gdbus | dbus-send)
    if [[ $name == gdbus ]]; then method=${10}; else method=$6; fi
    arg=${!#} && arg=${arg##*[ :]}
    case $method in
    *.GetActive) [[ $name == gdbus ]] && echo "($(state active),)" || echo "   boolean $(state active)" ;;
    *.Lock) act Lock active=true ;;
    *.SetActive) act SetActive active=false ;;
    org.freedesktop.DBus.NameHasOwner)
        [[ $(state manager) == on ]] && answer=true || answer=false
        [[ $name == gdbus ]] && echo "($answer,)" || echo "   boolean $answer"
        ;;
    org.gnome.SessionManager.Logout) act "Logout$arg" manager=off ;;
    org.kde.KSMServerInterface.logout) act "ksm$arg" manager=off ;;
    esac
    ;;
loginctl)
    case $1 in
    list-sessions) state sessions ;;
    show-session)
        sid=$2
        [[ -f $desk/session.$sid ]] || { echo "No session '$sid' known" >&2 && exit 1; }
        case $4 in
        State) state "state.$sid" ;;
        LockedHint) [[ $(state active) == true ]] && echo yes || echo no ;;
        *) state "session.$sid" ;;
        esac
        ;;
    lock-session) act lock-session active=true ;;
    unlock-session) act unlock-session active=false ;;
    terminate-session) act terminate-session "state.$2=closing" ;;
    esac
    ;;
mate-screensaver-command)
    case $1 in
    --lock) act msc-lock active=true ;;
    --deactivate) act msc-deactivate active=false ;;
    esac
    ;;
mate-session-save) act "mss${1#--}" manager=off ;;
esac
exit 0
