#!/usr/bin/env bash
# Which build tree runs here: flavour.sh ARCH [JOBS]
# The product is the i686 build (BUILD, default build/); the x86_64 build
# (BUILD64, default build-x86_64/) is a test flavour of the same sources for
# machines whose kernel runs no 32-bit programs. Both are configured and
# built as needed; then the tree that runs is printed on stdout, and on
# stderr (and in FLAVOUR_NOTE, a file, when set) the reason.
#   ARCH ""/auto   i686 where a 32-bit Windows program runs under Wine, else x86_64
#   ARCH i686      i686 here; where it cannot run here, in the Debian guest
#                  (scripts/guest.sh) if the caller can take it there (it
#                  names a file in FLAVOUR_WHERE, which gets "host" or
#                  "guest"), else fail
#   ARCH x86_64    x86_64 or fail
# Whether a flavour runs is measured, never guessed: its probe program is
# started once under the flavour's loader and must exit with its own code.
# GUEST=1 takes this machine as one whose kernel runs no 32-bit programs:
# the i686 probe is not started, so i686 runs only in the guest.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:-auto}
jobs=${2:-$(nproc 2>/dev/null || echo 2)}
b32=${BUILD:-build}
b64=${BUILD64:-build-x86_64}
case "$b32" in /*) ;; *) b32="$root/$b32" ;; esac
case "$b64" in /*) ;; *) b64="$root/$b64" ;; esac

say() {
    echo "$1" >&2
    if [ -n "${FLAVOUR_NOTE:-}" ]; then echo "$1" >"$FLAVOUR_NOTE"; fi
}
where() {
    if [ -n "${FLAVOUR_WHERE:-}" ]; then echo "$1" >"$FLAVOUR_WHERE"; fi
}

build_tree() {  # build_tree TREE FLAVOUR; FLAVOUR_BUILT=1: the trees are built
    local tree=$1 flavour=$2
    [ -n "${FLAVOUR_BUILT:-}" ] && return 0
    if [ ! -f "$tree/CMakeCache.txt" ]; then
        cmake -S "$root" -B "$tree" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$flavour.cmake" \
            -DCMAKE_BUILD_TYPE=Release ${CMAKE_FLAGS:-} >&2 || return 1
    fi
    cmake --build "$tree" -j "$jobs" >&2
}

can_run() {  # can_run TREE: the probe ran and exited with its code
    local tree=$1 rc
    (
        bash "$root/scripts/wine-env.sh" "$tree" start >/dev/null 2>&1 || exit 1
        eval "$(bash "$root/scripts/wine-env.sh" "$tree" env)"
        "$WINE" "$tree/bin/flavourprobe.exe" >/dev/null 2>&1 </dev/null
    )
    rc=$?
    bash "$root/scripts/wine-env.sh" "$tree" stop >/dev/null 2>&1
    [ "$rc" = 42 ]
}

case "$arch" in auto | "" | i686 | x86_64) ;; *)
    say "flavour: ARCH must be i686 or x86_64, not '$arch'"
    exit 2 ;;
esac

# The product always builds, wherever it can run.
build_tree "$b32" i686 || { say "flavour: the i686 build failed"; exit 1; }

if [ "$arch" != x86_64 ]; then
    if [ "${GUEST:-}" = 1 ]; then
        why="GUEST=1: taken as a kernel that runs no 32-bit programs"
    elif can_run "$b32"; then
        say "i686 build under wine (32-bit Windows programs run on this machine)"
        where host
        echo "$b32"
        exit 0
    elif [ -x "$(bash "$root/scripts/wine-env.sh" "$b32" loader)" ]; then
        why="this kernel runs no 32-bit programs: a 32-bit Windows program does not start under wine"
    else
        why="wine32, the 32-bit Wine loader, is not installed"
    fi
    if [ "$arch" = i686 ]; then
        if [ -n "${FLAVOUR_WHERE:-}" ]; then
            say "i686 build under wine in the Debian guest ($why)"
            where guest
            echo "$b32"
            exit 0
        fi
        say "i686 cannot run here ($why); nothing was run"
        exit 1
    fi
    why=${why%%: a 32-bit Windows program*}
else
    why="ARCH=x86_64"
fi

build_tree "$b64" x86_64 || { say "flavour: the x86_64 build failed"; exit 1; }
if ! can_run "$b64"; then
    say "x86_64 cannot run here (a 64-bit Windows program does not start under wine64); nothing was run"
    exit 1
fi
say "x86_64 build under wine64 ($why)"
where host
echo "$b64"
