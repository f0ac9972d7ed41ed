#!/bin/bash
# The Debian packages as a host receives them: scripts/package builds them,
# the archives are read with dpkg-deb and lintian, and then they are
# installed, reconfigured and purged with dpkg for real, inside a private
# mount namespace where /etc, /usr and /var are overlays on a tmpfs, so the
# real system never changes. In there an unprivileged user starts the
# installed daemon: it must read the desktop magic as brvcanvas through its
# set-user-id bit, give that up, and stop at the display check.
# shellcheck source=tests/packaging/lib.sh source-path=SCRIPTDIR/../..
. "$(dirname "$0")/lib.sh"

readonly NOBODY=65534
readonly DAEMON=/usr/bin/DesktopController
readonly SUPERVISOR=/usr/libexec/desktopcontroller/desktopcontroller-session
readonly MAGIC_FILE=/var/tarvelo/brv_desktop_magic
readonly MAGIC=0123456789abcdefghijABCDEFGHIJ!#%+,-.:=@

# --- Inside the namespace --------------------------------------------------

# run_daemon PROGRAM: as nobody, from a clean environment, on an X display
# whose id file the agent wrote for nobody and whose server is not there.
run_daemon() {
    env -i PATH=/usr/bin:/bin HOME=/nonexistent USER=nobody BRV_DESKTOP_ID=5 DISPLAY=:59 \
        timeout 30 setpriv --reuid=$NOBODY --regid=$NOBODY --clear-groups "$1" \
        >"$WORK/daemon.out" 2>"$WORK/daemon.err"
    status=$?
    err=$(<"$WORK/daemon.err")
}

if [[ ${1:-} == --inside ]]; then
    top=$2 daemon_deb=$3 tools_deb=$4
    # Overlays whose upper layers live on a tmpfs: everything dpkg, adduser
    # and the maintainer scripts write lands there and vanishes with the
    # namespace.
    mount --make-rprivate /
    mount -t tmpfs -o mode=0755 dc-package "$top"
    for dir in etc usr var; do
        mkdir "$top/$dir.upper" "$top/$dir.work"
    done
    # Where the agent is installed, whiteouts hide its directories: the
    # packages meet a machine that never had it.
    for fixed in /etc/tarvelo /var/tarvelo /usr/lib/tarvelo /usr/share/tarvelo /var/log/tarvelo; do
        if [[ -e $fixed ]]; then
            rest=${fixed#/*/} dir=${fixed#/}
            dir=${dir%%/*}
            mkdir -p "$(dirname "$top/$dir.upper/$rest")"
            mknod "$top/$dir.upper/$rest" c 0 0
        fi
    done
    for dir in etc usr var; do
        mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$top/$dir.upper,workdir=$top/$dir.work" "/$dir"
    done
    # The agent may have written the magic before the account existed, and
    # made its id directory open to everyone, which is the agent's business.
    install -d -m 0777 /var/tarvelo/brv_desktop
    install -m 0644 <(printf '%s' "$MAGIC") "$MAGIC_FILE"
    export PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive
    dpkg -i "$daemon_deb" "$tools_deb" >"$WORK/install.log" 2>&1 ||
        fail "dpkg -i failed: $(<"$WORK/install.log")" || finish

    IFS=: read -r _ _ uid gid _ home shell <<<"$(getent passwd brvcanvas)"
    ((uid > 0 && uid < 1000)) || fail "postinst created no system account brvcanvas: uid [$uid]"
    expect_eq "brvcanvas group and home" "brvcanvas /nonexistent" "$(getent group "$gid" | cut -d: -f1) $home"
    expect_contains "brvcanvas shell" nologin "$shell"
    [[ -e /nonexistent ]] && fail "postinst created a home directory"
    # The magic is handed to brvcanvas; the agent's directories stay as the
    # agent made them, and the package makes none there.
    expect_eq "owners and modes" "$DAEMON brvcanvas:root 4755
/var/tarvelo root:root 755
/var/tarvelo/brv_desktop root:root 777
$MAGIC_FILE brvcanvas:brvcanvas 600" \
        "$(stat -c '%n %U:%G %a' "$DAEMON" /var/tarvelo{,/brv_desktop} "$MAGIC_FILE" 2>&1)"
    for dir in /var/tarvelo/nordagent /var/log/tarvelo; do
        [[ -e $dir ]] && fail "the package made $dir, which is the agent's"
    done
    expect_eq "statoverride of the daemon" "brvcanvas root 4755 $DAEMON" "$(dpkg-statoverride --list "$DAEMON")"
    expect_eq "magic content" "$MAGIC" "$(<"$MAGIC_FILE")"
    # The start-up files name the installed session supervisor, and the user
    # unit is enabled for everyone the way an administrator enables it, so
    # systemctl tells the truth about it and can turn it off.
    expect_eq "autostart Exec" "Exec=$SUPERVISOR" "$(grep '^Exec=' /etc/xdg/autostart/DesktopController.desktop)"
    expect_eq "unit ExecStart" "ExecStart=$SUPERVISOR" \
        "$(grep '^ExecStart=' /usr/lib/systemd/user/desktopcontroller.service)"
    expect_eq "unit state after install" enabled "$(systemctl --global is-enabled desktopcontroller.service 2>&1)"
    systemctl --global disable --quiet desktopcontroller.service 2>/dev/null
    expect_eq "unit state after disable" disabled "$(systemctl --global is-enabled desktopcontroller.service 2>&1)"

    # Configuring again (dpkg-reconfigure) and installing over the installed
    # package (an upgrade) must change nothing: dpkg itself re-applies the
    # set-user-id bit to the new file.
    account=$(getent passwd brvcanvas)
    /var/lib/dpkg/info/desktopcontroller.postinst configure "$(dpkg-query -W -f '${Version}' desktopcontroller)" ||
        fail "postinst failed when run a second time"
    dpkg -i "$daemon_deb" >"$WORK/reinstall.log" 2>&1 || fail "reinstall failed: $(<"$WORK/reinstall.log")"
    expect_eq "account after a second configure" "$account" "$(getent passwd brvcanvas)"
    expect_eq "brvcanvas entries in /etc/passwd" 1 "$(grep -c '^brvcanvas:' /etc/passwd)"
    expect_eq "daemon after a second configure" "brvcanvas:root 4755" "$(stat -c '%U:%G %a' "$DAEMON")"
    expect_eq "unit state after an upgrade" disabled "$(systemctl --global is-enabled desktopcontroller.service 2>&1)"
    systemctl --global enable --quiet desktopcontroller.service 2>/dev/null

    # The set-user-id daemon reads the magic, then gives up its rights before
    # it opens the log, so nobody owns the log.
    mkdir -m 0777 "$top/log"
    mkdir -p /etc/tarvelo
    printf 'DesktopController.log.filename = "%s/controller.log"\n' "$top/log" >/etc/tarvelo/config
    printf 'DESKTOPID=5\n' >/var/tarvelo/brv_desktop/brv_desktopid.59
    chown nobody /var/tarvelo/brv_desktop/brv_desktopid.59
    run_daemon "$DAEMON"
    expect_eq "exit status of the installed daemon" 1 "$status"
    [[ $err == *"failed to read desktop magic"* ]] && fail "the set-user-id daemon could not read the magic: $err"
    expect_contains "log of the installed daemon" "Failed to open display :59, exiting." \
        "$(cat "$top/log/controller.log" 2>&1)"
    expect_eq "log file owner" nobody "$(stat -c %U "$top/log/controller.log" 2>&1)"
    # Without the bit the same user cannot read the magic: the run above
    # succeeded because of the bit, not because the magic is open.
    install -m 0755 "$DAEMON" "$top/plain-DesktopController"
    run_daemon "$top/plain-DesktopController"
    expect_eq "exit status without set-user-id" 1 "$status"
    expect_eq "stderr without set-user-id" "DesktopController: failed to read desktop magic, exiting." "$err"
    rm /var/tarvelo/brv_desktop/brv_desktopid.59

    printf 'DESKTOPID=5\n' >/var/tarvelo/brv_desktop/brv_desktopid.0
    dpkg --purge desktopcontroller-tools desktopcontroller >"$WORK/purge.log" 2>&1 ||
        fail "dpkg --purge failed: $(<"$WORK/purge.log")"
    for path in "$DAEMON" /etc/xdg/autostart/DesktopController.desktop \
        /etc/systemd/user/graphical-session.target.wants/desktopcontroller.service \
        /var/tarvelo/nordagent /var/log/tarvelo; do
        [[ -e $path ]] && fail "$path survived purge"
    done
    expect_eq "statoverride after purge" "" "$(dpkg-statoverride --list "$DAEMON")"
    # The agent's directories and files are not this package's to delete,
    # nor its account.
    expect_eq "magic after purge" "$MAGIC" "$(cat "$MAGIC_FILE" 2>&1)"
    expect_eq "id directory after purge" "root:root 777 DESKTOPID=5" \
        "$(stat -c '%U:%G %a' /var/tarvelo/brv_desktop 2>&1) $(cat /var/tarvelo/brv_desktop/brv_desktopid.0 2>&1)"
    [[ -n $(getent passwd brvcanvas) ]] || fail "purge removed the account brvcanvas"
    finish
fi

# --- Outside: build and read the archives ---------------------------------

if ((EUID != 0)); then
    echo "SKIP: installing into a private mount namespace needs root"
    exit $SKIP
fi
for tool in dpkg-deb dpkg-shlibdeps dpkg unshare setpriv adduser; do
    command -v "$tool" >/dev/null || fail "$tool is not installed"
done
((failures)) && finish

"$SOURCE_DIR/scripts/package" "$WORK/build" >"$WORK/package.log" 2>&1 ||
    fail "scripts/package failed: $(tail -n 30 "$WORK/package.log")" || finish
# The version, revision included, is the changelog's newest entry.
version=$(sed -n '1s/^desktopcontroller (\([^)]*\)).*/\1/p' "$SOURCE_DIR/packaging/debian/changelog")
arch=$(dpkg --print-architecture)
daemon_deb=$WORK/build/desktopcontroller_${version}_$arch.deb
tools_deb=$WORK/build/desktopcontroller-tools_${version}_$arch.deb
expect_eq "package paths printed" "$tools_deb
$daemon_deb" "$(tail -n 2 "$WORK/package.log")" || finish
expect_eq "control Version" "$version" "$(dpkg-deb -f "$daemon_deb" Version 2>&1)"

# contents DEB: every file as dpkg will unpack it, and any directory that is
# not root's 0755 under /etc or /usr. The daemon ships 0755; its
# set-user-id bit comes from postinst.
contents() {
    dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $1, $2, substr($0, index($0, "./")) }
        $1 ~ /^d/ && ($1 != "drwxr-xr-x" || $2 != "root/root" || $6 !~ /^\.\/(etc|usr)\//) { print "directory", $0 }' |
        LC_ALL=C sort -k3
}
expect_eq "daemon package contents" "-rw-r--r-- root/root ./etc/xdg/autostart/DesktopController.desktop
-rwxr-xr-x root/root ./usr/bin/DesktopController
-rw-r--r-- root/root ./usr/lib/systemd/user/desktopcontroller.service
-rwxr-xr-x root/root ./usr/lib/tarvelo/nordagent/desktop/desktopCTask.sh
-rwxr-xr-x root/root ./usr/libexec/desktopcontroller/desktopcontroller-session
-rw-r--r-- root/root ./usr/share/doc/desktopcontroller/NEWS.Debian.gz
-rw-r--r-- root/root ./usr/share/doc/desktopcontroller/changelog.Debian.gz
-rw-r--r-- root/root ./usr/share/doc/desktopcontroller/copyright
-rw-r--r-- root/root ./usr/share/doc/desktopcontroller/examples/config
-rw-r--r-- root/root ./usr/share/lintian/overrides/desktopcontroller
-rw-r--r-- root/root ./usr/share/man/man8/DesktopController.8.gz" "$(contents "$daemon_deb")"
expect_eq "tools package contents" "-rwxr-xr-x root/root ./usr/bin/dc-doctor
-rwxr-xr-x root/root ./usr/libexec/desktopcontroller/dc-sandbox
-rwxr-xr-x root/root ./usr/libexec/desktopcontroller/dc-sandbox-probe
-rwxr-xr-x root/root ./usr/libexec/desktopcontroller/ipc-service
-rw-r--r-- root/root ./usr/share/doc/desktopcontroller-tools/changelog.Debian.gz
-rw-r--r-- root/root ./usr/share/doc/desktopcontroller-tools/copyright
-rw-r--r-- root/root ./usr/share/lintian/overrides/desktopcontroller-tools
-rw-r--r-- root/root ./usr/share/man/man1/dc-doctor.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/dc-sandbox.1.gz" "$(contents "$tools_deb")"

# Control data: dependencies found by dpkg-shlibdeps next to the declared
# ones, the autostart entry as the one conffile, and the tools recommending
# the daemon of their own version.
depends=$(dpkg-deb -f "$daemon_deb" Depends)
for dep in adduser libssl3 libx11-6 libc6; do
    [[ $depends =~ (^|, )$dep( |,|$) ]] || fail "Depends lacks $dep: [$depends]"
done
expect_eq "conffiles" /etc/xdg/autostart/DesktopController.desktop "$(dpkg-deb -I "$daemon_deb" conffiles)"
expect_eq "tools Recommends" "desktopcontroller (= $version), xvfb, dbus-daemon" \
    "$(dpkg-deb -f "$tools_deb" Recommends)"

if command -v lintian >/dev/null; then
    # The one warning accepted: the changelog closes no bug, as there is no
    # Debian bug for this package. A set-user-id daemon must be built with
    # every hardening feature, which lintian only mentions as information.
    lintian -I --tag-display-limit 0 "$daemon_deb" "$tools_deb" >"$WORK/lintian.out" 2>&1
    complaints=$(grep -E '^(E|W): |^I: .* hardening-' "$WORK/lintian.out" |
        grep -v ' initial-upload-closes-no-bugs ')
    expect_eq "lintian errors and warnings" "" "$complaints"
else
    echo "SKIP check: lintian is not installed"
fi

# The nobody user must be able to reach the log directory below WORK.
chmod 0711 "$WORK"
mkdir "$WORK/ns"
unshare -m bash "$0" --inside "$WORK/ns" "$daemon_deb" "$tools_deb" ||
    fail "install, run and purge inside the private namespace failed"

finish
