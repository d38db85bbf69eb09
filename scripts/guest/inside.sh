#!/bin/bash
# The guest's side of a run, started by its init (init.sh) from the run's
# control share, where scripts/guest.sh copied it with the job: the shared
# trees mounted at their host paths, the host's toolchain files wherever
# the trees' make rules name them, a clean /tmp, then the job's command as
# the host's user. Its output and exit status go back through the control
# share; init powers the guest off when this returns.
set -u
ctl=/run/capguest/ctl
out="$ctl/output"
hostusr=/run/capguest/host-usr
p9=trans=virtio,version=9p2000.L,msize=262144
# shellcheck source=/dev/null
. "$ctl/job"
# shellcheck source=lib.sh
. "$ctl/lib.sh"

fail() {
    echo "guest: $*" >>"$out"
    echo 125 >"$ctl/status"
    sync
    exit 1
}

mount -t tmpfs -o mode=1777 tmpfs /tmp || fail "no /tmp"
mkdir -p /dev/shm /dev/pts
mount -t tmpfs -o mode=1777 tmpfs /dev/shm
mount -t devpts devpts /dev/pts
mkdir -p "$hostusr"
mount -t 9p -o "$p9,ro" hostusr "$hostusr" || fail "the host's /usr cannot be mounted"
# The trees with the guest's page cache (cache=loose): the host leaves them
# alone while the guest runs, and sync at the end writes back what the
# guest wrote. Without it (cache=none or cache=mmap) every 32-bit program
# that Wine starts from the shared tree dies at once on a read of address 0,
# and the same file copied to /tmp runs.
for share in "${JOB_SHARES[@]}"; do
    tag=${share%%:*} path=${share#*:}
    mkdir -p "$path" && mount -t 9p -o "$p9,cache=loose" "$tag" "$path" ||
        fail "cannot mount $path from the host"
done

# The guest has no compilers. The host built everything, so make inside
# (make dist, the fuzz targets' build) finds nothing to rebuild, but only if
# every file its rules depend on is there with the host's time stamps: a
# missing header would count as changed. Each such file of the host's /usr
# is bound read-only at its own path, by the topmost folder the guest lacks
# (the cross compiler's, GoogleTest's source) or, where the guest has the
# file with another time, alone. Files the suite reads from the toolchain
# at run time go with them: make dist copies the mingw-w64 runtime's
# licence into the package.
runtime_files=(/usr/share/doc/mingw-w64-i686-dev/copyright /usr/share/doc/mingw-w64-x86-64-dev/copyright)
dependencies() {
    local share path
    for share in "${JOB_SHARES[@]}"; do
        path=${share#*:}
        # Every look at a shared file is a round trip to the host, slow
        # under emulation: the Wine prefixes and the history are skipped.
        find "$path" \( -name wineprefix -o -name wine-state -o -name .git \) -prune -o \
            \( -name compiler_depend.make -o -path '*/CMakeFiles/Makefile.cmake' \) \
            -type f -print0 2>/dev/null | xargs -0 -r grep -h -o -e '^/usr/[^:]*:$' -e '^  "/usr/[^"]*"$'
    done | sed 's/^  "//; s/"$//; s/:$//'
    printf '%s\n' "${runtime_files[@]}"
}
bind_host_files() {
    local unit h bound=()
    while IFS= read -r unit; do
        h="$hostusr${unit#/usr}"
        if [ -d "$h" ]; then
            mkdir -p "$unit"
        else
            mkdir -p "${unit%/*}" && { [ -e "$unit" ] || : >"$unit"; }
        fi
        mount --bind "$h" "$unit" || fail "cannot bind the host's $unit"
        bound+=("$unit")
    done < <(dependencies | guest_bind_units "$hostusr")
    echo "guest: ${#bound[@]} of the host's toolchain folders and files bound read-only for the trees' make rules" >>"$out"
}
echo "guest: the kernel and the shares up after $(cut -d' ' -f1 /proc/uptime) s" >>"$out"
bind_host_files

home=/run/capguest/home
mkdir -p "$home"
chown "$JOB_UID:$JOB_GID" "$home"
job=(env -i HOME="$home" PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin LANG=C.UTF-8
     "${JOB_ENV[@]}" bash -c 'cd "$1" && shift && exec "$@"' job "$JOB_CWD" "${JOB_CMD[@]}")
if [ "$JOB_UID" != 0 ]; then
    job=(setpriv --reuid="$JOB_UID" --regid="$JOB_GID" --clear-groups "${job[@]}")
fi
echo "guest: up after $(cut -d' ' -f1 /proc/uptime) s, kernel $(uname -r), $(nproc) CPUs; running in $JOB_CWD: ${JOB_CMD[*]}" >>"$out"
"${job[@]}" >>"$out" 2>&1 </dev/null
echo $? >"$ctl/status"
sync
