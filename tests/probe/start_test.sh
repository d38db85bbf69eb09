#!/usr/bin/env bash
# start_test.sh: the test's own programs, started and ended. A host monitor
# or a station started in the background that never shows what it is
# waited for (its READY lines, its window) is explained: ended with its
# exit code, or still running with its threads and windows, beside the
# Wine server, the display and its last stderr lines; one that ended
# having said nothing (nothing of it ran) is started once more, once; one
# that starts says nothing. A program ended by name is waited for until
# its X windows have gone too, and a host window that went while it was
# looked at is not one left open. Stand-in loaders and programs; the X display is real.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/station-lib.sh"
tmp=$(mktemp -d)
cleanup() {
    local job
    for job in $(jobs -p); do
        pkill -P "$job" 2>/dev/null
        kill "$job" 2>/dev/null
    done
    kill "$(cat "$tmp/tree/hang.pid" 2>/dev/null)" 2>/dev/null
    WINE_SERVER_X86_64=/bin/true bash "$root/scripts/wine-env.sh" "$tmp/tree" stop >/dev/null 2>&1
    rm -rf "$tmp"
}
trap cleanup EXIT
mkdir -p "$tmp/tree/wineprefix" "$tmp/tree/wine-state" "$tmp/bin"
echo x86_64 >"$tmp/tree/flavour"
export WINEPREFIX="$tmp/tree/wineprefix" DISPLAY=:4242 WINE="$tmp/loader"

# The stand-in counts its starts and runs the program's part given in
# $STANDIN: "exit" says a line on stderr and ends with 4, "silent" ends with
# 1 having said nothing, "silent-once" does so at its first start only,
# "hang" sleeps, "ready" logs two hosts.
cat >"$WINE" <<'STANDIN'
#!/bin/bash
[ "$1" = winepath ] && { echo "$3"; exit 0; }
starts="${WINEPREFIX%/*}/starts"
echo x >>"$starts"
[ "$STANDIN" = silent-once ] && { [ "$(wc -l <"$starts")" -gt 1 ] && STANDIN=ready || STANDIN=silent; }
case "$STANDIN" in
exit) echo "cannot find the program's library" >&2; exit 4 ;;
silent) exit 1 ;;
hang) echo $$ >"${WINEPREFIX%/*}/hang.pid"; exec sleep 600 ;;
ready) printf 'READY host=TLumitaneWnd\nREADY host=PELK_FOTO_SERVER\n' >>"$3"; exit 0 ;;
esac
STANDIN
chmod +x "$WINE"

# starts STANDIN GUARD COMMAND...: runs the start; its output in $out, its
# status in $start_status, the programs it started in $started.
starts() {
    rm -f "$tmp/tree/starts"
    out=$(STANDIN=$1 ST_GUARD_START=$2 "${@:3}" 2>&1)
    start_status=$?
    started=$(cat "$tmp/tree/starts" 2>/dev/null | wc -l)
}
# expect WHAT STATUS STARTED LINE...: the start's status, its programs and
# the lines its output must have.
expect() {
    local what=$1 status=$2 count=$3 line
    shift 3
    check "$what: status" "$status" "$start_status"
    check "$what: started" "$count" "$started"
    for line in "$@"; do
        check "$what: [$line]" yes "$(grep -qE -- "$line" <<<"$out" && echo yes || echo "no, in: $out")"
    done
}

# The guards are long where the program ends or comes up: it is not waited
# for past that. They run out only where the program hangs.
starts exit 600 st_start_hostmon "$tmp/bin" "$tmp/hosts.log" 2
expect "host monitor that ends, saying why" 1 1 \
    "^hostmon\.exe: it ended before its 2 READY lines in $tmp/hosts.log showed$" \
    '^hostmon\.exe: pid [0-9]+ ended with exit code 4$' \
    "^hostmon\.exe: no Wine server of $WINEPREFIX was running$" \
    '^hostmon\.exe: the display :4242 was down$' \
    '^hostmon\.exe: the last lines it wrote to stderr:$' \
    "^  cannot find the program's library$"

starts silent-once 600 st_start_hostmon "$tmp/bin" "$tmp/once.log" 2
expect "host monitor that ends silently once" 0 2 \
    '^hostmon\.exe: pid [0-9]+ ended with exit code 1$' \
    '^hostmon\.exe: it wrote nothing to stderr$' \
    '^hostmon\.exe: nothing of it ran, so it is started once more$'

starts silent 600 st_start_station "$tmp/bin"
expect "station that ends silently twice" 1 2 \
    '^capstation\.exe: it ended before its window showed$' \
    '^capstation\.exe: nothing of it ran, so it is started once more$'
check "station that ends silently twice: no window, twice" 2 "$(grep -c '^station: no window appeared$' <<<"$out")"

starts hang 1 st_start_station "$tmp/bin"
expect "station that hangs" 1 1 \
    '^station: no window appeared$' \
    '^capstation\.exe: its window did not show in [0-9]+ s$' \
    '^capstation\.exe: pid [0-9]+ is still running; its threads \(id:state/wait\): [0-9]+:[SR]/.*; its windows: none$' \
    '^capstation\.exe: it wrote nothing to stderr$'

starts ready 600 st_start_hostmon "$tmp/bin" "$tmp/ready.log" 2
expect "host monitor that starts" 0 1
check "host monitor that starts: nothing said" "" "$out"

# A host window found by the search and destroyed before its name is read
# (its program just ended) is not open; one still there is. xdotool is a
# stand-in that finds window 77 and reads its name as told.
mkdir -p "$tmp/fake"
printf '#!/bin/sh\ncase "$1" in\nsearch) echo 77 ;;\ngetwindowname) [ -n "$NAME77" ] && echo "$NAME77" || exit 1 ;;\ngetwindowpid) echo 99 ;;\nesac\n' >"$tmp/fake/xdotool"
chmod +x "$tmp/fake/xdotool"
out=$(PATH="$tmp/fake:$PATH" NAME77= st_check_no_hosts 2>&1; echo "rc=$?")
check "a host window gone while it is looked at" "rc=0" "$out"
out=$(PATH="$tmp/fake:$PATH" NAME77="TLumitaneWnd (hostmon)" st_check_no_hosts 2>&1; echo "rc=$?")
check "a host window still open" yes "$(grep -q '"TLumitaneWnd (hostmon)" (pid 99), left by another program' <<<"$out" &&
    grep -qx rc=1 <<<"$out" && echo yes || echo "no: $out")"

# The real display from here on. A stand-in host monitor (its command line
# and prefix are what the search by name reads) with a window of its own
# that the X server takes away a second after the program has ended, as it
# does a killed Wine program's: st_end_program and st_end_pids return once
# it has gone.
# A window that stays makes it fail, saying so.
DISPLAY=":$(WINE_SERVER_X86_64=/bin/true bash "$root/scripts/wine-env.sh" "$tmp/tree" display)" || exit 1
export DISPLAY
lingering() {  # lingering SECONDS: the stand-in and its window; pid in $program
    WINEPREFIX="$WINEPREFIX" bash -c 'exec -a "C:\\tools\\hostmon.exe" sleep 600' >/dev/null 2>&1 &
    program=$!
    xmessage -title "hostmon stand-in $program" "$program" >/dev/null 2>&1 &
    local shown=$!
    st_wait_for 120 xdotool search --name "^hostmon stand-in $program\$" >/dev/null || return 1
    xprop -id "$(xdotool search --name "^hostmon stand-in $program\$" | head -n 1)" \
        -f _NET_WM_PID 32c -set _NET_WM_PID "$program"
    (while kill -0 "$program" 2>/dev/null; do sleep 0.1; done; sleep "$1"; kill "$shown") >/dev/null 2>&1 &
}
lingering 1
st_end_program hostmon.exe 2>"$tmp/end.err"
check "ended by name: done" 0 "$?"
check "ended by name: its window gone when it returns" "" "$(xdotool search --pid "$program" 2>/dev/null)"
lingering 1
st_end_pids "$program"
check "ended by its pid: its window gone when it returns" "" "$(xdotool search --pid "$program" 2>/dev/null)"
lingering 600
ST_GUARD_END=1 st_end_program hostmon.exe 2>"$tmp/end.err"
check "ended by name, its window staying: fails" 1 "$?"
check "ended by name, its window staying: says so" 1 \
    "$(grep -c "^hostmon.exe's windows still there after it ended: pid $program\$" "$tmp/end.err")"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
