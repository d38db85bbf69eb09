#!/usr/bin/env bash
# make test: run-tests.sh ARCH [JOBS]
# The whole suite on each flavour of the tree that this machine can run
# (scripts/flavour.sh says which runs where):
#   where 32-bit Windows programs run under Wine: the i686 product, here;
#   where this kernel runs none: the x86_64 build of the same sources here,
#     after the i686 package has been made so that the suite reads the
#     shipped 32-bit programs as files; then the whole i686 suite in the
#     Debian guest (scripts/guest.sh), whose kernel runs 32-bit programs;
#   ARCH=x86_64: only the x86_64 suite, here (the quick loop);
#   ARCH=i686: only the i686 suite, here or in the guest.
# GUEST=1 takes this machine as one whose kernel runs no 32-bit programs.
# STRESS=1 (make stress) keeps every core of this machine busy with
# stress-ng while the suites run, and prints after each suite every case's
# time beside its guard (scripts/guard-table.py).
# Ends with one line per flavour saying where it ran, why, and how it went.
#   run-tests.sh --suite TREE JOBS   one tree's suite where this script runs
#                                    (what the guest is given to run)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

# The guard of a case that sets none; only a hang should ever reach it.
DEFAULT_TIMEOUT=600
suite() {  # suite TREE JOBS
    local tree=$1 jobs=$2 rc
    mkdir -p "$tree/reports"
    (cd "$tree" && ctest --output-on-failure --timeout "$DEFAULT_TIMEOUT" -j "$jobs" \
        --output-junit "$tree/reports/suite-junit.xml")
    rc=$?
    # Cases that this flavour does not build, one "name: reason" a line,
    # written by CMake at configure time.
    if [ -s "$tree/not-run-here.txt" ]; then
        echo "not run in this flavour:"
        sed 's/^/  /' "$tree/not-run-here.txt"
    fi
    return "$rc"
}
if [ "${1:-}" = --suite ]; then
    suite "${2:?tree}" "${3:-2}"
    exit
fi

arch=${1:-auto}
jobs=${2:-$(nproc 2>/dev/null || echo 2)}
b32=${BUILD:-build}
case "$b32" in /*) ;; *) b32="$root/$b32" ;; esac

image_log=$(mktemp)
stress_pid=""
trap 'rm -f "$image_log"; [ -z "$stress_pid" ] || kill "$stress_pid" 2>/dev/null' EXIT
lines=()   # one per flavour, printed at the end
status=0
tree="" where="" summary=""

# flavour ARCH: scripts/flavour.sh for ARCH; sets tree, where (host or
# guest) and summary (why).
flavour() {
    local answer rc FLAVOUR_TREE="" FLAVOUR_WHERE="" FLAVOUR_NOTE=""
    answer=$(FLAVOUR_GUEST=1 bash "$root/scripts/flavour.sh" "$1" "$jobs")
    rc=$?
    eval "$answer"
    tree=$FLAVOUR_TREE where=$FLAVOUR_WHERE summary=$FLAVOUR_NOTE
    return "$rc"
}
result() {  # result RC: the line for the flavour just run
    if [ "$1" = 0 ]; then
        lines+=("tests: $summary: passed")
    else
        lines+=("tests: $summary: FAILED")
        status=1
    fi
}
cannot() {  # the line for a flavour that could not run
    local line="tests: $summary: FAILED"
    [ ${#lines[@]} -gt 0 ] && [ "${lines[-1]}" = "$line" ] && return
    lines+=("$line")
    status=1
}

if [ "${STRESS:-}" = 1 ] && ! command -v stress-ng >/dev/null; then
    echo "make stress: stress-ng is not installed (scripts/install-deps.sh installs it)" >&2
    exit 1
fi
# load on|off: under the stress rig, every core of this machine kept busy
# while a suite runs (the builds before it are not what is measured).
load() {
    [ "${STRESS:-}" = 1 ] || return 0
    if [ "$1" = on ]; then
        # Bounded, in case this script is killed before its trap runs.
        stress-ng --cpu "${STRESS_CPUS:-$(nproc)}" --timeout 4h --quiet &
        stress_pid=$!
        echo "stress: $(nproc) core(s) kept busy by stress-ng --cpu ${STRESS_CPUS:-$(nproc)} while the suite runs"
    elif [ -n "$stress_pid" ]; then
        kill "$stress_pid" 2>/dev/null
        wait "$stress_pid" 2>/dev/null
        stress_pid=""
    fi
}
# guards: under the stress rig, each case's time beside its guard.
guards() {
    [ "${STRESS:-}" = 1 ] || return 0
    python3 "$root/scripts/guard-table.py" "$tree" "$DEFAULT_TIMEOUT" ||
        echo "stress: no table of the guards for $tree"
}

here() {  # the suite of $tree on this machine
    if [ "$tree" != "$b32" ]; then
        # What ships is still the i686 package: make it, for its checks as files.
        if ! cmake --build "$b32" --target dist; then
            summary="$summary; make dist of the i686 package failed, nothing was run"
            cannot
            return
        fi
        summary=${summary%)}"; the shipped i686 programs were checked statically)"
    fi
    load on
    suite "$tree" "$jobs"
    result $?
    load off
    guards
}

# The guest is made once per machine, a few minutes of downloads and
# unpacking: where it will be needed (no 32-bit Wine loader here, or
# GUEST=1) and is not made yet, that starts at once, beside the host's
# builds and x86_64 suite. guest.sh run waits for it.
image_pid=""
mkdir -p "$b32"
if [ "$arch" != x86_64 ] && [ ! -f "$(bash "$root/scripts/guest.sh" where)/ready" ] &&
   { [ "${GUEST:-}" = 1 ] || [ ! -x "$(bash "$root/scripts/wine-env.sh" "$b32" loader 2>/dev/null)" ]; }; then
    bash "$root/scripts/guest.sh" image >"$image_log" 2>&1 &
    image_pid=$!
fi

in_guest() {  # the i686 suite of $tree in the Debian guest
    if [ -n "$image_pid" ]; then
        wait "$image_pid"
        cat "$image_log" >&2
        image_pid=""
    fi
    # The guest has Wine but no compilers: what the suite would build with
    # a compiler is built here first. A second make of the tree and its
    # package also gathers each object's header list into the make rules,
    # which is where the guest finds the host's headers to bind: without
    # it (a tree built once, as a forced ARCH=i686 run leaves it) every
    # header counts as missing there and make dist wants to compile.
    local made
    if ! made=$({ cmake --build "$tree" && cmake --build "$tree" --target dist; } 2>&1); then
        tail -n 40 <<<"$made"
        summary="$summary; make dist of the i686 package failed, nothing was run"
        cannot
        return
    fi
    if ! bash "$root/fuzz/run.sh" "$tree" --build; then
        summary="$summary; the native fuzz targets did not build, nothing was run"
        cannot
        return
    fi
    # One Wine server per prefix: none of this machine's may have the tree's.
    bash "$root/scripts/wine-env.sh" "$tree" stop >/dev/null 2>&1
    local cpus=${CAP_GUEST_CPUS:-$(nproc 2>/dev/null || echo 2)}
    load on
    FUZZ_PREBUILT=1 bash "$root/scripts/guest.sh" run --share "$tree" --cwd "$tree" --env CI --env FUZZ_PREBUILT -- \
        bash "$root/scripts/run-tests.sh" --suite "$tree" "$cpus"
    local rc=$?
    load off
    # A guest that was stopped may leave its Xvfb's pid and display in the
    # tree: they name the guest's processes, never this machine's.
    rm -f "$tree/wine-state/xvfb.pid" "$tree/wine-state/display" "$tree/wine-state/desktophold.pid"
    result "$rc"
    guards
}

case "$arch" in
x86_64)
    if flavour x86_64; then here; else cannot; fi
    ;;
i686)
    if ! flavour i686; then
        cannot
    elif [ "$where" = guest ]; then
        in_guest
    else
        here
    fi
    ;;
*)
    if flavour "$arch"; then
        here
        native=$([ "$tree" = "$b32" ] && echo yes)
    else
        # The x86_64 flavour may fail where the i686 suite can still run
        # in the guest; an i686 build that fails stops both.
        cannot
        native=""
    fi
    if [ -z "$native" ] && flavour i686 && [ "$where" = guest ]; then
        in_guest
    elif [ -z "$native" ] && [ "$where" != host ]; then
        cannot
    fi
    ;;
esac

printf '%s\n' "${lines[@]}"
exit "$status"
