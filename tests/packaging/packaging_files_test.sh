#!/bin/bash
# The packaged files as the tools that consume them see them: shellcheck on
# the scripts, groff on the man pages, desktop-file-validate on the autostart
# entry, systemd-analyze on the user unit, and the install rules run into a
# staging root.
# shellcheck source=tests/packaging/lib.sh source-path=SCRIPTDIR/../..
. "$(dirname "$0")/lib.sh"

pkg=$SOURCE_DIR/packaging

# run_clean WHAT COMMAND...: the command must succeed and print nothing.
run_clean() {
    local what=$1 output
    shift
    if ! output=$("$@" 2>&1); then
        fail "$what failed: $output"
    elif [[ -n $output ]]; then
        fail "$what warned: $output"
    fi
}

if command -v shellcheck >/dev/null; then
    run_clean "shellcheck of the task and maintainer scripts" \
        shellcheck "$SCRIPT" "$pkg"/debian/postinst.in "$pkg"/debian/postrm.in
    run_clean "shellcheck of the tests" shellcheck -x "$SOURCE_DIR"/tests/packaging/*_test.sh \
        "$SOURCE_DIR"/tests/host/*.sh
    run_clean "shellcheck of the booted host and its bench" shellcheck -x "$SOURCE_DIR"/tools/dc-host/dc-host \
        "$SOURCE_DIR"/tools/dc-host/guest/{agent-files,desktop-session,run-autostart} "$SOURCE_DIR"/bench/herd.sh
else
    fail "shellcheck is not installed"
fi

if command -v groff >/dev/null; then
    for page in DesktopController.8 dc-sandbox.1 dc-doctor.1; do
        run_clean "groff of $page" groff -man -ww -z "$pkg/$page"
    done
else
    echo "SKIP check: groff is not installed (groff-base)"
fi

# Each preference of the example host preferences, once its "#" is removed,
# is written in the preference files' syntax and is one the daemon reads:
# its name, or the part after "DesktopController.", is spelled in the source.
examples=0
while IFS= read -r line; do
    examples=$((examples + 1))
    name=${line%% =*} key=${name#DesktopController.}
    [[ $line =~ ^[A-Za-z.]+\ =\ \"[^\"]*\"$ ]] || fail "example not in the preference syntax: $line"
    grep -rqF -e "\"$name\"" -e "\"$key\"" -e "\".$key\"" "$SOURCE_DIR/src" "$SOURCE_DIR/lib" ||
        fail "the example names a preference the daemon does not read: $name"
done < <(sed -n 's/^# \([A-Za-z][A-Za-z.]* = .*\)$/\1/p' "$pkg/config.example")
((examples >= 10)) || fail "the example shows $examples preferences"

# Install with a prefix other than /usr: the daemon's path follows the
# prefix, the task script stays where the daemon looks for it.
staging=$WORK/root
mkdir -p "$WORK/project"
cat >"$WORK/project/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(packaging_install_check LANGUAGES C)
add_subdirectory("$pkg" packaging)
CMAKE
if ! output=$(cmake -S "$WORK/project" -B "$WORK/build" -DCMAKE_INSTALL_PREFIX=/usr/local 2>&1 &&
    DESTDIR=$staging cmake --install "$WORK/build" 2>&1); then
    fail "install rules: $output"
fi
installed_script=$staging/usr/lib/tarvelo/nordagent/desktop/desktopCTask.sh
expect_eq "installed script mode" 755 "$(stat -c %a "$installed_script" 2>&1)"
cmp -s "$SCRIPT" "$installed_script" || fail "installed script differs from the source"
entry=$staging/usr/local/etc/xdg/autostart/DesktopController.desktop
unit=$staging/usr/local/lib/systemd/user/desktopcontroller.service
supervisor=/usr/local/libexec/desktopcontroller/desktopcontroller-session
expect_eq "autostart Exec" "Exec=$supervisor" "$(grep '^Exec=' "$entry" 2>&1)"
expect_eq "unit ExecStart" "ExecStart=$supervisor" "$(grep '^ExecStart=' "$unit" 2>&1)"
# Enabled by the package's postinst, not by a shipped link that
# "systemctl --global disable" could not remove.
[[ -e $staging/usr/local/lib/systemd/user/graphical-session.target.wants ]] &&
    fail "the install rules enable the unit with a link of their own"
gzip -dc "$staging/usr/local/share/man/man8/DesktopController.8.gz" 2>/dev/null | cmp -s "$pkg/DesktopController.8" - ||
    fail "man page not installed compressed to share/man/man8"

if command -v desktop-file-validate >/dev/null; then
    run_clean "desktop-file-validate of the installed entry" desktop-file-validate "$entry"
else
    echo "SKIP check: desktop-file-validate is not installed (desktop-file-utils)"
fi

# A set-user-id daemon that starts fusermount, su or pkexec must not run
# with no_new_privs, which these options set or imply in a user unit.
if grep -E '^(NoNewPrivileges|SystemCall|RestrictNamespaces|RestrictAddressFamilies|RestrictRealtime|RestrictSUIDSGID|LockPersonality|MemoryDenyWriteExecute|PrivateDevices|PrivateUsers|ProtectKernel|ProtectClock|ProtectSystem|ProtectHome|PrivateTmp)' \
    "$pkg/desktopcontroller.service"; then
    fail "the unit sets an option that breaks set-user-id programs or hides the session"
fi

# systemd-analyze needs no running systemd once it has a runtime directory;
# the installed unit names a daemon that is not there, so a stand-in takes
# its path. A probe unit tells whether verify works here at all.
mkdir -m 700 "$WORK/runtime" "$WORK/units"
printf '#!/bin/sh\n' >"$WORK/DesktopController" && chmod +x "$WORK/DesktopController"
sed "s|$supervisor|$WORK/DesktopController|" "$unit" >"$WORK/units/desktopcontroller.service"
printf '[Service]\nExecStart=/bin/true\n' >"$WORK/units/probe.service"
verify=(env XDG_RUNTIME_DIR="$WORK/runtime" systemd-analyze verify --user --man=no)
if command -v systemd-analyze >/dev/null && "${verify[@]}" "$WORK/units/probe.service" >/dev/null 2>&1; then
    run_clean "systemd-analyze verify of the unit" "${verify[@]}" "$WORK/units/desktopcontroller.service"
else
    echo "SKIP check: systemd-analyze verify --user does not work here (systemd)"
fi

# systemd's own autostart generator, as a Plasma session under systemd runs
# it, must make no unit of the entry: the user unit is that desktop's
# controller. The same entry without its skip key makes one, which shows
# that the generator read it. Exec and TryExec name a program that exists
# here.
generator=/usr/lib/systemd/user-generators/systemd-xdg-autostart-generator
if [[ -x $generator ]]; then
    mkdir -p "$WORK/xdg/autostart" "$WORK/xdg-skip/autostart"
    sed -E "s|^(Try)?Exec=.*|\1Exec=$(command -v true)|" "$entry" >"$WORK/xdg-skip/autostart/DesktopController.desktop"
    grep -v '^X-systemd-skip=' "$WORK/xdg-skip/autostart/DesktopController.desktop" \
        >"$WORK/xdg/autostart/DesktopController.desktop"
    for config in xdg-skip xdg; do
        mkdir "$WORK/gen-$config"
        env -i PATH="$PATH" XDG_CONFIG_DIRS="$WORK/$config" XDG_CONFIG_HOME="$WORK/empty" \
            XDG_CURRENT_DESKTOP=KDE "$generator" "$WORK/gen-$config" "$WORK/gen-$config" "$WORK/gen-$config" \
            >/dev/null 2>&1
    done
    expect_eq "units the generator makes of the entry" "" "$(ls "$WORK/gen-xdg-skip")"
    expect_eq "units the generator makes without the skip key" \
        "app-DesktopController@autostart.service xdg-desktop-autostart.target.wants" \
        "$(cd "$WORK/gen-xdg" && echo *)"
else
    echo "SKIP check: systemd's XDG autostart generator is not installed (systemd)"
fi

finish
