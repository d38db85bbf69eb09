#!/usr/bin/env bash
# display_test.sh: build trees that start their Wine at the same moment
# (CTest runs tests side by side; the flavour test starts stand-in trees)
# each get an X display of their own, and stopping one leaves the others'
# displays up: two trees that both took the first free number would share
# one X server, and the first to stop would take the display from under the
# other's programs.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/station-lib.sh"
tmp=$(mktemp -d)
trees=4
stop_all() {
    for i in $(seq 1 $trees); do bash "$root/scripts/wine-env.sh" "$tmp/t$i" stop; done >/dev/null 2>&1
    rm -rf "$tmp"
}
trap stop_all EXIT

for i in $(seq 1 $trees); do
    mkdir -p "$tmp/t$i"
    echo x86_64 >"$tmp/t$i/flavour"
done
# The X server alone, all at once; the stand-in server is never started.
for i in $(seq 1 $trees); do
    WINE_SERVER_X86_64=/bin/true bash "$root/scripts/wine-env.sh" "$tmp/t$i" display >"$tmp/d$i" 2>&1 &
done
wait

owner() {  # owner N: the pid in display N's lock file, if that X server runs
    local pid
    pid=$(tr -d ' \n' <"/tmp/.X$1-lock" 2>/dev/null)
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && echo "$pid"
}
displays=() owners=()
for i in $(seq 1 $trees); do
    displays+=("$(cat "$tmp/d$i")")
    owners+=("$(owner "${displays[-1]}")")
    check "tree $i: its X server serves its display" "$(cat "$tmp/t$i/wine-state/xvfb.pid" 2>/dev/null)" "${owners[-1]}"
done
check "each tree has a display of its own" "$trees" "$(printf '%s\n' "${displays[@]}" | sort -u | grep -c .)"

bash "$root/scripts/wine-env.sh" "$tmp/t1" stop >/dev/null 2>&1
for i in $(seq 2 $trees); do
    check "tree $i's display is still up after tree 1 stopped" "${owners[i - 1]}" "$(owner "${displays[i - 1]}")"
done

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
