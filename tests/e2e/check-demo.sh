#!/usr/bin/env bash
# Runs the scripted demo against an existing build and checks its transcript:
# the key steps in order, the stdin token that arrived, and the final verdict.
# Then the demo with the daemon installed set-user-id, as the package
# installs it, and with a daemon that fails at once, whose exit status and
# standard error the transcript must show.
# Usage: check-demo.sh BUILD_DIR SOURCE_DIR
set -uo pipefail

build=$1
source=$2
skip=77

[[ $(id -u) == 0 ]] || { echo "demo check: needs root (private mount namespace)"; exit "$skip"; }
command -v mate-screensaver >/dev/null || { echo "demo check: mate-screensaver is not installed"; exit "$skip"; }

out=$(mktemp /tmp/dc-demo-transcript.XXXXXX)
work=$(mktemp -d /tmp/dc-demo-daemons.XXXXXX)
trap 'rm -f "$out"; rm -rf "$work"' EXIT
status=0
DC_BUILD_DIR=$build timeout 180 "$source/scripts/demo" --no-build </dev/null >"$out" 2>&1 || status=$?
cat "$out"

# The demo keeps its log in the temp directory for the user to read.
remove_kept_log() {
    local kept
    kept=$(sed -n 's/^.*  Log: \(.*\) (last lines)$/\1/p' "$out")
    [[ -z $kept ]] || rm -f "$kept"
}
remove_kept_log

fail() {
    echo "demo check FAILED: $*"
    exit 1
}
((status == 0)) || fail "the demo exited with status $status"

# Each pattern must match a line after the previous pattern's line.
steps=(
    'Xvfb on :[0-9]+, session bus unix:'
    'Reference IPC service listening on 127\.0\.0\.1:[0-9]+$'
    'client id [0-9]+, name DesktopController, token checked by the service: ok$'
    '<DesktopType>mate</DesktopType>'
    "StartProcess 'demo-worker' with a one-shot stdin token [0-9a-f]{40}$"
    'the worker \(pid [0-9]+\) read from its stdin: [0-9a-f]{40}$'
    'the worker has ended$'
    'screen saver: The screensaver is active$'
    '<Locked>true</Locked>'
    'screen saver: The screensaver is inactive$'
    '<Locked>false</Locked>'
    'DesktopController exited with status 0$'
    'no child process is left$'
    'DEMO PASSED$'
)
line=0
for pattern in "${steps[@]}"; do
    found=$(tail -n +"$((line + 1))" "$out" | grep -n -E -m1 -- "$pattern" | cut -d: -f1)
    [[ -n $found ]] || fail "no line matching '$pattern' after line $line"
    line=$((line + found))
done

sent=$(sed -n "s/.*one-shot stdin token \([0-9a-f]\{40\}\)$/\1/p" "$out")
received=$(sed -n 's/.*read from its stdin: \([0-9a-f]\{40\}\)$/\1/p' "$out")
[[ -n $sent && $sent == "$received" ]] || fail "token sent '$sent' but received '$received'"
[[ $(tail -n 1 "$out") == *'DEMO PASSED' ]] || fail "the last line is not the verdict"

# demo DAEMON: dc-sandbox demo with that daemon; its transcript in $out.
demo() {
    status=0
    timeout 180 "$build/bin/dc-sandbox" demo --task-script "$source/packaging/desktopCTask.sh" --daemon "$1" \
        </dev/null >"$out" 2>&1 || status=$?
    cat "$out"
    remove_kept_log
}

# The package's daemon belongs to brvcanvas, whose uid differs from host to
# host; this one to a uid no one has.
cp "$build/bin/DesktopController" "$work/DesktopController"
chown 4242:4242 "$work/DesktopController"
chmod 4755 "$work/DesktopController"
demo "$work/DesktopController"
((status == 0)) || fail "the demo of a set-user-id daemon exited with status $status"
grep -q -- "set-user-id, as installed: a copy owned by the magic's owner, started by nobody$" "$out" ||
    fail "the set-user-id daemon was not run set-user-id"
[[ $(tail -n 1 "$out") == *'DEMO PASSED' ]] || fail "the set-user-id demo did not pass"

printf '#!/bin/sh\necho "DesktopController: no desktop here, exiting." >&2\nexit 3\n' >"$work/failing"
chmod 0755 "$work/failing"
demo "$work/failing"
((status == 1)) || fail "the demo of a failing daemon exited with status $status"
grep -q -- '    DesktopController exited with status 3$' "$out" || fail "the daemon's exit status is not shown"
grep -q -- '^ *DesktopController: no desktop here, exiting\.$' "$out" || fail "the daemon's standard error is not shown"
[[ $(tail -n 1 "$out") == *'DEMO FAILED: DesktopController ended before the service reported: CLIENT_INFO' ]] ||
    fail "the verdict does not say that the daemon ended"
echo "demo check passed"
