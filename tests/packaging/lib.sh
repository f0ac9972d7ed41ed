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
cleanup_hooks=()
cleanup() {
    local hook
    for hook in "${cleanup_hooks[@]}"; do eval "$hook"; done
    rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
    printf 'FAIL: %s\n' "$*" >&2
    failures=$((failures + 1))
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

# A bin directory holding only the named real tools, so a test decides which
# desktop tools exist.
make_bin() {
    local dir=$WORK/bin.$1 tool
    shift
    mkdir -p "$dir"
    for tool in id tr timeout "$@"; do
        ln -sf "$(command -v "$tool")" "$dir/$tool"
    done
    echo "$dir"
}

FAKE_LOG=$WORK/calls.log
FAKE_CTL=$WORK/fakectl

# add_fake BINDIR NAME: a stand-in that records "NAME arg|arg|..." in
# FAKE_LOG, prints FAKE_CTL/out.NAME.<first arg> if present and fails when
# its joined arguments match a glob listed in FAKE_CTL/fail.NAME.
add_fake() {
    mkdir -p "$FAKE_CTL"
    cat >"$1/$2" <<FAKE
#!/bin/bash
name=$2
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
    chmod +x "$1/$2"
}

reset_fakes() {
    rm -rf "$FAKE_CTL" "$FAKE_LOG"
    mkdir -p "$FAKE_CTL"
    : >"$FAKE_LOG"
}

calls() {
    cat "$FAKE_LOG"
}

# run_task BINDIR "ARGS" [VAR=value...]: runs the script the way the daemon
# does (sh -c with the words joined by blanks) in a clean environment.
# Sets status, out and err.
run_task() {
    local bin=$1 args=$2
    shift 2
    env -i PATH="$bin" HOME="$WORK" "$@" \
        /bin/sh -c "$SCRIPT $args" >"$WORK/out" 2>"$WORK/err"
    status=$?
    out=$(cat "$WORK/out")
    err=$(cat "$WORK/err")
}
