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

bash "$root/scripts/wine-env.sh" "$build" start || exit 1
eval "$(bash "$root/scripts/wine-env.sh" "$build" env)"
. "$root/scripts/station-lib.sh"


st_guard_config "$work/saved"
export XRAYSIM_LOG="$work/xraysim.log"
export XRAYSIM_EXPOSURE_MS=100
st_configure "$bin"

title_of() { xdotool getwindowname "$1" 2>/dev/null; }

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
    st_wait_exit "$ST_STATION_PID" 20
    check "exit code after Alt+F4" 0 "$ST_EXIT"
    ST_STATION_PID=""
    ;;
exit_from_menu)
    st_start_station "$bin" || exit 1
    # "&Acquisizione" then "&Esci".
    st_key alt+a e
    st_wait_exit "$ST_STATION_PID" 20
    check "exit code after &Esci" 0 "$ST_EXIT"
    ST_STATION_PID=""
    ;;
image_road)
    hostlog="$work/hosts.log"
    st_start_hostmon "$bin" "$hostlog" 2 || exit 1
    st_start_station "$bin" || exit 1
    st_key F1
    st_wait_lines "$hostlog" '^COPYDATA host=PELK_FOTO_SERVER' 1 20
    sim_crc=$(sed -n 's/^IMAGE .*crc32=\(0x[0-9A-Fa-f]*\).*/\1/p' "$XRAYSIM_LOG" | tail -n 1)
    sim_size=$(sed -n 's/^IMAGE .*size=\([0-9]*\).*/\1/p' "$XRAYSIM_LOG" | tail -n 1)
    check "the simulator delivered one image" 1 "$(grep -c '^IMAGE ' "$XRAYSIM_LOG")"
    check "front end got it" 1 "$(grep -c "^COPYDATA host=TLumitaneWnd .*cbData=$sim_size .*crc32=$sim_crc" "$hostlog")"
    check "photo server got it" 1 "$(grep -c "^COPYDATA host=PELK_FOTO_SERVER .*cbData=$sim_size .*crc32=$sim_crc" "$hostlog")"
    check "front end served first" TLumitaneWnd "$(grep '^COPYDATA' "$hostlog" | head -n 1 | sed 's/.*host=\([^ ]*\).*/\1/')"
    check "front end tag low half" 1 "$(grep -c '^COPYDATA host=TLumitaneWnd .* low=511 ' "$hostlog")"
    st_key F2
    st_wait_lines "$hostlog" '^COPYDATA host=PELK_FOTO_SERVER' 2 20
    st_key ctrl+c ctrl+v
    st_wait_lines "$hostlog" '^COPYDATA host=PELK_FOTO_SERVER' 3 20
    check "three sends reach each host with the same bytes" 3 "$(grep -c "^COPYDATA host=TLumitaneWnd .*crc32=$sim_crc" "$hostlog")"
    check "three sends reach the photo server with the same bytes" 3 "$(grep -c "^COPYDATA host=PELK_FOTO_SERVER .*crc32=$sim_crc" "$hostlog")"
    st_key alt+F4
    st_wait_exit "$ST_STATION_PID" 20
    check "exit code" 0 "$ST_EXIT"
    ST_STATION_PID=""
    st_wait_lines "$hostlog" '^DELETE_RESOURCE' 1 10
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
