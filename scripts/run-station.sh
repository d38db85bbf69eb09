#!/usr/bin/env bash
# `make run`: the station on the simulated sensor, with the host monitor
# beside it standing in for the front end and the photo server.
# With a DISPLAY it runs there until you close it. Without one it runs on a
# private Xvfb: one acquisition (F1), a screenshot in out/station.png, a
# second send (F2), the station closed, and a summary of what the hosts got.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
bin="$build/bin"
out="$root/out"
mkdir -p "$out"
user_display=${DISPLAY:-}

# shellcheck source=station-lib.sh
. "$root/scripts/station-lib.sh"
st_wine_up "$build"

export XRAYSIM_LOG="$out/xraysim.log"
rm -f "$XRAYSIM_LOG"
# The prefix is the tests' too: what the station writes there (the HBX
# switch) is put back when it ends.
saved="$build/run-station.saved"
st_save_config "$saved"
st_configure "$bin"

if [ -n "$user_display" ]; then
    export DISPLAY="$user_display"
    echo "Station on $DISPLAY with the simulated sensor; host log in $out/hosts.log."
    echo "F1 takes an image, F2 sends it again, Ctrl+C / Ctrl+V copy and paste."
    st_start_hostmon "$bin" "$out/hosts.log" 2 --save "$out"
    "$WINE" "$bin/capstation.exe" >/dev/null 2>&1 </dev/null || true
    sleep 1
    kill "$ST_HOSTMON_PID" 2>/dev/null || true
    st_restore_config "$saved"
    exit 0
fi

cleanup() {
    # shellcheck disable=SC2086
    st_end_pids ${ST_STATION_PID:-} ${ST_HOSTMON_PID:-}
    st_end_program capstation.exe hostmon.exe || true
    st_restore_config "$saved"
    bash "$root/scripts/wine-env.sh" "$build" stop
}
st_on_exit cleanup

hostlog="$out/hosts.log"
st_start_hostmon "$bin" "$hostlog" 2
st_start_station "$bin"
sleep 1
st_key F1
st_wait_lines "$hostlog" '^COPYDATA host=PELK_FOTO_SERVER' 1
sleep 0.5
st_screenshot "$out/station.png"
st_key F2
st_wait_lines "$hostlog" '^COPYDATA host=PELK_FOTO_SERVER' 2
st_key alt+F4
st_wait_exit "$ST_STATION_PID"
code=$ST_EXIT
ST_STATION_PID=""
st_wait_lines "$hostlog" '^DELETE_RESOURCE' 1 || true

echo "Screenshot: $out/station.png"
echo "Station exit code: $code"
echo "Host log ($hostlog):"
sim_crc=$(sed -n 's/^IMAGE .*crc32=\(0x[0-9A-Fa-f]*\).*/\1/p' "$XRAYSIM_LOG" | tail -n 1)
for host in TLumitaneWnd PELK_FOTO_SERVER; do
    n=$(grep -c "^COPYDATA host=$host " "$hostlog" || true)
    echo "  $host: $n image(s)"
    grep "^COPYDATA host=$host " "$hostlog" | while read -r line; do
        tag=$(sed -n 's/.*dwData=\(0x[0-9A-Fa-f]*\) high=\([0-9]*\) low=\([0-9]*\).*/\1 (high \2, low \3)/p' <<<"$line")
        size=$(sed -n 's/.*cbData=\([0-9]*\) width=\([0-9]*\) height=\([0-9]*\) bits=\([0-9]*\).*/\1 bytes, \2 x \3, \4 bits/p' <<<"$line")
        crc=$(sed -n 's/.*crc32=\(0x[0-9A-Fa-f]*\).*/\1/p' <<<"$line")
        verdict="does not match"
        [ "${crc,,}" = "${sim_crc,,}" ] && verdict="matches"
        echo "    tag $tag, $size, crc32 $crc $verdict the simulator's image"
    done
done
echo "  exit notices at the photo server: $(grep -c '^DELETE_RESOURCE host=PELK_FOTO_SERVER wParam=2 lParam=0' "$hostlog" || true)"
