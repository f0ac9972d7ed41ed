#!/bin/bash
# The calling contract of the desktop task script: every command line the
# daemon can build is accepted and reaches the right desktop call, every bad
# one is refused with the usage text and status 2 before anything is run.
# shellcheck source=tests/packaging/lib.sh source-path=SCRIPTDIR/../..
. "$(dirname "$0")/lib.sh"

bin=$(make_bin args)
add_fake "$bin" gdbus
add_fake "$bin" mate-screensaver-command

gnome_lock="gdbus call|--session|--timeout|3|--dest|org.gnome.ScreenSaver|--object-path|/org/gnome/ScreenSaver|--method|org.gnome.ScreenSaver.Lock"
gnome_unlock="gdbus call|--session|--timeout|10|--dest|org.gnome.ScreenSaver|--object-path|/org/gnome/ScreenSaver|--method|org.gnome.ScreenSaver.SetActive|false"
kde_unlock="gdbus call|--session|--timeout|10|--dest|org.freedesktop.ScreenSaver|--object-path|/ScreenSaver|--method|org.freedesktop.ScreenSaver.SetActive|false"
mate_lock="mate-screensaver-command --lock"

# Forms the daemon builds, with empty distributions and desktop types where
# its plain concatenation leaves a bare option behind.
valid_forms=(
    "-a lock -d debian|$gnome_lock"
    "-a lock -d|$gnome_lock"
    "-a unlock -d ubuntu -t gnome|$gnome_unlock"
    "-a unlock -d  -t kde|$kde_unlock"
    "-a unlock -d rhel -t|$gnome_unlock"
    "-a unlock -t kde -d|$kde_unlock"
    "-a lock -d suse -t mate|$mate_lock"
    "-a lock -d gentoo|$gnome_lock"
)
for form in "${valid_forms[@]}"; do
    args=${form%%|*} expected=${form#*|}
    reset_fakes
    run_task "$bin" "$args" DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent XDG_CURRENT_DESKTOP=GNOME
    expect_eq "status of '$args'" 0 "$status"
    expect_eq "first call of '$args'" "$expected" "$(calls | head -n 1)"
done
expect_contains "unknown distribution is reported" "unrecognised distribution 'gentoo'" "$err"

bad_forms=(
    "|missing action"
    "-a|missing action"
    "-d debian -t gnome|missing action"
    "-a -d debian|missing action"
    "-a reboot -d debian|unknown action 'reboot'"
    "-a LOCK|unknown action 'LOCK'"
    "-a lock -x 1|unknown option '-x'"
    "-a lock --distribution debian|unknown option '--distribution'"
    "-a unlock -d debian -t xfce|unknown desktop type 'xfce'"
    "-a logout -t GNOME|unknown desktop type 'GNOME'"
    "-a lock now|unexpected argument 'now'"
)
for form in "${bad_forms[@]}"; do
    args=${form%%|*} message=${form#*|}
    reset_fakes
    run_task "$bin" "$args" XDG_CURRENT_DESKTOP=GNOME
    expect_eq "status of '$args'" 2 "$status"
    expect_contains "message of '$args'" "desktopCTask: $message" "$err"
    expect_contains "usage of '$args'" "Usage: desktopCTask.sh -a lock|unlock|logout" "$err"
    expect_eq "stdout of '$args'" "" "$out"
    expect_eq "nothing run for '$args'" "" "$(calls)"
done

run_task "$bin" "-h"
expect_eq "status of -h" 0 "$status"
expect_contains "usage of -h" "Exit status: 0 done, 1 the desktop refused" "$out"

# A desktop that refuses is a different failure from bad usage.
reset_fakes
echo '*' >"$FAKE_CTL/fail.gdbus"
run_task "$bin" "-a unlock -d debian -t gnome" DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent
expect_eq "status when the desktop refuses" 1 "$status"
expect_contains "refusal logged" "SetActive over gdbus failed (status 1): gdbus: refused" "$err"
expect_contains "final record" "could not unlock the gnome desktop" "$err"

# Executed directly (not through sh -c) with an absolute path, as an
# administrator would.
reset_fakes
env -i PATH="$bin" XDG_CURRENT_DESKTOP=MATE DBUS_SESSION_BUS_ADDRESS=unix:path=/x \
    "$SCRIPT" -a lock -d debian 2>/dev/null
expect_eq "direct execution status" 0 "$?"
expect_eq "direct execution call" "$mate_lock" "$(calls)"

finish
