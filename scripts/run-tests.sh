#!/usr/bin/env bash
# make test: run-tests.sh ARCH [JOBS]
# The whole suite on the flavour this machine runs (scripts/flavour.sh):
# the i686 product where 32-bit Windows programs run under Wine, else the
# x86_64 build of the same sources, after the i686 package has been made so
# that the suite reads the shipped 32-bit programs as files. Ends with one
# line saying which flavour ran, why, and how it went.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:-auto}
jobs=${2:-$(nproc 2>/dev/null || echo 2)}
b32=${BUILD:-build}
case "$b32" in /*) ;; *) b32="$root/$b32" ;; esac

note=$(mktemp)
trap 'rm -f "$note"' EXIT
if ! tree=$(FLAVOUR_NOTE="$note" bash "$root/scripts/flavour.sh" "$arch" "$jobs"); then
    echo "tests: $(cat "$note")"
    exit 1
fi
summary=$(cat "$note")
if [ "$tree" != "$b32" ]; then
    # What ships is still the i686 package: make it, for its checks as files.
    if ! cmake --build "$b32" --target dist; then
        echo "tests: $summary; make dist of the i686 package failed, nothing was run"
        exit 1
    fi
    summary=${summary%)}"; the shipped i686 programs were checked statically)"
fi

(cd "$tree" && ctest --output-on-failure --timeout 120 -j "$jobs")
rc=$?
# Cases that this flavour does not build, one "name: reason" a line, written
# by CMake at configure time.
if [ -s "$tree/not-run-here.txt" ]; then
    echo "not run in this flavour:"
    sed 's/^/  /' "$tree/not-run-here.txt"
fi
if [ "$rc" = 0 ]; then result=passed; else result=FAILED; fi
echo "tests: $summary: $result"
exit "$rc"
