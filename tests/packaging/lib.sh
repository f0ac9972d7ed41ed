# shellcheck shell=bash disable=SC2034
# Helpers shared by the packaging tests. Sourced by bash test scripts; the
# variables they set (status, out, err, SKIP) are read there.
# Every test runs the task script from the source tree, in an environment
# built from scratch, with stand-ins for the desktop tools on PATH.

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
# Background processes a test started; stopped (and reaped) before WORK goes.
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" && wait "$pid"; done 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

# fail MESSAGE: counts a failed check; returns 1 so that "|| finish" can stop
# a test whose later checks depend on this one.
fail() {
    printf 'FAIL: %s\n' "$*" >&2
    failures=$((failures + 1))
    return 1
}

finish() {
    if ((failures)); then
        printf '%d check(s) failed\n' "$failures" >&2
        exit 1
    fi
    echo "all checks passed"
    exit 0
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
    for tool in id tr timeout "$@"; do
        ln -sf "$(command -v "$tool")" "$dir/$tool"
    done
    echo "$dir"
}

# add_fake BINDIR NAME...: stand-ins that record "NAME arg|arg|..." in
# FAKE_LOG and the bus address they got in FAKE_CTL/env, hang when
# FAKE_CTL/hang.NAME exists, print FAKE_CTL/out.NAME.<first arg> if present
# and fail when their joined arguments match a glob listed in
# FAKE_CTL/fail.NAME.
add_fake() {
    local bin=$1 name
    shift
    for name; do
        cat >"$bin/$name" <<FAKE
#!/bin/bash
name=$name
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
exit 0
FAKE
        chmod +x "$bin/$name"
    done
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

# run_task BINDIR "ARGS" [VAR=value...]: runs the script the way the daemon
# does (sh -c with the words joined by blanks) in a clean environment.
# Sets status, out, err and calls (the stand-ins' records, one a line).
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
