#!/usr/bin/env bash
# The installer for real, in the build's Wine prefix on its private display:
#   installer_e2e.sh BUILD SETUP VERSION PUBLISHER
# An older version is installed first, then SETUP over it, silently, with
# /DRIVER= naming the installed simulated driver. Files, shortcuts, the
# uninstall entry, the registry key and "xray.ini" are checked; the station
# and the host monitor are started from their Start-menu shortcuts, F1 gives
# an image that reaches both hosts; a second install while the station runs
# is refused when silent and asks to close it when not; the silent
# uninstall removes the programs and the entry and
# leaves "xray.ini" and the key.
set -uo pipefail
build=$(cd "$1" && pwd)
setup=$2 version=$3 publisher=$4
root=$(cd "$(dirname "$0")/../.." && pwd)
work="$build/installer-e2e"
rm -rf "$work"
mkdir -p "$work"

. "$root/scripts/station-lib.sh"
st_wine_up "$build" || exit 1
# No menu entries for the Linux desktop from the shortcuts the setup makes.
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winemenubuilder.exe=d"


# The older version went to a folder of the clinic's choosing; the upgrade
# must find it there.
dir='C:\Program Files\Sensor capture'
udir="$WINEPREFIX/drive_c/Program Files/Sensor capture"
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Capture station"
entry='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\CaptureStation'
ini="$WINEPREFIX/drive_c/windows/xray.ini"

# run_cmd LINE: one command line run by cmd.exe from a batch file, exactly as
# typed at a prompt (the setup's own /D= and quotes need that); prints the
# exit code.
run_cmd() {
    printf '@%s\r\n@exit /b %%ERRORLEVEL%%\r\n' "$1" >"$work/run.cmd"
    # A guard against a setup that hangs (124); the cleanup ends what it left.
    # Its time goes to the log, where the guard is sized from.
    local rc began=$SECONDS
    timeout "$ST_GUARD_SETUP" "$WINE" cmd /c "$("$WINE" winepath -w "$work/run.cmd")" >/dev/null 2>&1 </dev/null
    rc=$?
    echo "time: $1: $((SECONDS - began)) s of the ${ST_GUARD_SETUP} s guard" >&2
    echo "$rc"
}
entry_value() { "$WINE" reg query "$entry" /v "$1" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$1 *REG_[A-Z_]* *//p"; }
remove_install() {
    rm -rf "$udir" "$menu"
    "$WINE" reg delete "$entry" /f >/dev/null 2>&1 </dev/null
}

# close_windows REGEX: Alt+F4 on every visible window whose title matches
# (the programs started from shortcuts have no pid of ours). The pause only
# spaces the key presses; whoever needs the programs gone waits for that.
close_windows() {
    local w
    for w in $(xdotool search --onlyvisible --name "$1" 2>/dev/null); do
        xdotool windowfocus --sync "$w" 2>/dev/null
        xdotool key alt+F4
        sleep 0.3
    done
}

# On every way out: whatever this test started, from a shortcut or not, is
# ended by its program's name (the setups, the uninstaller's copy of itself
# in %TEMP%, the station, the host monitor), then the install is removed.
cleanup() {
    st_end_program "$(basename "$setup")" old-setup.exe uninstall.exe Au_.exe Un_A.exe capstation.exe hostmon.exe
    remove_install
    st_restore_config "$work/saved"
}
st_check_no_hosts || exit 1
st_save_config "$work/saved"
st_on_exit cleanup
remove_install
rm -f "$ini"
"$WINE" reg delete 'HKCR\VESTRA\ZRK' /f >/dev/null 2>&1 </dev/null
export XRAYSIM_EXPOSURE_MS=100

# An older version of the same files, then this one over it.
makensis -V1 -INPUTCHARSET UTF8 "-XTarget $(cat "$build/dist-stage/nsis-target")" "-DVERSION=0.9.0" "-DPUBLISHER=$publisher" "-DSTAGE=$build/dist-stage" \
    "-DOUTFILE=$work/old-setup.exe" "$root/installer/capstation.nsi" || exit 1
check "older version installs" 0 "$(run_cmd "$("$WINE" winepath -w "$work/old-setup.exe") /S /D=$dir")"
check "older version in the entry" 0.9.0 "$(entry_value DisplayVersion)"
check "silent install over it" 0 \
    "$(run_cmd "$("$WINE" winepath -w "$setup") /S /DRIVER=\"$dir\\xraysim.dll\"")"

stage=$(ls -d "$build/dist-stage"/capstation-*/)
check "installed files are the package's and the uninstaller" \
    "$( (cd "$stage" && find . -type f; echo ./uninstall.exe) | sort | tr '\n' ' ')" \
    "$( (cd "$udir" && find . -type f) | sort | tr '\n' ' ')"
check "installed station is the package's" "$(md5sum <"$stage/capstation.exe")" "$(md5sum <"$udir/capstation.exe")"
check "shortcuts" "Capture station.lnk Host monitor.lnk " "$(ls "$menu" | tr '\n' ' ')"
check "entry: name" "Capture station" "$(entry_value DisplayName)"
check "entry: upgraded version" "$version" "$(entry_value DisplayVersion)"
check "entry: publisher" "$publisher" "$(entry_value Publisher)"
check "entry: location, the older one's" "$dir" "$(entry_value InstallLocation)"
size=$(( $(entry_value EstimatedSize) ))
check "entry: estimated size in KB" yes "$([ "$size" -ge $(($(du -sk "$udir" | cut -f1) / 2)) ] && echo yes || echo "no ($size)")"
key=$("$WINE" reg query 'HKCR\VESTRA\ZRK' 2>/dev/null </dev/null; echo "rc=$?")
check "sensor key made, empty" "rc=0 values=0" "$(tail -n 1 <<<"$key") values=$(grep -c REG_ <<<"$key")"
check "xray.ini as the first-run dialog writes it" "$(printf '[Dll]\r\nFile=%s\\xraysim.dll\r\n' "$dir" | od -c)" "$(od -c <"$ini")"

# Both programs from their shortcuts; the monitor logs to %TEMP%.
temp=$("$WINE" winepath -u "$("$WINE" cmd /c echo %TEMP% 2>/dev/null </dev/null | tr -d '\r')")
hostlog="$temp/hostmon.log"
rm -f "$hostlog"
"$WINE" start "$("$WINE" winepath -w "$menu/Host monitor.lnk")" >/dev/null 2>&1 </dev/null
st_wait_lines "$hostlog" '^READY ' 2 "$ST_GUARD_START" || exit 1
"$WINE" start "$("$WINE" winepath -w "$menu/Capture station.lnk")" >/dev/null 2>&1 </dev/null
st_wait_station_window || exit 1
check "title for the simulator's standalone mode" "CATTURA DA SENSORE - Standalone version" \
    "$(xdotool getwindowname "$ST_WINDOW" 2>/dev/null)"
st_key F1
st_wait_lines "$hostlog" '^COPYDATA host=PELK_FOTO_SERVER' 1 || exit 1

check "install refused while the station runs" 2 "$(run_cmd "$("$WINE" winepath -w "$setup") /S")"
check "station still running after the refusal" yes \
    "$(xdotool search --onlyvisible --name '^CATTURA DA SENSORE' >/dev/null 2>&1 && echo yes || echo no)"
# Interactive, the setup asks to close the station; Cancel ends it.
"$WINE" "$setup" >/dev/null 2>&1 </dev/null &
setup_pid=$!
find_setup_box() {
    box=$(xdotool search --onlyvisible --name "^Capture station $version Setup\$" 2>/dev/null | head -n 1)
    [ -n "$box" ]
}
asked=no
st_wait_for "$ST_GUARD_START" find_setup_box && asked=yes
check "interactive setup asks to close the station" yes "$asked"
[ -n "$box" ] && xdotool windowfocus --sync "$box" 2>/dev/null && xdotool key Escape
st_wait_exit "$setup_pid"
check "Cancel ends the setup with code 1" 1 "$ST_EXIT"

st_key alt+F4
st_wait_lines "$hostlog" '^DELETE_RESOURCE host=PELK_FOTO_SERVER' 1
close_windows '\(hostmon\)'
# Both gone: nothing more can reach the hosts, and the count says that
# nothing else did.
check "station ended after Alt+F4" yes "$(st_wait_for "$ST_GUARD_EXIT" st_program_gone capstation.exe && echo yes || echo no)"
check "host monitor ended after Alt+F4" yes "$(st_wait_for "$ST_GUARD_EXIT" st_program_gone hostmon.exe && echo yes || echo no)"
check "F1: one image at each host" "1 1" \
    "$(grep -c '^COPYDATA host=TLumitaneWnd .*width=512 height=768' "$hostlog") $(grep -c '^COPYDATA host=PELK_FOTO_SERVER .*width=512 height=768' "$hostlog")"

# Silent uninstall: the uninstaller copies itself away and returns at once,
# so its work is waited for (a guard against hanging, not a measure).
check "silent uninstall starts" 0 "$(run_cmd "\"$dir\\uninstall.exe\" /S")"
# The entry is the uninstaller's last step.
entry_gone() { ! "$WINE" reg query "$entry" >/dev/null 2>&1 </dev/null; }
st_wait_for "$ST_GUARD_SETUP" entry_gone
check "programs gone" no "$([ -e "$udir" ] && echo "yes: $(ls -R "$udir" | tr '\n' ' ')" || echo no)"
check "shortcuts gone" no "$([ -e "$menu" ] && echo yes || echo no)"
check "entry gone" 1 "$("$WINE" reg query "$entry" >/dev/null 2>&1 </dev/null; echo $?)"
check "xray.ini kept" "$(printf '[Dll]\r\nFile=%s\\xraysim.dll\r\n' "$dir" | od -c)" "$(od -c <"$ini")"
check "sensor key kept" 0 "$("$WINE" reg query 'HKCR\VESTRA\ZRK' >/dev/null 2>&1 </dev/null; echo $?)"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
