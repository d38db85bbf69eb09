#!/usr/bin/env bash
# Which build tree runs here: flavour.sh ARCH [JOBS]
# The product is the i686 build (BUILD, default build/); the x86_64 build
# (BUILD64, default build-x86_64/) is a test flavour of the same sources for
# machines whose kernel runs no 32-bit programs. Both are configured and
# built as needed. The answer is printed on stdout as NAME=value lines for
# the caller to eval:
#   FLAVOUR_TREE   the tree that runs (only when one does)
#   FLAVOUR_WHERE  host, or guest (only when one runs)
#   FLAVOUR_NOTE   the reason, always; also printed on stderr
# The exit code is 0 when a tree runs.
#   ARCH ""/auto   i686 where a 32-bit Windows program runs under Wine, else x86_64
#   ARCH i686      i686 here; where it cannot run here, in the Debian guest
#                  (scripts/guest.sh) if the caller can take it there
#                  (FLAVOUR_GUEST=1), else fail
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

note=""
say() {
    echo "$1" >&2
    note=$1
}
# answer TREE WHERE: the lines a caller evals when a tree runs here.
answer() {
    printf 'FLAVOUR_TREE=%q\nFLAVOUR_WHERE=%q\nFLAVOUR_NOTE=%q\n' "$1" "$2" "$note"
}
# fail CODE: the reason alone, and the exit code.
fail() {
    printf 'FLAVOUR_NOTE=%q\n' "$note"
    exit "$1"
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
    fail 2 ;;
esac

# The product always builds, wherever it can run.
build_tree "$b32" i686 || { say "flavour: the i686 build failed"; fail 1; }

if [ "$arch" != x86_64 ]; then
    if [ "${GUEST:-}" = 1 ]; then
        why="GUEST=1: taken as a kernel that runs no 32-bit programs"
    elif can_run "$b32"; then
        say "i686 build under wine (32-bit Windows programs run on this machine)"
        answer "$b32" host
        exit 0
    elif [ -x "$(bash "$root/scripts/wine-env.sh" "$b32" loader)" ]; then
        why="this kernel runs no 32-bit programs: a 32-bit Windows program does not start under wine"
    else
        why="wine32, the 32-bit Wine loader, is not installed"
    fi
    if [ "$arch" = i686 ]; then
        if [ "${FLAVOUR_GUEST:-}" = 1 ]; then
            say "i686 build under wine in the Debian guest ($why)"
            answer "$b32" guest
            exit 0
        fi
        say "i686 cannot run here ($why); nothing was run"
        fail 1
    fi
    why=${why%%: a 32-bit Windows program*}
else
    why="ARCH=x86_64"
fi

build_tree "$b64" x86_64 || { say "flavour: the x86_64 build failed"; fail 1; }
if ! can_run "$b64"; then
    say "x86_64 cannot run here (a 64-bit Windows program does not start under wine64); nothing was run"
    fail 1
fi
say "x86_64 build under wine64 ($why)"
answer "$b64" host
