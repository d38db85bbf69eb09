#!/usr/bin/env bash
# guards_test.sh: a wait that comes near its guard says so, and the stress
# rig's table lists those waits beside the cases, each with its margin.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/station-lib.sh"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0

# st_wait_for: status, and whether it printed its time. A wait that runs
# out has taken its whole guard; one that succeeds at once a hundredth.
while read -r guard command status line; do
    st_wait_for "$guard" $command 2>"$tmp/err"
    check "wait for $command, $guard s guard: status" "$status" "$?"
    printed=$(grep -cE "^time: wait for $command: [0-9]+ s of the $guard s guard$" "$tmp/err")
    check "wait for $command, $guard s guard: its time printed" "$line" "$printed"
    check "wait for $command, $guard s guard: nothing else printed" "$line" "$(wc -l <"$tmp/err")"
done <<'T'
1 false 1 1
100 true 0 0
T
# One whose first try succeeds after a second comes near a 10 s guard; a
# first try that succeeds is never held to the guard, however slow.
st_wait_for 10 sleep 1.2 2>"$tmp/err"
check "late success: status" 0 "$?"
check "late success: its time printed" 1 "$(grep -cE "^time: wait for sleep 1.2: [0-9]+ s of the 10 s guard$" "$tmp/err")"

# The table: a made-up tree with two cases of its own guards, and a JUnit
# file whose outputs report three waits.
mkdir -p "$tmp/src" "$tmp/tree/reports"
cat >"$tmp/src/CMakeLists.txt" <<'L'
cmake_minimum_required(VERSION 3.13)
project(guards NONE)
enable_testing()
add_test(NAME slow COMMAND true)
set_tests_properties(slow PROPERTIES TIMEOUT 100)
add_test(NAME quick COMMAND true)
L
cmake -S "$tmp/src" -B "$tmp/tree" >/dev/null || { echo "FAILED: cmake could not make the tree"; exit 1; }
cat >"$tmp/tree/reports/suite-junit.xml" <<'L'
<testsuite>
<testcase name="slow" time="50" status="run"><system-out>ok: one
time: wait for st_has_lines hosts.log 2: 30 s of the 100 s guard
time: setup: 0 s of the 900 s guard
</system-out></testcase>
<testcase name="quick" time="2" status="run"><system-out>time: drvcheck x.dll, its own work at most: 12 s of the 120 s guard
</system-out></testcase>
</testsuite>
L
python3 "$root/scripts/guard-table.py" "$tmp/tree" 600 >"$tmp/table"
row() { grep -E "^$1 " "$tmp/table" | tr -s ' '; }
check "case near its own guard" "slow passed 50.00 100 2.0x < 5x" "$(row slow)"
check "case under the default guard" "quick passed 2.00 600 300.0x" "$(row quick)"
check "wait near its guard, flagged" "wait for st_has_lines hosts.log 2 slow 30 100 3.3x < 5x" "$(row 'wait for st_has_lines')"
check "wait far from its guard" "drvcheck x.dll, its own work at most quick 12 120 10.0x" "$(row 'drvcheck x\.dll,')"
check "wait of no time" "setup slow 0 900 infx" "$(row setup)"
check "summaries" "guards: 2 cases, 1 under 5x their time, the longest case 50.0 s|waits: 3 reported, 1 of them under 5x their time|" \
    "$(grep -E '^(guards|waits):' "$tmp/table" | tr '\n' '|')"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    cat "$tmp/table"
    exit 1
fi
echo "all checks passed"
