# Shell functions shared by `make run` and the end-to-end tests: the
# station's configuration in a build tree's Wine prefix, the host monitor,
# the station itself, and keys pressed with xdotool on the private display.
# Source after `wine-env.sh BUILD start` and `eval "$(wine-env.sh BUILD env)"`.

# st_configure BIN [DLL]: "xray.ini" names the simulated driver (or DLL) in
# BIN, and the registry key exists, as the sensor's installer would leave them.
st_configure() {
    local bin=$1 dll
    dll=$("$WINE" winepath -w "$bin/${2:-xraysim.dll}" 2>/dev/null)
    printf '[Dll]\r\nFile=%s\r\n' "$dll" >"$WINEPREFIX/drive_c/windows/xray.ini"
    "$WINE" reg add 'HKCR\VESTRA\ZRK' /f >/dev/null 2>&1 </dev/null
}

# st_save_config DIR / st_restore_config DIR: keep "xray.ini" and the
# registry key as they were before a test.
st_save_config() {
    local dir=$1
    mkdir -p "$dir"
    rm -f "$dir/xray.ini" "$dir/zrk.reg" "$dir/no-ini"
    if [ -f "$WINEPREFIX/drive_c/windows/xray.ini" ]; then
        cp "$WINEPREFIX/drive_c/windows/xray.ini" "$dir/xray.ini"
    else
        touch "$dir/no-ini"
    fi
    "$WINE" reg export 'HKCR\VESTRA\ZRK' "$("$WINE" winepath -w "$dir/zrk.reg")" /y >/dev/null 2>&1 </dev/null || rm -f "$dir/zrk.reg"
}
st_restore_config() {
    local dir=$1
    if [ -f "$dir/no-ini" ]; then
        rm -f "$WINEPREFIX/drive_c/windows/xray.ini"
    elif [ -f "$dir/xray.ini" ]; then
        cp "$dir/xray.ini" "$WINEPREFIX/drive_c/windows/xray.ini"
    fi
    "$WINE" reg delete 'HKCR\VESTRA\ZRK' /f >/dev/null 2>&1 </dev/null || true
    if [ -f "$dir/zrk.reg" ]; then
        "$WINE" reg import "$("$WINE" winepath -w "$dir/zrk.reg")" >/dev/null 2>&1 </dev/null || true
    fi
}

# st_start_hostmon BIN LOG WINDOWS [flags...]: starts the host monitor in
# the background (pid in ST_HOSTMON_PID) and waits until its WINDOWS host
# windows are ready.
st_start_hostmon() {
    local bin=$1 log=$2 windows=$3
    shift 3
    rm -f "$log"
    "$WINE" "$bin/hostmon.exe" --log "$("$WINE" winepath -w "$log")" "$@" >/dev/null 2>&1 </dev/null &
    ST_HOSTMON_PID=$!
    st_wait_lines "$log" '^READY ' "$windows" 20
}

# st_start_station BIN: starts capstation.exe (pid in ST_STATION_PID) and
# waits for its visible main window (X id in ST_WINDOW).
st_start_station() {
    local bin=$1
    "$WINE" "$bin/capstation.exe" >/dev/null 2>&1 </dev/null &
    ST_STATION_PID=$!
    st_wait_station_window
}

# st_wait_station_window: waits for a station's visible main window, however
# it was started (X id in ST_WINDOW).
st_wait_station_window() {
    ST_WINDOW=""
    local i
    # A guard only: a loaded machine can take many seconds to start Wine.
    for i in $(seq 1 600); do
        ST_WINDOW=$(xdotool search --onlyvisible --name '^(CATTURA DA SENSORE|XRAY CAPTURE)' 2>/dev/null | head -n 1 || true)
        [ -n "$ST_WINDOW" ] && return 0
        sleep 0.1
    done
    echo "station: no window appeared" >&2
    return 1
}

# st_key KEY...: gives the station the focus and presses the keys.
st_key() {
    xdotool windowfocus --sync "$ST_WINDOW" 2>/dev/null || xdotool windowfocus "$ST_WINDOW"
    sleep 0.2
    local k
    for k in "$@"; do
        xdotool key "$k"
        sleep 0.2
    done
}

# st_wait_lines FILE REGEX COUNT SECONDS: waits until FILE has COUNT lines
# matching REGEX; fails after SECONDS.
st_wait_lines() {
    local file=$1 regex=$2 count=$3 seconds=$4 i
    for i in $(seq 1 $((seconds * 10))); do
        if [ -f "$file" ] && [ "$(grep -cE "$regex" "$file")" -ge "$count" ]; then
            return 0
        fi
        sleep 0.1
    done
    echo "timed out waiting for $count lines /$regex/ in $file" >&2
    [ -f "$file" ] && cat "$file" >&2
    return 1
}

# st_wait_exit PID SECONDS: waits for a background process of this shell and
# sets ST_EXIT to its exit code ("timeout" after SECONDS). Call it in the
# shell that started the process, never inside $(...): a subshell cannot
# collect the status of a process that ended before it was forked.
st_wait_exit() {
    local pid=$1 seconds=$2 i
    ST_EXIT=timeout
    for i in $(seq 1 $((seconds * 10))); do
        if ! kill -0 "$pid" 2>/dev/null; then
            wait "$pid"
            ST_EXIT=$?
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# st_screenshot FILE: the whole private screen as an 8-bit-per-channel PNG.
st_screenshot() {
    import -window root -depth 8 "$1"
}

# check DESCRIPTION EXPECTED ACTUAL: prints "ok: ..." or "FAILED: ..." and
# counts the failures in `failures`.
failures=0
check() {  # check DESCRIPTION EXPECTED ACTUAL
    if [ "$2" = "$3" ]; then
        echo "ok: $1"
    else
        echo "FAILED: $1: expected [$2], got [$3]"
        failures=$((failures + 1))
    fi
}

# st_guard_config FOLDER: saves the station's configuration into FOLDER and,
# when the script exits, ends the station and the host monitor it started
# and puts the configuration back.
st_guard_config() {
    ST_SAVED=$1
    st_save_config "$ST_SAVED"
    trap st_end_and_restore EXIT
}
st_end_and_restore() {
    [ -n "${ST_STATION_PID:-}" ] && kill "$ST_STATION_PID" 2>/dev/null
    [ -n "${ST_HOSTMON_PID:-}" ] && kill "$ST_HOSTMON_PID" 2>/dev/null
    st_restore_config "$ST_SAVED"
}
