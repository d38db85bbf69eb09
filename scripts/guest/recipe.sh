# What the Debian guest is made of: sourced by scripts/guest.sh. This file
# and init.sh beside it are the whole recipe; their hash names the cached
# image, so any change here makes a new guest on the next run.
#
# The guest runs the i686 suite on machines whose kernel runs no 32-bit
# programs: Debian's own kernel (6.1) does, under QEMU. It holds Wine and
# what the suite calls at run time (the package's checks read the programs
# with the cross binutils' objdump), no compilers: the host builds
# everything first, and the build trees' make rules find the host's
# toolchain files read-only inside (scripts/guest/inside.sh).

GUEST_SUITE=bookworm
# The kernel and what its initramfs needs to find the virtio disk.
GUEST_BASE=linux-image-amd64,udev,kmod
# Installed inside once the i386 architecture is added.
GUEST_PACKAGES=(
    wine wine32:i386 fonts-wine xvfb xauth x11-utils xdotool
    cmake make python3 imagemagick nsis zip unzip cmark-gfm procps
    binutils-mingw-w64-i686
)

# guest_recipe_install DIR: the packages, from fresh indexes where the
# mirror gives them (one in mid-sync fails now and then; a retry usually
# finds it whole).
guest_recipe_install() {
    local dir=$1 try
    for try in 1 2 3; do
        chroot "$dir" apt-get update -qq && break
        [ "$try" = 3 ] || sleep 10
    done
    DEBIAN_FRONTEND=noninteractive chroot "$dir" apt-get install -y -qq --no-install-recommends \
        "${GUEST_PACKAGES[@]}" >/dev/null
}

# guest_recipe_fill DIR: everything inside the root folder after
# debootstrap. Runs as root on the host, the folder's /proc, /sys and /dev
# mounted.
guest_recipe_fill() {
    local dir=$1
    # No service starts inside the folder while packages install.
    printf '#!/bin/sh\nexit 101\n' >"$dir/usr/sbin/policy-rc.d"
    chmod 755 "$dir/usr/sbin/policy-rc.d"
    chroot "$dir" dpkg --add-architecture i386
    guest_recipe_install "$dir" || {
        # wine32:i386 needs its libraries at one version in both
        # architectures: a security index that a mirror has not finished
        # for i386 breaks that for a while. The release's own suites stay
        # consistent, and a throwaway test guest can do without the rest.
        echo "guest: retrying the packages from $GUEST_SUITE and its updates alone"
        sed -i '/-security /d' "$dir/etc/apt/sources.list"
        guest_recipe_install "$dir"
    }
    chroot "$dir" apt-get clean
    rm -rf "$dir"/var/lib/apt/lists/* "$dir/usr/sbin/policy-rc.d"
    echo capguest >"$dir/etc/hostname"
    : >"$dir/etc/fstab"
    install -m 755 "$GUEST_RECIPE_DIR/init.sh" "$dir/sbin/capguest-init"
}
