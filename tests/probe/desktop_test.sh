#!/usr/bin/env bash
# desktop_test.sh BUILD: once the tree's Wine is started, the prefix's
# desktop process (explorer.exe /desktop) stays running, with no pipe as its
# stdout or stderr. Started instead by the first test that makes a
# window, it would keep that test's output pipe open, and CTest waiting on
# it, until every program beside it had ended.
set -uo pipefail
build=$(cd "${1:?build folder}" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
bash "$root/scripts/wine-env.sh" "$build" start || { echo "FAILED: wine-env start"; exit 1; }
prefix="$build/wineprefix"
# The server closes a desktop about a second after its last program has
# left it, and its process goes with it: what is left after a pause is what
# keeps it.
sleep 3

found=0 failures=0
for pid in $(pgrep -f 'explorer.exe /desktop'); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$prefix" || continue
    found=$((found + 1))
    for fd in 1 2; do
        target=$(readlink "/proc/$pid/fd/$fd" 2>/dev/null)
        case "$target" in
        pipe:*) echo "FAILED: the desktop process $pid has a pipe as fd $fd"; failures=$((failures + 1)) ;;
        *) echo "ok: the desktop process $pid: fd $fd is ${target:-closed}" ;;
        esac
    done
done
if [ "$found" = 0 ]; then
    echo "FAILED: no desktop process for $prefix after wine-env start"
    exit 1
fi
[ "$failures" = 0 ]
