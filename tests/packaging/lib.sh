# shellcheck shell=bash disable=SC2034
# Helpers shared by the packaging tests, sourced by each: the task script
# runs from the source tree in an environment built from scratch.

set -u

SOURCE_DIR=${DC_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
SCRIPT=$SOURCE_DIR/packaging/desktopCTask.sh
SKIP=77
failures=0

WORK=$(mktemp -d "${TMPDIR:-/tmp}/dc-packaging.XXXXXX")
FAKE_LOG=$WORK/calls.log
FAKE_CTL=$WORK/fakectl
mkdir "$FAKE_CTL"
: >"$FAKE_LOG"
pids=()  # background processes, stopped and reaped before WORK goes
parts=() # parts of the test running beside it (run_beside)
cleanup() {
    local pid
    for pid in "${parts[@]}" "${pids[@]}"; do kill "$pid" && wait "$pid"; done 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

# fail MESSAGE: returns 1, so that "|| finish" can end a test early.
fail() {
    printf 'FAIL: %s\n' "$*" >&2
    failures=$((failures + 1))
    return 1
}

finish() {
    local part
    for part in "${parts[@]}"; do
        wait "$part"
        failures=$((failures + $?))
    done
    parts=()
    if ((failures)); then
        printf '%d check(s) failed\n' "$failures" >&2
        exit 1
    fi
    echo "all checks passed"
    exit 0
}

# own_work NAME: from here on the stand-ins, their records and the script's
# output are kept in a work directory of this shell's own.
own_work() {
    WORK=$WORK/$1
    FAKE_LOG=$WORK/calls.log
    FAKE_CTL=$WORK/fakectl
    mkdir -p "$FAKE_CTL"
    : >"$FAKE_LOG"
}

# run_beside NAME COMMAND [ARG...]: runs a part of the test in a subshell
# with a work directory of its own, beside the rest of it, so that the
# task script's waits for a desktop that does not answer overlap; its exit
# status is the number of its failed checks, which finish adds.
run_beside() {
    local name=$1 before=$failures
    shift
    (
        own_work "$name"
        "$@"
        exit $((failures - before))
    ) &
    parts+=($!)
}

# expect_eq WHAT EXPECTED ACTUAL
expect_eq() {
    [[ $2 == "$3" ]] || fail "$1: expected [$2], got [$3]"
}

# expect_contains WHAT NEEDLE HAYSTACK
expect_contains() {
    [[ $3 == *"$2"* ]] || fail "$1: [$2] not found in [$3]"
}

# make_bin NAME TOOL...: a bin directory holding only the named real tools,
# so a test decides which desktop tools exist.
make_bin() {
    local dir=$WORK/bin.$1 tool
    shift
    mkdir -p "$dir"
    for tool in id tr timeout sleep "$@"; do
        ln -sf "$(command -v "$tool")" "$dir/$tool"
    done
    echo "$dir"
}

# add_fake BINDIR NAME: a stand-in that records "NAME arg|arg|..." in FAKE_LOG
# and its bus address in FAKE_CTL/env, hangs if FAKE_CTL/hang.NAME exists,
# prints FAKE_CTL/out.NAME.<first arg>, fails on a glob in FAKE_CTL/fail.NAME,
# and then, once a desktop is set up (new_desktop), acts on it.
add_fake() {
    cat >"$1/$2" <<FAKE
#!/bin/bash
name=$2 FAKE_CTL=$FAKE_CTL
joined=\$(IFS='|'; echo "\$*")
echo "\$name \$joined" >>"$FAKE_LOG"
echo "\$name \${DBUS_SESSION_BUS_ADDRESS:-}" >>"$FAKE_CTL/env"
[[ -f "$FAKE_CTL/hang.\$name" ]] && exec $(command -v sleep) 60
[[ -f "$FAKE_CTL/out.\$name.\${1:-}" ]] && echo "\$(<"$FAKE_CTL/out.\$name.\${1:-}")"
if [[ -f "$FAKE_CTL/fail.\$name" ]]; then
    while IFS= read -r pattern; do
        # shellcheck disable=SC2053
        [[ \$joined == \$pattern ]] && { echo "\$name: refused" >&2; exit 1; }
    done <"$FAKE_CTL/fail.\$name"
fi
[[ -d "$FAKE_CTL/desktop" ]] && . "$SOURCE_DIR/tests/packaging/fake_desktop.sh"
exit 0
FAKE
    chmod +x "$1/$2"
}

# reset_fakes [TOOL=GLOB...]: forgets the calls and every control file, then
# makes each TOOL refuse the calls matching its GLOBs.
reset_fakes() {
    local rule
    rm -rf "$FAKE_CTL" "$FAKE_LOG"
    mkdir "$FAKE_CTL"
    : >"$FAKE_LOG"
    for rule; do echo "${rule#*=}" >>"$FAKE_CTL/fail.${rule%%=*}"; done
}

# new_desktop [IGNORED_ACT...]: an unlocked desktop whose session manager is
# on the bus, for the stand-ins to act on; each named act answers and changes
# nothing (see fake_desktop.sh).
new_desktop() {
    local desk=$FAKE_CTL/desktop
    mkdir -p "$desk"
    echo false >"$desk/active"
    echo on >"$desk/manager"
    printf '%s\n' "$@" >"$desk/ignores"
}

# add_session SID UID PROPERTIES...: a logind session of the desktop, listed
# by list-sessions, with show-session PROPERTIES (Display=:10 Type=x11 ...).
add_session() {
    local desk=$FAKE_CTL/desktop sid=$1 uid=$2
    shift 2
    echo "$sid $uid user seat0 tty1" >>"$desk/sessions"
    printf '%s\n' "$@" >"$desk/session.$sid"
    echo active >"$desk/state.$sid"
}

# run_task BINDIR "ARGS" [VAR=value...]: runs the script as the daemon does,
# through sh -c; sets status, out, err and calls (the stand-ins' records).
run_task() {
    local bin=$1 args=$2
    shift 2
    env -i PATH="$bin" HOME="$WORK" "$@" \
        /bin/sh -c "$SCRIPT $args" >"$WORK/out" 2>"$WORK/err"
    status=$?
    out=$(<"$WORK/out")
    err=$(<"$WORK/err")
    calls=$(<"$FAKE_LOG")
}
