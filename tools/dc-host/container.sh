# shellcheck shell=bash
# The container's life: boot, commands inside, sessions, the agent's IPC
# service, and the end. A host's state lives in one directory:
#   upper/ work/ root/   the overlay over the cached image (root/ is only
#                        mounted inside the container's mount namespace)
#   nspawn.pid           systemd-nspawn, started here
#   leader.pid           the container's PID 1, as the host sees it
#   cgroups              the cgroup directories made for the container
#   console.log          what the container printed while it booted

readonly DC_HOST_BOOT_TIMEOUT=60
readonly DC_HOST_AGENT_UNIT=dc-agent-ipc
# Test accounts, made at boot; their sessions are opened with host_session.
readonly DC_HOST_USERS=(alice bob carol)

host_fail() {
    echo "dc-host: $*" >&2
    return 1
}

# The directories of a new cgroup named $1 in every hierarchy that keeps
# track of processes: the unified one, and on a hybrid host also the named
# systemd one, which is where systemd in the container looks for its own.
host_cgroup_dirs() {
    if [[ $(stat -fc %T /sys/fs/cgroup) == cgroup2fs ]]; then
        echo "/sys/fs/cgroup/$1"
        return
    fi
    local hierarchy
    for hierarchy in unified systemd; do
        [[ -d /sys/fs/cgroup/$hierarchy ]] && echo "/sys/fs/cgroup/$hierarchy/$1"
    done
}

# host_prepare DIR DEB...: the overlay's upper layer gets the packages, the
# test host's own files (session scripts, the agent's key) and nothing else.
host_prepare() {
    local dir=$1
    shift
    mkdir -p "$dir/upper/root/debs" "$dir/work" "$dir/root" "$dir/upper/etc/dc-host" \
        "$dir/upper/usr/share/tarvelo" "$dir/upper/usr/local/lib/dc-host" "$dir/upper/etc/systemd/user"
    (($#)) && cp "$@" "$dir/upper/root/debs/"
    cp "$DC_HOST_DIR"/guest/* "$dir/upper/usr/local/lib/dc-host/"
    mv "$dir/upper/usr/local/lib/dc-host/dc-host-desktop.target" "$dir/upper/etc/systemd/user/"
    # The agent's key pair stays the same across service restarts, as an
    # installed agent's does; the daemon finds the public half where the
    # agent installs it.
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$dir/upper/etc/dc-host/agent.key" 2>/dev/null
    openssl pkey -in "$dir/upper/etc/dc-host/agent.key" -pubout -out "$dir/upper/usr/share/tarvelo/rui.pub"
}

# host_start DIR IMAGE: systemd-nspawn in a cgroup of its own and a mount
# namespace of its own, where the overlay is mounted; nothing of it is
# visible on the host, and it all goes with the last process.
host_start() {
    local dir=$1 image=$2 name cgroup
    name=dc-host-$$-$RANDOM
    host_cgroup_dirs "$name" >"$dir/cgroups"
    while read -r cgroup; do mkdir "$cgroup"; done <"$dir/cgroups"
    # shellcheck disable=SC2016 # expanded by the inner shells
    setsid bash -c '
        while read -r cgroup; do echo $$ >"$cgroup/cgroup.procs"; done <"$1/cgroups"
        exec unshare --mount --propagation private -- bash -c "
            mount -t overlay overlay -o lowerdir=\$2,upperdir=\$1/upper,workdir=\$1/work \$1/root &&
            exec systemd-nspawn --quiet --boot --register=no --keep-unit --private-network \
                --directory=\$1/root --machine=\$3" inner "$1" "$2" "$3"' \
        start "$dir" "$image" "$name" </dev/null >"$dir/console.log" 2>&1 &
    echo $! >"$dir/nspawn.pid"
}

# The container's PID 1: the child of nspawn that is pid 1 in its own pid
# namespace (nspawn's first child is a helper that does not live on).
host_find_leader() {
    local nspawn=$1 child
    # shellcheck disable=SC2013 # the file holds pids separated by blanks
    for child in $(cat /proc/"$nspawn"/task/*/children 2>/dev/null); do
        if [[ $(awk '/^NSpid:/ { print NF, $NF }' "/proc/$child/status" 2>/dev/null) == "3 1" ]]; then
            echo "$child"
            return 0
        fi
    done
    return 1
}

host_wait_leader() {
    local dir=$1 nspawn leader deadline=$((SECONDS + 20))
    nspawn=$(<"$dir/nspawn.pid")
    until leader=$(host_find_leader "$nspawn"); do
        kill -0 "$nspawn" 2>/dev/null || host_fail "systemd-nspawn ended: $(tail -5 "$dir/console.log")" || return
        ((SECONDS < deadline)) || host_fail "no container leader after 20 s" || return
        sleep 0.05
    done
    echo "$leader" >"$dir/leader.pid"
}

# host_exec DIR CMD...: CMD as root in all of the container's namespaces,
# with its root directory and a clean environment.
host_exec() {
    local dir=$1
    shift
    [[ -s $dir/leader.pid ]] || host_fail "no host running in $dir" || return
    nsenter --target "$(<"$dir/leader.pid")" --all --root --wd -- \
        env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}

host_wait_booted() {
    local dir=$1 state
    # systemctl can ask PID 1 only once its private socket exists.
    host_exec "$dir" timeout "$DC_HOST_BOOT_TIMEOUT" \
        sh -c 'until [ -S /run/systemd/private ]; do sleep 0.05; done' || true
    state=$(host_exec "$dir" timeout "$DC_HOST_BOOT_TIMEOUT" systemctl is-system-running --wait) || true
    case "$state" in
    running) ;;
    degraded) echo "dc-host: booted degraded: $(host_exec "$dir" systemctl --failed --no-legend --plain | tr '\n' ' ')" >&2 ;;
    *) host_fail "the container did not boot (state '$state'): $(tail -5 "$dir/console.log")" ;;
    esac
}

# Accounts, packages under test and the agent's desktop magic, as an
# installed agent leaves them.
host_setup() {
    local dir=$1 user
    for user in "${DC_HOST_USERS[@]}"; do
        host_exec "$dir" useradd --create-home --shell /bin/bash "$user"
    done
    host_exec "$dir" install -d -m 1777 /run/dc-host
    if compgen -G "$dir/upper/root/debs/*.deb" >/dev/null; then
        host_exec "$dir" sh -c 'dpkg -i /root/debs/*.deb >/root/dpkg.log 2>&1' ||
            host_fail "installing the packages failed: $(host_exec "$dir" tail -20 /root/dpkg.log)" || return
    fi
    host_exec "$dir" /usr/local/lib/dc-host/agent-files
}

host_boot() {
    local dir=$1 image
    shift
    [[ ! -e $dir ]] || host_fail "$dir exists" || return
    image=$(image_path) || return
    mkdir -p "$dir"
    if ! host_prepare "$dir" "$@" || ! host_start "$dir" "$image" || ! host_wait_leader "$dir" ||
        ! host_wait_booted "$dir" || ! host_setup "$dir"; then
        host_halt "$dir"
        return 1
    fi
}

# host_session DIR USER DESKTOP DISPLAY: a graphical logind session opened
# the way a display manager opens one (PAM "login", class user, type x11 for
# an X display such as :12, wayland for one such as wayland-42), whose
# leader starts the display server and the desktop; prints the session's id
# once the desktop is up.
host_session() {
    local dir=$1 user=$2 desktop=$3 display=$4 ready kind
    ready=/run/dc-host/session.${display#:}
    kind=(--setenv=XDG_SESSION_TYPE=x11 --setenv=DISPLAY="$display")
    [[ $display == wayland-* ]] && kind=(--setenv=XDG_SESSION_TYPE=wayland)
    host_exec "$dir" rm -f "$ready"
    host_exec "$dir" /usr/local/lib/dc-host/agent-files "$display" "$user"
    host_exec "$dir" systemd-run --quiet --unit="dc-desktop-$user-${display#:}" \
        --property=PAMName=login --property=User="$user" --property=Type=simple \
        --setenv=XDG_SESSION_CLASS=user "${kind[@]}" \
        /usr/local/lib/dc-host/desktop-session "$desktop" "$display" "$ready" || return
    # shellcheck disable=SC2016 # expanded by the shell inside
    host_exec "$dir" timeout 60 sh -c 'until [ -s "$1" ]; do sleep 0.05; done; cat "$1"' wait "$ready" ||
        host_fail "the $desktop session of $user on $display did not come up"
}

# host_service DIR start|stop [ARGS...]: the reference IPC service as the
# agent runs it: root, one process for all desktops, writing
# /var/tarvelo/ipc.port; ARGS go to the service (--send FILE, ...).
host_service() {
    local dir=$1
    case "$2" in
    start)
        host_exec "$dir" systemd-run --quiet --unit="$DC_HOST_AGENT_UNIT" --property=Type=simple \
            /usr/libexec/desktopcontroller/ipc-service --dir /var/tarvelo --key /etc/dc-host/agent.key \
            --desktop-magic-file /var/tarvelo/brv_desktop_magic --clients 100000 \
            --accept-timeout-ms 2147483647 --epoch-times "${@:3}"
        ;;
    console) host_service_console "$dir" ;;
    send)
        # shellcheck disable=SC2016 # expanded by the shell inside
        host_exec "$dir" sh -c 'printf "send %s\n" "$1" >/run/dc-host/agent.in' send "$3"
        ;;
    stop)
        host_exec "$dir" systemctl stop "$DC_HOST_AGENT_UNIT"
        host_exec "$dir" systemctl stop "$DC_HOST_AGENT_UNIT-input" 2>/dev/null || true
        ;;
    *) host_fail "service start, console, send or stop" ;;
    esac
}

# The service for one desktop, taking its commands (see ipc-service --help)
# from the pipe /run/dc-host/agent.in, which a unit of its own keeps open
# for writing, so that each "send" writes one line and the service never
# sees the end of its input.
host_service_console() {
    local dir=$1
    host_exec "$dir" sh -c 'rm -f /run/dc-host/agent.in && mkfifo -m 0600 /run/dc-host/agent.in' || return
    host_exec "$dir" systemd-run --quiet --unit="$DC_HOST_AGENT_UNIT-input" --property=Type=simple \
        sh -c 'exec sleep infinity >/run/dc-host/agent.in' || return
    host_exec "$dir" systemd-run --quiet --unit="$DC_HOST_AGENT_UNIT" --property=Type=simple \
        --property=StandardInput=file:/run/dc-host/agent.in \
        /usr/libexec/desktopcontroller/ipc-service --dir /var/tarvelo --key /etc/dc-host/agent.key \
        --desktop-magic-file /var/tarvelo/brv_desktop_magic --epoch-times --commands
}

# host_halt DIR: ends the container by its leader's pid (which ends every
# process in it), then nspawn, and removes the cgroups and DIR.
host_halt() {
    local dir=$1 pid deadline
    for pid in leader nspawn; do
        [[ -s $dir/$pid.pid ]] || continue
        pid=$(<"$dir/$pid.pid")
        kill -KILL "$pid" 2>/dev/null || continue
        deadline=$((SECONDS + 10))
        while kill -0 "$pid" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.05; done
    done
    if [[ -s $dir/cgroups ]]; then
        while read -r cgroup; do
            host_remove_cgroup "$cgroup"
        done <"$dir/cgroups"
    fi
    rm -rf "$dir"
}

# Removes a cgroup that the container made, children first, once the
# processes in it are gone.
host_remove_cgroup() {
    local cgroup=$1 deadline=$((SECONDS + 10))
    [[ -d $cgroup ]] || return 0
    until find "$cgroup" -depth -type d -exec rmdir {} + 2>/dev/null; do
        ((SECONDS < deadline)) || host_fail "cannot remove $cgroup" || return
        sleep 0.05
    done
}
