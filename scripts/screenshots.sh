#!/usr/bin/env bash
# `make screenshots`: the guides' pictures, taken from the real programs on
# the build's private Xvfb display.
#   screenshots.sh BUILD OUTDIR
# station.png     the station's whole window after F1 on the simulated sensor,
#                 maximised on a screen of 640 x 840 (a Wine virtual desktop)
# menu.png        the same with the menu "Acquisizione" open
# scroll.png      the station with an image larger than its window: both
#                 scroll bars
# hostmon.png     the host monitor after it received an image
# notice.png      an event notice ("USB board plugged on again")
# firstrun.png    the first-run dialog
# notfound.png    the box shown when the driver cannot be loaded (its caption
#                 is the path)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
bin="$build/bin"
work="$build/screenshots"
rm -rf "$work"
mkdir -p "$work"

# shellcheck source=station-lib.sh
. "$root/scripts/station-lib.sh"
st_wine_up "$build"

# Wine draws the caption buttons with the Marlett font; without it they show
# as the letters "0 1 2 r". This Wine does not load the copy in Debian's
# fonts-wine (/usr/share/wine/fonts), so the prefix gets its own.
fonts="$WINEPREFIX/drive_c/windows/Fonts"
if [ ! -f "$fonts/marlett.ttf" ]; then
    mkdir -p "$fonts"
    cp /usr/share/wine/fonts/marlett.ttf "$fonts/" ||
        { echo "screenshots: no Marlett font: install fonts-wine (scripts/install-deps.sh)" >&2; exit 1; }
fi

st_guard_config "$work/saved"
export XRAYSIM_EXPOSURE_MS=100

# find_window TITLE-REGEX: the X id of the last visible window whose title
# matches, waited for (ST_GUARD_START).
find_window() {
    st_wait_for "$ST_GUARD_START" window_there "$1" || { echo "screenshots: no window /$1/" >&2; return 1; }
    window_there "$1"
}
window_there() {
    xdotool search --onlyvisible --name "$1" 2>/dev/null | tail -n 1 | grep .
}
window_gone() {
    ! xdotool search --onlyvisible --name "$1" >/dev/null 2>&1
}

# shot TITLE-REGEX FILE: saves that window (its frame included) once it has
# had time to paint (a pause for the picture's sake; nothing is judged).
shot() {
    local id
    id=$(find_window "$1")
    sleep 0.7
    import -window "$id" -depth 8 -define png:exclude-chunks=date,time "$out/$2"
    echo "screenshots: $out/$2"
}

# The host monitor after the station sent it an image.
st_configure "$bin"
hostlog="$work/hosts.log"
st_start_hostmon "$bin" "$hostlog" 1 --front
st_start_station "$bin"
st_key F1
st_wait_lines "$hostlog" '^COPYDATA ' 1
st_key alt+F4
st_wait_exit "$ST_STATION_PID"
ST_STATION_PID=""
shot 'TLumitaneWnd' hostmon.png
st_end_pids "$ST_HOSTMON_PID"
ST_HOSTMON_PID=""

# The station's whole window: maximised, as it always opens, on a screen just
# larger than the simulator's 512 x 768 image, so the picture is the window
# and not a large black screen. The virtual desktop is a screen of its own:
# the station finds no host there and sends nothing.
export XRAYSIM_LOG="$work/xraysim.log"
"$WINE" explorer.exe /desktop=screenshots,640x840 "$("$WINE" winepath -w "$bin/capstation.exe")" \
    >/dev/null 2>&1 </dev/null &
ST_STATION_PID=$!
st_wait_station_window
st_key F1
st_wait_lines "$XRAYSIM_LOG" '^IMAGE ' 1
shot '^screenshots - Wine desktop$' station.png
st_key alt+a
shot '^screenshots - Wine desktop$' menu.png
xdotool key Escape Escape
sleep 0.3
st_key alt+F4
st_wait_exit "$ST_STATION_PID"
ST_STATION_PID=""

# An image twice the size of the screen each way, on the same screen.
export XRAYSIM_LOG="$work/xraysim-large.log" XRAYSIM_WIDTH=1024 XRAYSIM_HEIGHT=1536
"$WINE" explorer.exe /desktop=screenshots,640x840 "$("$WINE" winepath -w "$bin/capstation.exe")" \
    >/dev/null 2>&1 </dev/null &
ST_STATION_PID=$!
st_wait_station_window
st_key F1
st_wait_lines "$XRAYSIM_LOG" '^IMAGE ' 1 20
shot '^screenshots - Wine desktop$' scroll.png
st_key alt+F4
st_wait_exit "$ST_STATION_PID" 20
ST_STATION_PID=""
unset XRAYSIM_LOG XRAYSIM_WIDTH XRAYSIM_HEIGHT

# An event notice after the image.
XRAYSIM_EVENTS=12 st_start_station "$bin"
st_key F1
shot '^Error or incoming event signalisation$' notice.png
xdotool key Return
st_wait_for "$ST_GUARD_EVENT" window_gone '^Error or incoming event signalisation$'
st_key alt+F4
st_wait_exit "$ST_STATION_PID"
ST_STATION_PID=""

# First run: no "xray.ini", so the station asks for the driver.
ini="$WINEPREFIX/drive_c/windows/xray.ini"
rm -f "$ini"
"$WINE" "$bin/capstation.exe" >/dev/null 2>&1 </dev/null &
ST_STATION_PID=$!
shot '^Impostazioni sensore Vestra$' firstrun.png

# A path where no driver is, typed into the dialog (Tab, Tab: the edit box):
# the station stores it, cannot load it, and says so with the path as the
# box's caption.
dialog=$(find_window '^Impostazioni sensore Vestra$')
xdotool windowfocus --sync "$dialog" 2>/dev/null || xdotool windowfocus "$dialog"
sleep 0.2
xdotool key Tab Tab
xdotool type --delay 30 'C:\Sensore\xray.dll'
xdotool key Return
shot '^C:\\Sensore\\xray\.dll$' notfound.png
st_end_pids "$ST_STATION_PID"
ST_STATION_PID=""
