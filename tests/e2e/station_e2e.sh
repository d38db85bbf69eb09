#!/usr/bin/env bash
# End-to-end scenarios: station_e2e.sh BUILD SCENARIO
set -uo pipefail
build=$(cd "$1" && pwd)
scenario=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
bin="$build/bin"
work="$build/e2e/$scenario"
rm -rf "$work"
mkdir -p "$work"

. "$root/scripts/station-lib.sh"
st_wine_up "$build" || exit 1


st_guard_config "$work/saved"
other_pid=""  # a stand-in process of another prefix, ended on every way out
st_on_exit 'st_end_and_restore; [ -z "$other_pid" ] || kill "$other_pid" 2>/dev/null'
export XRAYSIM_LOG="$work/xraysim.log"
export XRAYSIM_EXPOSURE_MS=100
st_configure "$bin"

title_of() { xdotool getwindowname "$1" 2>/dev/null; }

# leftovers: what a failed test can leave behind and how the next one copes.
# A host monitor started with no pid of ours (as from a shortcut) makes the
# check before the host stand-ins start fail with a plain message; ending
# hostmon.exe by name ends it, windows included, and leaves alone a process
# of another prefix that names the same program.
leftovers() {
    local out
    st_check_no_hosts || exit 1
    "$WINE" start "$("$WINE" winepath -w "$bin/hostmon.exe")" --log "$("$WINE" winepath -w "$work/stray.log")" \
        >/dev/null 2>&1 </dev/null
    st_wait_lines "$work/stray.log" '^READY ' 2 "$ST_GUARD_START" || exit 1
    # Another prefix's program of the same name (a stand-in: its command
    # line is what the search reads).
    WINEPREFIX="$WINEPREFIX-other" bash -c 'exec -a "C:\\tools\\hostmon.exe" sleep 3600' &
    other_pid=$!
    out=$(st_check_no_hosts 2>&1; echo "rc=$?")
    check "a stray host monitor is reported before the test" yes \
        "$(grep -q '^a host window is already open before this test: .*TLumitaneWnd (hostmon).*PELK_FOTO_SERVER (hostmon).*, left by another program$' <<<"$out" &&
           grep -qx 'rc=1' <<<"$out" && echo yes || echo "no: $out")"
    check "hostmon.exe of this prefix found by name" 1 "$(st_program_pids hostmon.exe | wc -l)"
    st_end_program hostmon.exe 2>/dev/null
    check "ending hostmon.exe by name ends it" "" "$(st_program_pids hostmon.exe)"
    check "its windows are gone" "" "$(xdotool search --name "$ST_HOST_CLASSES" 2>/dev/null)"
    check "another prefix's hostmon.exe is left alone" yes "$(kill -0 "$other_pid" 2>/dev/null && echo yes || echo no)"
    kill "$other_pid" 2>/dev/null
    wait "$other_pid" 2>/dev/null
    other_pid=""
    check "no host window after the stray one is ended" 0 "$(st_check_no_hosts 2>/dev/null; echo $?)"
}

case "$scenario" in
start_and_alt_f4)
    st_start_station "$bin" || exit 1
    check "title for the simulator's standalone mode" "CATTURA DA SENSORE - Standalone version" "$(title_of "$ST_WINDOW")"
    # Maximised: the window covers the whole screen width.
    eval "$(xdotool getwindowgeometry --shell "$ST_WINDOW")"
    screen_width=$(xdotool getdisplaygeometry | cut -d' ' -f1)
    [ "$WIDTH" -ge "$screen_width" ] && maximised=yes || maximised="no (${WIDTH} of ${screen_width})"
    check "window starts maximised" yes "$maximised"
    st_key alt+F4
    st_wait_exit "$ST_STATION_PID"
    check "exit code after Alt+F4" 0 "$ST_EXIT"
    ST_STATION_PID=""
    ;;
exit_from_menu)
    st_start_station "$bin" || exit 1
    # "&Acquisizione" then "&Esci".
    st_key alt+a e
    st_wait_exit "$ST_STATION_PID"
    check "exit code after &Esci" 0 "$ST_EXIT"
    ST_STATION_PID=""
    ;;
image_road)
    hostlog="$work/hosts.log"
    leftovers
    st_start_hostmon "$bin" "$hostlog" 2 || exit 1
    st_start_station "$bin" || exit 1
    st_key F1
    st_wait_lines "$hostlog" '^COPYDATA host=PELK_FOTO_SERVER' 1 || exit 1
    sim_crc=$(sed -n 's/^IMAGE .*crc32=\(0x[0-9A-Fa-f]*\).*/\1/p' "$XRAYSIM_LOG" | tail -n 1)
    sim_size=$(sed -n 's/^IMAGE .*size=\([0-9]*\).*/\1/p' "$XRAYSIM_LOG" | tail -n 1)
    st_key F2
    st_wait_lines "$hostlog" '^COPYDATA host=PELK_FOTO_SERVER' 2 || exit 1
    st_key ctrl+c ctrl+v
    st_wait_lines "$hostlog" '^COPYDATA host=PELK_FOTO_SERVER' 3 || exit 1
    st_key alt+F4
    st_wait_exit "$ST_STATION_PID"
    check "exit code" 0 "$ST_EXIT"
    ST_STATION_PID=""
    st_wait_lines "$hostlog" '^DELETE_RESOURCE' 1 || exit 1
    # The counts below say that nothing more came, so they are read once
    # nothing more can come: the station has ended (its sends wait for the
    # hosts), and the host monitor, closed after it, has handled the posted
    # exit notices that were queued before the close.
    hostmon_window=$(xdotool search --name '^TLumitaneWnd \(hostmon\)' 2>/dev/null | head -n 1)
    xdotool windowfocus --sync "$hostmon_window" 2>/dev/null || xdotool windowfocus "$hostmon_window"
    xdotool key alt+F4
    st_wait_exit "$ST_HOSTMON_PID"
    check "host monitor closed" 0 "$ST_EXIT"
    ST_HOSTMON_PID=""
    # The first send: the lines before the front end's second image.
    first_send=$(grep '^COPYDATA' "$hostlog" | awk '/^COPYDATA host=TLumitaneWnd / && ++n == 2 { exit } { print }')
    check "the simulator delivered one image" 1 "$(grep -c '^IMAGE ' "$XRAYSIM_LOG")"
    check "front end got it" 1 "$(grep -c "^COPYDATA host=TLumitaneWnd .*cbData=$sim_size .*crc32=$sim_crc" <<<"$first_send")"
    check "photo server got it" 1 "$(grep -c "^COPYDATA host=PELK_FOTO_SERVER .*cbData=$sim_size .*crc32=$sim_crc" <<<"$first_send")"
    check "front end served first" TLumitaneWnd "$(head -n 1 <<<"$first_send" | sed 's/.*host=\([^ ]*\).*/\1/')"
    check "front end tag low half" 1 "$(grep -c '^COPYDATA host=TLumitaneWnd .* low=511 ' <<<"$first_send")"
    check "three sends reach each host with the same bytes" 3 "$(grep -c "^COPYDATA host=TLumitaneWnd .*crc32=$sim_crc" "$hostlog")"
    check "three sends reach the photo server with the same bytes" 3 "$(grep -c "^COPYDATA host=PELK_FOTO_SERVER .*crc32=$sim_crc" "$hostlog")"
    check "nothing else reached the hosts" 6 "$(grep -c '^COPYDATA' "$hostlog")"
    check "one exit notice at the photo server" 1 "$(grep -c '^DELETE_RESOURCE host=PELK_FOTO_SERVER wParam=2 lParam=0$' "$hostlog")"
    check "no exit notice at the front end" 0 "$(grep -c '^DELETE_RESOURCE host=TLumitaneWnd' "$hostlog")"
    ;;
*)
    echo "unknown scenario $scenario"
    exit 2
    ;;
esac

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
