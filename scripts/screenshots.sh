#!/usr/bin/env bash
# `make screenshots`: the guides' pictures, taken from the real programs on
# the build's private Xvfb display.
#   screenshots.sh BUILD OUTDIR
# station.png     the station after F1 on the simulated sensor
# hostmon.png     the host monitor after it received that image
# notice.png      an event notice ("USB board plugged on again")
# firstrun.png    the first-run dialog
# notfound.png    the box shown when the driver cannot be loaded
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
bin="$build/bin"
work="$build/screenshots"
rm -rf "$work"
mkdir -p "$work"

bash "$root/scripts/wine-env.sh" "$build" start
eval "$(bash "$root/scripts/wine-env.sh" "$build" env)"
# shellcheck source=station-lib.sh
. "$root/scripts/station-lib.sh"

st_guard_config "$work/saved"
export XRAYSIM_EXPOSURE_MS=100

# shot TITLE-REGEX FILE: waits for a visible window whose title matches and
# saves it (its frame included) once it has had time to paint.
shot() {
    local regex=$1 file=$2 id="" i
    for i in $(seq 1 100); do
        id=$(xdotool search --onlyvisible --name "$regex" 2>/dev/null | tail -n 1 || true)
        [ -n "$id" ] && break
        sleep 0.1
    done
    [ -n "$id" ] || { echo "screenshots: no window /$regex/" >&2; return 1; }
    sleep 0.7
    import -window "$id" -depth 8 -define png:exclude-chunks=date,time "$out/$file"
    echo "screenshots: $out/$file"
}

# The station with its image; then the host monitor that received it.
st_configure "$bin"
hostlog="$work/hosts.log"
st_start_hostmon "$bin" "$hostlog" 1 --front
st_start_station "$bin"
st_key F1
st_wait_lines "$hostlog" '^COPYDATA ' 1 20
shot '^CATTURA DA SENSORE' station.png
st_key alt+F4
st_wait_exit "$ST_STATION_PID" 20
ST_STATION_PID=""
shot 'TLumitaneWnd' hostmon.png
kill "$ST_HOSTMON_PID" 2>/dev/null || true
ST_HOSTMON_PID=""

# An event notice after the image.
XRAYSIM_EVENTS=12 st_start_station "$bin"
st_key F1
shot '^Error or incoming event signalisation$' notice.png
xdotool key Return
sleep 0.3
st_key alt+F4
st_wait_exit "$ST_STATION_PID" 20
ST_STATION_PID=""

# First run: no "xray.ini". The dialog; Annulla; the load of the empty path
# fails and its box shows (caption: the empty path).
rm -f "$WINEPREFIX/drive_c/windows/xray.ini"
"$WINE" "$bin/capstation.exe" >/dev/null 2>&1 </dev/null &
ST_STATION_PID=$!
shot '^Impostazioni sensore Vestra$' firstrun.png
xdotool key Escape
sleep 0.5
for i in $(seq 1 50); do
    id=$(xdotool search --onlyvisible --class 'capstation.exe' 2>/dev/null | tail -n 1 || true)
    [ -n "$id" ] && [ "$(xdotool getwindowname "$id" 2>/dev/null)" = "" ] && break
    sleep 0.1
done
sleep 0.7
import -window "$id" -depth 8 -define png:exclude-chunks=date,time "$out/notfound.png"
echo "screenshots: $out/notfound.png"
kill "$ST_STATION_PID" 2>/dev/null || true
ST_STATION_PID=""
