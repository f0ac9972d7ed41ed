#!/usr/bin/env bash
# The README's first command as a newcomer runs it: ./scripts/demo with a
# build directory of its own, so the demo's own build (a unity build of the
# three programs it runs) is compiled from scratch and the demo passes.
# Usage: check-demo-command.sh SOURCE_DIR
set -uo pipefail

source=$1
skip=77
[[ $(id -u) == 0 ]] || { echo "demo command: needs root (private mount namespace)"; exit "$skip"; }

build=$(mktemp -d /tmp/dc-demo-build.XXXXXX)
out=$build.transcript
trap 'rm -rf "$build" "$out"' EXIT
status=0
DC_BUILD_DIR=$build timeout 540 "$source/scripts/demo" </dev/null >"$out" 2>&1 || status=$?
kept=$(sed -n 's/^.*  Log: \(.*\) (last lines)$/\1/p' "$out")
[[ -z $kept ]] || rm -f "$kept"
if ((status != 0)) || ! grep -q 'DEMO PASSED$' "$out"; then
    tail -n 40 "$out"
    echo "demo command FAILED: ./scripts/demo exited with status $status"
    exit 1
fi
echo "demo command passed"
