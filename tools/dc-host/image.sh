# shellcheck shell=bash
# The cached root file system of the booted test host: built once with
# mmdebstrap from this machine's own apt sources and kept outside the work
# tree, under a name made from its package list and the set-up below, so a
# changed list builds a new root and never touches one in use.

readonly DC_HOST_CACHE=${DC_HOST_CACHE:-/var/cache/dc-host}

# The apt sources this machine uses (disabled files do not match the names).
image_sources() {
    local file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [[ -s $file ]] && echo "$file"
    done
}

image_packages() {
    grep -v -e '^#' -e '^$' "$DC_HOST_DIR/packages"
}

# What goes into the root beyond its packages; part of the cache key.
image_customize() {
    local root=$1
    # A container prompts for nothing, and its own machine id comes at boot.
    ln -sf /dev/null "$root/etc/systemd/system/console-getty.service"
    ln -sf /dev/null "$root/etc/systemd/system/getty@.service"
    : >"$root/etc/machine-id"
    echo dc-host >"$root/etc/hostname"
    # Nothing the tests need waits on these; left running they only slow
    # down the boot.
    ln -sf /dev/null "$root/etc/systemd/system/apt-daily.timer"
    ln -sf /dev/null "$root/etc/systemd/system/apt-daily-upgrade.timer"
    ln -sf /dev/null "$root/etc/systemd/system/e2scrub_all.timer"
    ln -sf /dev/null "$root/etc/systemd/system/fstrim.timer"
    # The packaged KWin carries the file capability cap_sys_resource, which
    # a container's bounding set may lack, and exec then fails outright; a
    # copy carries no capability and runs anywhere.
    cp "$root/usr/bin/kwin_wayland" "$root/usr/bin/kwin_wayland.copy"
    mv -f "$root/usr/bin/kwin_wayland.copy" "$root/usr/bin/kwin_wayland"
}

image_key() {
    { image_packages; declare -f image_customize; } | sha256sum | cut -c1-16
}

# image_path: prints the root's path, building it first when it is missing.
# Concurrent callers wait for one build.
image_path() {
    local dir root
    dir=$DC_HOST_CACHE/$(image_key)
    root=$dir/root
    mkdir -p "$DC_HOST_CACHE"
    exec {image_lock}>"$DC_HOST_CACHE/build.lock"
    flock "$image_lock"
    if [[ ! -d $root ]]; then
        image_build "$dir" >&2 || {
            exec {image_lock}>&-
            return 1
        }
    fi
    exec {image_lock}>&-
    echo "$root"
}

image_build() {
    local dir=$1 partial=$1/root.partial packages
    echo "dc-host: building the host's root in $dir (a few minutes, once)"
    rm -rf "$partial"
    mkdir -p "$dir"
    packages=$(image_packages | paste -sd, -)
    local sources
    mapfile -t sources < <(image_sources)
    mmdebstrap --variant=minbase --quiet --include="$packages" bookworm "$partial" "${sources[@]}" ||
        { rm -rf "$partial"; return 1; }
    image_customize "$partial"
    mv "$partial" "$dir/root"
}
