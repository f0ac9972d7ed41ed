#!/usr/bin/env bash
# Runs the scripted demo against an existing build and checks its transcript:
# the key steps in order, the stdin token that arrived, and the final verdict.
# Usage: check-demo.sh BUILD_DIR SOURCE_DIR
set -uo pipefail

build=$1
source=$2
skip=77

[[ $(id -u) == 0 ]] || { echo "demo check: needs root (private mount namespace)"; exit "$skip"; }
command -v mate-screensaver >/dev/null || { echo "demo check: mate-screensaver is not installed"; exit "$skip"; }

out=$(mktemp /tmp/dc-demo-transcript.XXXXXX)
trap 'rm -f "$out"' EXIT
status=0
DC_BUILD_DIR=$build timeout 180 "$source/scripts/demo" --no-build </dev/null >"$out" 2>&1 || status=$?
cat "$out"

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
echo "demo check passed"
