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
readonly MAGIC_FILE=/var/tarvelo/brv_desktop_magic
readonly MAGIC=0123456789abcdefghijABCDEFGHIJ!#%+,-.:=@

# stat_of PATH: "owner:group mode" as the checks below spell them.
stat_of() {
    stat -c '%U:%G %a' "$1" 2>&1
}

# entry_of LISTING PATH: "mode owner" of PATH in a dpkg-deb -c listing.
entry_of() {
    awk -v path="./${2#/}" '$6 == path { print $1, $2 }' "$1"
}

# --- Inside the namespace --------------------------------------------------

# Overlays whose upper layers live on a tmpfs: everything dpkg, adduser and
# the maintainer scripts write lands there and vanishes with the namespace.
private_system() {
    local top=$1 dir
    mount -t tmpfs -o mode=0755 dc-package "$top"
    for dir in etc usr var; do
        mkdir "$top/$dir.upper" "$top/$dir.work"
        mount -t overlay overlay \
            -o "lowerdir=/$dir,upperdir=$top/$dir.upper,workdir=$top/$dir.work" "/$dir"
    done
}

# The agent may have written the magic before the account existed, and an
# id directory may have been left writable by anyone.
agent_leftovers() {
    mkdir -p /var/tarvelo/brv_desktop
    chmod 0777 /var/tarvelo/brv_desktop
    printf '%s' "$MAGIC" >"$MAGIC_FILE"
    chmod 0644 "$MAGIC_FILE"
}

check_installed() {
    local account uid gid home shell
    account=$(getent passwd brvcanvas)
    IFS=: read -r _ _ uid gid _ home shell <<<"$account"
    [[ -n $account ]] || fail "postinst created no account brvcanvas"
    ((uid > 0 && uid < 1000)) || fail "brvcanvas is not a system account: uid [$uid]"
    expect_eq "brvcanvas group" "brvcanvas" "$(getent group "$gid" | cut -d: -f1)"
    expect_eq "brvcanvas home" /nonexistent "$home"
    expect_contains "brvcanvas shell" nologin "$shell"
    [[ -e /nonexistent ]] && fail "postinst created a home directory"

    expect_eq "daemon owner and mode" "brvcanvas:root 4755" "$(stat_of "$DAEMON")"
    expect_eq "statoverride of the daemon" "brvcanvas root 4755 $DAEMON" \
        "$(dpkg-statoverride --list "$DAEMON")"
    expect_eq "/var/tarvelo" "root:root 755" "$(stat_of /var/tarvelo)"
    expect_eq "/var/tarvelo/brv_desktop made private to root" "root:root 755" \
        "$(stat_of /var/tarvelo/brv_desktop)"
    expect_eq "/var/tarvelo/nordagent" "root:root 700" "$(stat_of /var/tarvelo/nordagent)"
    expect_eq "/var/log/tarvelo" "root:root 755" "$(stat_of /var/log/tarvelo)"
    expect_eq "desktop magic handed to brvcanvas" "brvcanvas:brvcanvas 600" "$(stat_of "$MAGIC_FILE")"
    expect_eq "magic content" "$MAGIC" "$(cat "$MAGIC_FILE")"
    [[ -x /usr/libexec/desktopcontroller/ipc-service ]] || fail "ipc-service not installed"
}

# Configuring again (dpkg-reconfigure) and installing over the installed
# package (an upgrade) must change nothing: dpkg itself re-applies the
# set-user-id bit to the new file.
check_reconfigure() {
    local before after
    before=$(getent passwd brvcanvas)
    /var/lib/dpkg/info/desktopcontroller.postinst configure "$(dpkg-query -W -f '${Version}' desktopcontroller)" ||
        fail "postinst failed when run a second time"
    dpkg -i "$1" >"$WORK/reinstall.log" 2>&1 || fail "reinstall failed: $(cat "$WORK/reinstall.log")"
    after=$(getent passwd brvcanvas)
    expect_eq "account after a second configure" "$before" "$after"
    expect_eq "brvcanvas entries in /etc/passwd" 1 "$(grep -c '^brvcanvas:' /etc/passwd)"
    expect_eq "daemon after a second configure" "brvcanvas:root 4755" "$(stat_of "$DAEMON")"
}

# run_daemon PROGRAM: as nobody, from a clean environment, with no display.
run_daemon() {
    env -i PATH=/usr/bin:/bin HOME=/nonexistent USER=nobody BRV_DESKTOP_ID=5 \
        timeout 30 setpriv --reuid=$NOBODY --regid=$NOBODY --clear-groups "$1" \
        >"$WORK/daemon.out" 2>"$WORK/daemon.err"
    status=$?
    err=$(cat "$WORK/daemon.err")
}

check_daemon_start() {
    local logdir=$1/log plain=$1/plain-DesktopController
    mkdir -m 0777 "$logdir"
    mkdir -p /etc/tarvelo
    printf 'DesktopController.log.filename = "%s/controller.log"\n' "$logdir" >/etc/tarvelo/config

    run_daemon "$DAEMON"
    expect_eq "exit status of the installed daemon" 1 "$status"
    [[ $err == *"failed to read desktop magic"* ]] &&
        fail "the set-user-id daemon could not read the magic: $err"
    expect_contains "log of the installed daemon" "Failed to open display (unset), exiting." \
        "$(cat "$logdir/controller.log" 2>&1)"
    # The log is opened after the rights were dropped, so nobody owns it.
    expect_eq "log file owner" nobody "$(stat -c %U "$logdir/controller.log" 2>&1)"

    # Without the set-user-id bit the same user cannot read the magic: the
    # run above succeeded because of the bit, not because the magic is open.
    install -m 0755 "$DAEMON" "$plain"
    run_daemon "$plain"
    expect_eq "exit status without set-user-id" 1 "$status"
    expect_eq "stderr without set-user-id" "DesktopController: failed to read desktop magic, exiting." "$err"
}

check_purge() {
    touch /var/log/tarvelo/brevant-DesktopController-4242.log
    dpkg --purge desktopcontroller-tools desktopcontroller >"$WORK/purge.log" 2>&1 ||
        fail "dpkg --purge failed: $(cat "$WORK/purge.log")"
    [[ -e $DAEMON ]] && fail "the daemon is still installed after purge"
    [[ -e /etc/xdg/autostart/DesktopController.desktop ]] && fail "the autostart conffile survived purge"
    expect_eq "statoverride after purge" "" "$(dpkg-statoverride --list "$DAEMON")"
    local dir
    for dir in /var/tarvelo/brv_desktop /var/tarvelo/nordagent /var/log/tarvelo; do
        [[ -e $dir ]] && fail "$dir survived purge"
    done
    # The agent's magic is not this package's to delete, nor its account.
    expect_eq "magic after purge" "$MAGIC" "$(cat "$MAGIC_FILE" 2>&1)"
    [[ -n $(getent passwd brvcanvas) ]] || fail "purge removed the account brvcanvas"
}

inside_namespace() {
    local top=$1 daemon_deb=$2 tools_deb=$3
    mount --make-rprivate /
    private_system "$top"
    agent_leftovers
    export PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive
    if ! dpkg -i "$daemon_deb" "$tools_deb" >"$WORK/install.log" 2>&1; then
        fail "dpkg -i failed: $(cat "$WORK/install.log")"
        finish
    fi
    check_installed
    check_reconfigure "$daemon_deb"
    check_daemon_start "$top"
    check_purge
    finish
}

if [[ ${1:-} == --inside ]]; then
    inside_namespace "$2" "$3" "$4"
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

if ! "$SOURCE_DIR/scripts/package" "$WORK/build" >"$WORK/package.log" 2>&1; then
    fail "scripts/package failed: $(tail -n 30 "$WORK/package.log")"
    finish
fi
# The version, revision included, is the changelog's newest entry.
version=$(sed -n '1s/^desktopcontroller (\([^)]*\)).*/\1/p' "$SOURCE_DIR/packaging/debian/changelog")
arch=$(dpkg --print-architecture)
daemon_deb=$WORK/build/desktopcontroller_${version}_$arch.deb
tools_deb=$WORK/build/desktopcontroller-tools_${version}_$arch.deb
expect_eq "package paths printed" "$tools_deb
$daemon_deb" "$(tail -n 2 "$WORK/package.log")"
expect_eq "control Version" "$version" "$(dpkg-deb -f "$daemon_deb" Version 2>&1)"
if [[ ! -f $daemon_deb || ! -f $tools_deb ]]; then
    fail "scripts/package printed no packages: $(tail -n 5 "$WORK/package.log")"
    finish
fi

# Paths, owners and modes as dpkg will unpack them. The daemon ships
# root:root 0755; its set-user-id bit comes from postinst.
listing=$WORK/daemon.list
dpkg-deb -c "$daemon_deb" >"$listing"
expect_eq "daemon" "-rwxr-xr-x root/root" "$(entry_of "$listing" "$DAEMON")"
expect_eq "task script" "-rwxr-xr-x root/root" \
    "$(entry_of "$listing" /usr/lib/tarvelo/nordagent/desktop/desktopCTask.sh)"
expect_eq "autostart entry" "-rw-r--r-- root/root" \
    "$(entry_of "$listing" /etc/xdg/autostart/DesktopController.desktop)"
expect_eq "user unit" "-rw-r--r-- root/root" \
    "$(entry_of "$listing" /usr/lib/systemd/user/desktopcontroller.service)"
expect_eq "man page" "-rw-r--r-- root/root" "$(entry_of "$listing" /usr/share/man/man8/DesktopController.8.gz)"
expect_eq "copyright" "-rw-r--r-- root/root" "$(entry_of "$listing" /usr/share/doc/desktopcontroller/copyright)"
expect_eq "entries not owned by root" "" "$(awk '$2 != "root/root"' "$listing")"
expect_eq "entries outside /etc and /usr" "" "$(awk '$6 !~ /^\.\/(etc|usr)\//' "$listing")"
expect_eq "set-user-id or writable entries" "" \
    "$(awk '$1 !~ /^l/ && (substr($1, 4, 1) == "s" || substr($1, 6, 1) == "w" || substr($1, 9, 1) == "w")' "$listing")"
grep -q ipc-service "$listing" && fail "the daemon package carries ipc-service"
expect_eq "ipc-service" "-rwxr-xr-x root/root" \
    "$(entry_of <(dpkg-deb -c "$tools_deb") /usr/libexec/desktopcontroller/ipc-service)"

# The files as installed name the installed daemon, and the man page is the
# source's.
root=$WORK/root
dpkg-deb -x "$daemon_deb" "$root"
expect_eq "autostart Exec" "Exec=$DAEMON" "$(grep '^Exec=' "$root/etc/xdg/autostart/DesktopController.desktop")"
expect_eq "unit ExecStart" "ExecStart=$DAEMON" "$(grep '^ExecStart=' "$root/usr/lib/systemd/user/desktopcontroller.service")"
gzip -dc "$root/usr/share/man/man8/DesktopController.8.gz" | cmp -s - "$SOURCE_DIR/packaging/DesktopController.8" ||
    fail "the packaged man page differs from the source"

# Control data: dependencies found by dpkg-shlibdeps next to the declared
# ones, the conffile, executable maintainer scripts.
control=$WORK/control
dpkg-deb -e "$daemon_deb" "$control"
depends=$(dpkg-deb -f "$daemon_deb" Depends)
for dep in adduser libssl3 libx11-6 libc6; do
    [[ $depends =~ (^|, )$dep( |,|$) ]] || fail "Depends lacks $dep: [$depends]"
done
expect_eq "conffiles" /etc/xdg/autostart/DesktopController.desktop "$(cat "$control/conffiles")"
expect_eq "postinst mode" 755 "$(stat -c %a "$control/postinst")"
expect_eq "postrm mode" 755 "$(stat -c %a "$control/postrm")"
expect_contains "postinst names the daemon" "daemon=$DAEMON" "$(cat "$control/postinst")"
if command -v shellcheck >/dev/null; then
    shellcheck -s sh "$control/postinst" "$control/postrm" >"$WORK/shellcheck.out" 2>&1 ||
        fail "shellcheck of the maintainer scripts: $(cat "$WORK/shellcheck.out")"
fi

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
