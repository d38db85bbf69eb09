#!/usr/bin/env bash
# A Debian guest under QEMU for the i686 suite where this kernel runs no
# 32-bit programs (Debian's guest kernel does).
#   guest.sh image                 the guest, made once per machine from
#                                  Debian's packages (scripts/guest/recipe.sh)
#                                  and cached; prints its folder
#   guest.sh run [--share DIR]... [--cwd DIR] [--env NAME]... -- CMD [ARG...]
#                                  boots it, runs CMD in DIR, shuts it down;
#                                  CMD's output comes back here and its exit
#                                  status is this script's
#   guest.sh where                 the image's folder for this recipe (its
#                                  file ready says it is made)
# The source tree is shared with the guest at its own path, and so is each
# --share DIR (a build tree kept elsewhere), so paths in CTest files and
# scripts mean the same inside; the host's /usr is shared read-only for the
# toolchain files the build trees' make rules name (scripts/guest/inside.sh).
# The image is only ever read by a guest: each boot writes to a throwaway
# overlay (QEMU's snapshot=on), and a new image is made beside the old one,
# never over it.
# Settings (environment):
#   CAP_GUEST_CACHE     where images are kept (default /var/cache/capstation-guest
#                       as root, else ~/.cache/capstation-guest)
#   CAP_GUEST_ACCEL     tcg (the default: QEMU emulates the CPU) or kvm
#   CAP_GUEST_DEADLINE  seconds a whole run may take before the guest is
#                       stopped (default 4500: a guard against a guest
#                       that hangs, past the slowest whole suite measured
#                       with the host's cores busy, inside CI's 90 minutes)
#   CAP_GUEST_MEM, CAP_GUEST_CPUS   the guest's memory (MB) and CPUs
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
GUEST_RECIPE_DIR="$root/scripts/guest"
# shellcheck source=guest/recipe.sh
. "$GUEST_RECIPE_DIR/recipe.sh"
# shellcheck source=guest/lib.sh
. "$GUEST_RECIPE_DIR/lib.sh"

if [ -n "${CAP_GUEST_CACHE:-}" ]; then
    cache=$CAP_GUEST_CACHE
elif [ "$(id -u)" = 0 ]; then
    cache=/var/cache/capstation-guest
else
    cache="${XDG_CACHE_HOME:-$HOME/.cache}/capstation-guest"
fi
recipe_hash=$(cat "$GUEST_RECIPE_DIR/recipe.sh" "$GUEST_RECIPE_DIR/init.sh" | sha256sum | cut -c1-16)
image_dir="$cache/$recipe_hash"

say() { echo "guest: $*" >&2; }

# make_image: debootstrap into a folder beside the cache, the recipe inside
# it, then an ext4 image of the folder (no mount needed) and its kernel and
# initrd. As root; another run on this machine waits for it.
make_image() {
    local work="$image_dir.making" dir log start mirrors main size
    mkdir -p "$cache"
    exec 8>"$cache/.lock"
    flock 8
    [ -f "$image_dir/ready" ] && return 0
    start=$(date +%s)
    say "making the Debian guest once for this machine in $image_dir (Debian's packages, a few minutes)"
    # Folders left by a making that was stopped (this lock holds off any
    # other), this recipe's or an older one's.
    rm -rf "$cache"/*.making
    mkdir -p "$work"
    dir="$work/root" log="$work/make.log"
    mirrors=$(guest_mirrors /etc/apt "$GUEST_SUITE")
    main=$(awk -v s="$GUEST_SUITE" '$2 == s { print $1; exit }' <<<"$mirrors")
    main=${main:-http://deb.debian.org/debian}
    if ! debootstrap --variant=minbase --include="$GUEST_BASE" --components=main \
        "$GUEST_SUITE" "$dir" "$main" >"$log" 2>&1; then
        say "debootstrap from $main failed:"
        tail -n 5 "$log" >&2
        return 1
    fi
    if [ -n "$mirrors" ]; then
        awk '{ print "deb", $1, $2, "main" }' <<<"$mirrors" >"$dir/etc/apt/sources.list"
    fi
    cp /etc/resolv.conf "$dir/etc/resolv.conf" 2>/dev/null || true
    mount -t proc proc "$dir/proc" && mount -t sysfs sysfs "$dir/sys" && mount --bind /dev "$dir/dev"
    (set -e; guest_recipe_fill "$dir") >>"$log" 2>&1
    local rc=$?
    umount "$dir/dev" "$dir/sys" "$dir/proc" 2>/dev/null
    if [ "$rc" != 0 ]; then
        say "installing the guest's packages failed:"
        tail -n 5 "$log" >&2
        return 1
    fi
    rm -f "$dir/etc/resolv.conf"
    cp "$(ls "$dir"/boot/vmlinuz-* | sort -V | tail -n 1)" "$work/vmlinuz"
    cp "$(ls "$dir"/boot/initrd.img-* | sort -V | tail -n 1)" "$work/initrd.img"
    # Room for the few files a run writes outside the shared trees.
    size=$(( $(du -sm "$dir" | cut -f1) * 5 / 4 + 1024 ))
    truncate -s "${size}M" "$work/rootfs.img"
    if ! mkfs.ext4 -q -F -L capguest -d "$dir" "$work/rootfs.img" >>"$log" 2>&1; then
        say "mkfs.ext4 of the guest failed:"
        tail -n 5 "$log" >&2
        return 1
    fi
    rm -rf "$dir"
    cp "$GUEST_RECIPE_DIR/recipe.sh" "$GUEST_RECIPE_DIR/init.sh" "$work/"
    chmod a+r "$work"/*
    touch "$work/ready"
    mv "$work" "$image_dir"
    say "made the guest in $(( $(date +%s) - start )) s ($(du -sh --apparent-size "$image_dir/rootfs.img" | cut -f1) image, $(du -sh "$image_dir/rootfs.img" | cut -f1) on disk)"
    # Guests of older recipes, unless a run still has one open.
    local old
    for old in "$cache"/*/; do
        old=${old%/}
        [ "$old" = "$image_dir" ] && continue
        [ -f "$old/ready" ] || continue
        ( flock -xn 7 && rm -rf "$old" ) 7>>"$old/lock"
    done
    return 0
}

ensure_image() {
    if [ -f "$image_dir/ready" ]; then
        return 0
    fi
    for tool in debootstrap mkfs.ext4 qemu-system-x86_64; do
        if ! command -v "$tool" >/dev/null; then
            say "$tool is missing: scripts/install-deps.sh installs it where the guest is needed"
            return 1
        fi
    done
    if [ "$(id -u)" = 0 ]; then
        (make_image)
    else
        sudo env CAP_GUEST_CACHE="$cache" bash "$0" image >/dev/null
    fi
}

# accel: QEMU's own CPU emulation (TCG) unless KVM is asked for. The
# project's machines have no /dev/kvm; where one opens, as inside some
# virtual machines, a guest under it may still never boot (seen: silence
# after the kernel's first lines), so it is never taken unasked.
accel() {
    case "${CAP_GUEST_ACCEL:-tcg}" in
    kvm) echo kvm ;;
    *) echo tcg ;;
    esac
}

run_guest() {
    local shares=("$root") cwd=$PWD envs=() opt
    while [ $# -gt 0 ]; do
        case "$1" in
        --share) shares+=("$(cd "$2" && pwd)") || return 2; shift 2 ;;
        --cwd) cwd=$(cd "$2" && pwd) || return 2; shift 2 ;;
        --env) envs+=("$2"); shift 2 ;;
        --) shift; break ;;
        *) echo "usage: guest.sh run [--share DIR]... [--cwd DIR] [--env NAME]... -- CMD [ARG...]" >&2
           return 2 ;;
        esac
    done
    [ $# -gt 0 ] || { echo "guest.sh run: no command" >&2; return 2; }
    ensure_image || return 1

    # Globals: the exit trap reads them after this function has returned.
    ctl="" qemu_pid="" tail_pid=""
    local deadline=${CAP_GUEST_DEADLINE:-4500} acc start
    ctl=$(mktemp -d "${TMPDIR:-/tmp}/capguest.XXXXXX")
    cp "$GUEST_RECIPE_DIR/inside.sh" "$GUEST_RECIPE_DIR/lib.sh" "$ctl/"
    : >"$ctl/output"
    # A shared lock on the image: a newer recipe's run never removes it
    # under this one.
    exec 7>>"$image_dir/lock"
    flock -s 7

    # The job, as bash that inside.sh sources.
    local qshares=() i=0 s
    {
        printf 'JOB_UID=%q JOB_GID=%q JOB_CWD=%q\n' "$(id -u)" "$(id -g)" "$cwd"
        printf 'JOB_SHARES=('
        for s in "${shares[@]}"; do
            # A folder inside another shared one is there already.
            local inner=0 t
            for t in "${shares[@]}"; do
                [ "$t" != "$s" ] && [[ "$s" == "$t"/* ]] && inner=1
            done
            [ "$inner" = 1 ] && continue
            printf '%q ' "tree$i:$s"
            qshares+=(-virtfs "local,path=$s,mount_tag=tree$i,security_model=none,multidevs=remap")
            i=$((i + 1))
        done
        printf ')\nJOB_ENV=('
        for s in "${envs[@]}"; do
            [ -n "${!s+x}" ] && printf '%q ' "$s=${!s}"
        done
        printf ')\nJOB_CMD=('
        printf '%q ' "$@"
        printf ')\n'
    } >"$ctl/job"

    acc=$(accel)
    local cpus=${CAP_GUEST_CPUS:-$(nproc 2>/dev/null || echo 2)}
    local cpu=(-cpu max,-smap,-smep)
    # QEMU 7.2's emulated SMAP makes every 32-bit program fault at its first
    # iret in the guest kernel; under KVM the host's CPU is used as it is.
    [ "$acc" = kvm ] && cpu=(-cpu host)
    local args=(
        -name capguest -machine q35,accel="$acc" "${cpu[@]}"
        -m "${CAP_GUEST_MEM:-6144}" -smp "$cpus"
        -nodefaults -no-user-config -display none -vga none -monitor none -no-reboot
        -serial "file:$ctl/console.log"
        -kernel "$image_dir/vmlinuz" -initrd "$image_dir/initrd.img"
        -append "root=/dev/vda rw console=ttyS0 init=/sbin/capguest-init quiet panic=-1"
        -drive "file=$image_dir/rootfs.img,format=raw,if=virtio,snapshot=on"
        -virtfs "local,path=$ctl,mount_tag=capctl,security_model=none"
        -virtfs "local,path=/usr,mount_tag=hostusr,security_model=none,readonly=on,multidevs=remap"
        "${qshares[@]}"
    )

    cleanup() {
        if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then
            kill -TERM "$qemu_pid" 2>/dev/null
            local n
            for n in $(seq 1 50); do kill -0 "$qemu_pid" 2>/dev/null || break; sleep 0.2; done
            kill -KILL "$qemu_pid" 2>/dev/null
            wait "$qemu_pid" 2>/dev/null
        fi
        [ -n "$tail_pid" ] && kill "$tail_pid" 2>/dev/null
        [ -n "$ctl" ] && rm -rf "$ctl"
    }
    trap 'cleanup' EXIT
    trap 'say "interrupted: the guest is stopped"; exit 130' INT TERM HUP

    start=$(date +%s)
    say "booting the Debian guest ($acc, $cpus CPUs, ${CAP_GUEST_MEM:-6144} MB) for: $*"
    # The guest dies with this script, however it ends.
    setpriv --pdeathsig KILL qemu-system-x86_64 "${args[@]}" </dev/null >"$ctl/qemu.log" 2>&1 &
    qemu_pid=$!
    tail -n +1 -f --pid="$qemu_pid" "$ctl/output" &
    tail_pid=$!
    local timed_out=0
    while kill -0 "$qemu_pid" 2>/dev/null; do
        if [ $(( $(date +%s) - start )) -ge "$deadline" ]; then
            timed_out=1
            say "the run took more than $deadline s (CAP_GUEST_DEADLINE): stopping the guest"
            kill -TERM "$qemu_pid" 2>/dev/null
            break
        fi
        sleep 1
    done
    wait "$qemu_pid" 2>/dev/null
    local qrc=$?
    qemu_pid=""
    wait "$tail_pid" 2>/dev/null
    tail_pid=""
    local status
    status=$(cat "$ctl/status" 2>/dev/null)
    if [ -z "$status" ]; then
        [ "$timed_out" = 1 ] || say "the guest ended (QEMU exit $qrc) without the command's status"
        sed 's/^/  qemu: /' "$ctl/qemu.log" >&2
        tail -n 20 "$ctl/console.log" 2>/dev/null | sed 's/^/  console: /' >&2
        return 1
    fi
    say "the guest ran for $(( $(date +%s) - start )) s and was shut down; the command exited with $status"
    return "$status"
}

case "${1:-}" in
image)
    if [ "$(id -u)" = 0 ]; then
        (make_image) || exit 1
    else
        ensure_image || exit 1
    fi
    echo "$image_dir"
    ;;
run)
    shift
    run_guest "$@"
    ;;
where)
    # The image's folder for this recipe: ready inside once it is made.
    echo "$image_dir"
    ;;
*)
    echo "usage: guest.sh image | run [--share DIR]... [--cwd DIR] [--env NAME]... -- CMD [ARG...]" >&2
    exit 2
    ;;
esac
