# Shell functions shared by `make run` and the end-to-end tests: the
# station's configuration in a build tree's Wine prefix, the host monitor,
# the station itself, and keys pressed with xdotool on the private display.
# Source it, then bring a build tree's Wine up with st_wine_up.

# Every wait below is a guard against a hang, never a measure: it reads the
# wall clock (an xdotool or Wine call inside a loop can itself take seconds
# on a loaded machine, so loop turns are never counted) and sits far above
# the slowest healthy run, the i686 programs in an emulated guest with the
# host's cores busy, where a Wine process takes seconds to start and a step
# runs 10 to 60 times slower than here. Seconds each; the one place to
# change them.
ST_GUARD_START=${ST_GUARD_START:-240}  # a program started until its window or its READY lines
ST_GUARD_EVENT=${ST_GUARD_EVENT:-180}  # a key pressed until what it does shows (an image, a send)
ST_GUARD_EXIT=${ST_GUARD_EXIT:-180}    # a program told to close until it has ended
ST_GUARD_SETUP=${ST_GUARD_SETUP:-900}  # a setup or an uninstaller until its work is done
ST_GUARD_SOAK_ITEM=${ST_GUARD_SOAK_ITEM:-4}  # the soak: per image or pair, on top of ST_GUARD_START
ST_END_GRACE=${ST_END_GRACE:-10}       # a program sent SIGTERM, before SIGKILL
ST_GUARD_END=${ST_GUARD_END:-60}       # a program sent SIGKILL until it is gone

# The host windows' classes, as the station looks for them.
ST_HOST_CLASSES='TLumitaneWnd|PELK_FOTO_SERVER'

ST_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# st_wine_up TREE: the tree's Wine prefix, server and private display up
# (wine-env.sh start), and this shell given their environment (WINE,
# WINEPREFIX, DISPLAY and the rest). Fails when the start fails.
st_wine_up() {
    bash "$ST_ROOT/scripts/wine-env.sh" "$1" start || return 1
    eval "$(bash "$ST_ROOT/scripts/wine-env.sh" "$1" env)"
}

# st_wait_for SECONDS COMMAND...: runs COMMAND until it succeeds; fails when
# SECONDS of wall time have passed without it. A wait that took a tenth of
# its guard or more says so on stderr ("time: …"), so that a run under load
# shows which guards come near their waits.
st_wait_for() {
    local seconds=$1 start=$SECONDS status=1
    shift
    while :; do
        "$@" && { status=0; break; }
        [ $((SECONDS - start)) -ge "$seconds" ] && break
        sleep 0.1
    done
    if [ $(((SECONDS - start) * 10)) -ge "$seconds" ]; then
        echo "time: wait for $*: $((SECONDS - start)) s of the $seconds s guard" >&2
    fi
    return $status
}

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
# windows are ready. Fails at once if a host window is already open.
st_start_hostmon() {
    local bin=$1 log=$2 windows=$3 err try
    shift 3
    rm -f "$log"
    st_check_no_hosts || return 1
    for try in 1 2; do
        err=$(st_stderr_file hostmon.exe)
        "$WINE" "$bin/hostmon.exe" --log "$("$WINE" winepath -w "$log")" "$@" >/dev/null 2>"$err" </dev/null &
        ST_HOSTMON_PID=$!
        st_came_up hostmon.exe "$ST_HOSTMON_PID" "$err" "its $windows READY lines in $log" \
            st_has_lines "$log" '^READY ' "$windows" && return 0
        [ "$try" = 1 ] && [ "$ST_SILENT_END" = yes ] && [ ! -s "$log" ] || return 1
        echo "hostmon.exe: nothing of it ran, so it is started once more" >&2
    done
}

# st_start_station BIN: starts capstation.exe (pid in ST_STATION_PID) and
# waits for its visible main window (X id in ST_WINDOW).
st_start_station() {
    local bin=$1 err try
    for try in 1 2; do
        err=$(st_stderr_file capstation.exe)
        "$WINE" "$bin/capstation.exe" >/dev/null 2>"$err" </dev/null &
        ST_STATION_PID=$!
        st_came_up capstation.exe "$ST_STATION_PID" "$err" "its window" st_find_station_window && return 0
        echo "station: no window appeared" >&2
        [ "$try" = 1 ] && [ "$ST_SILENT_END" = yes ] || return 1
        echo "capstation.exe: nothing of it ran, so it is started once more" >&2
    done
}

# st_came_up NAME PID STDERR WHAT COMMAND...: waits until COMMAND succeeds
# (WHAT shows) while the program NAME, started in the background as PID,
# runs; at most ST_GUARD_START seconds. When the guard runs out or the
# program ends first, says so and why (st_explain_start) and fails, with
# ST_SILENT_END set to yes if it ended having written nothing to stderr.
# Wine, rarely and on a busy machine, ends a program so before its first
# line: nothing of it ran, and its caller starts it once more. A program
# that still runs, or that said something, keeps its failure.
st_came_up() {
    local name=$1 pid=$2 err=$3 what=$4 start=$SECONDS
    shift 4
    ST_SILENT_END=no
    st_wait_for "$ST_GUARD_START" st_up_or_ended "$pid" "$@"
    "$@" && return 0
    if kill -0 "$pid" 2>/dev/null; then
        echo "$name: $what did not show in $((SECONDS - start)) s" >&2
    else
        echo "$name: it ended before $what showed" >&2
    fi
    st_explain_start "$name" "$pid" "$err"
    return 1
}
st_up_or_ended() {
    local pid=$1
    shift
    "$@" || ! kill -0 "$pid" 2>/dev/null
}

# st_stderr_file NAME: where a program started in the background writes its
# stderr, beside the prefix's display and server state (emptied).
st_stderr_file() {
    local file="${WINEPREFIX%/*}/wine-state/$1.stderr"
    : >"$file" 2>/dev/null || file=/dev/null
    echo "$file"
}

# st_wine_status: whether this prefix's Wine server and its private display
# (wine-env.sh keeps the Xvfb's pid beside the prefix) are up, a line each.
st_wine_status() {
    local server="" pid display=${DISPLAY#:} xvfb
    for pid in $(pgrep -x wineserver; pgrep -x wineserver64; pgrep -x wineserver32); do
        { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && server=$pid
    done
    if [ -n "$server" ]; then
        echo "the Wine server of $WINEPREFIX was running (pid $server)"
    else
        echo "no Wine server of $WINEPREFIX was running"
    fi
    xvfb=$(cat "${WINEPREFIX%/*}/wine-state/xvfb.pid" 2>/dev/null)
    if [ -S "/tmp/.X11-unix/X$display" ] && [ -n "$xvfb" ] && kill -0 "$xvfb" 2>/dev/null; then
        echo "the display :$display was up (Xvfb pid $xvfb)"
    else
        echo "the display :$display was down"
    fi
}

# st_explain_start NAME PID STDERR: why a program started in the background
# never showed what it was waited for. Still running: its threads' states
# and its windows; ended: its exit code. Then the Wine server, the display
# and the last lines of its stderr. Called in the shell that started it,
# the only one that can read its exit code.
st_explain_start() {
    local name=$1 pid=$2 err=$3 t threads="" windows="" w rc
    if kill -0 "$pid" 2>/dev/null; then
        for t in /proc/"$pid"/task/*; do
            threads="$threads ${t##*/}:$(sed 's/.*) //; s/ .*//' "$t/stat" 2>/dev/null)/$(cat "$t/wchan" 2>/dev/null)"
        done
        for w in $(xdotool search --pid "$pid" 2>/dev/null); do
            windows="$windows \"$(xdotool getwindowname "$w" 2>/dev/null)\""
        done
        echo "$name: pid $pid is still running; its threads (id:state/wait):$threads; its windows:${windows:- none}"
    else
        wait "$pid"
        rc=$?
        echo "$name: pid $pid ended with exit code $rc"
        [ -s "$err" ] || ST_SILENT_END=yes
    fi
    { st_wine_status; st_stderr_tail "$err" it; } | sed "s/^/$name: /; s/^$name:   /  /"
} >&2

# st_stderr_tail FILE WHO: the last lines WHO wrote to stderr (FILE), or
# that it wrote nothing.
st_stderr_tail() {
    if [ -s "$1" ]; then
        echo "the last lines $2 wrote to stderr:"
        tail -n 20 "$1" | sed 's/^/  /'
    else
        echo "$2 wrote nothing to stderr"
    fi
}

# st_wait_station_window: waits for a station's visible main window, however
# it was started (X id in ST_WINDOW).
st_wait_station_window() {
    ST_WINDOW=""
    st_wait_for "$ST_GUARD_START" st_find_station_window && return 0
    echo "station: no window appeared" >&2
    return 1
}
st_find_station_window() {
    ST_WINDOW=$(xdotool search --onlyvisible --name '^(CATTURA DA SENSORE|XRAY CAPTURE)' 2>/dev/null | head -n 1 || true)
    [ -n "$ST_WINDOW" ]
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

# st_wait_lines FILE REGEX COUNT [SECONDS]: waits until FILE has COUNT lines
# matching REGEX; fails after SECONDS (ST_GUARD_EVENT).
st_wait_lines() {
    local file=$1 regex=$2 count=$3 seconds=${4:-$ST_GUARD_EVENT}
    st_wait_for "$seconds" st_has_lines "$file" "$regex" "$count" && return 0
    echo "timed out waiting for $count lines /$regex/ in $file" >&2
    [ -f "$file" ] && cat "$file" >&2
    return 1
}
st_has_lines() {
    [ -f "$1" ] && [ "$(grep -cE "$2" "$1")" -ge "$3" ]
}

# st_wait_exit PID [SECONDS]: waits for a background process of this shell
# and sets ST_EXIT to its exit code ("timeout" after SECONDS, ST_GUARD_EXIT).
# Call it in the shell that started the process, never inside $(...): a
# subshell cannot collect the status of a process that ended before it was
# forked.
st_wait_exit() {
    local pid=$1 seconds=${2:-$ST_GUARD_EXIT}
    ST_EXIT=timeout
    st_wait_for "$seconds" st_pid_gone "$pid" || return 1
    wait "$pid"
    ST_EXIT=$?
    return 0
}
st_pid_gone() {
    ! kill -0 "$1" 2>/dev/null
}

# st_program_pids NAME: the Wine processes of this prefix (WINEPREFIX in
# their environment) whose command line names the program NAME, however
# they were started ("$WINE" NAME, `wine start` of a shortcut, a setup).
# Wine puts the Windows path of the program first in the command line; a
# process still in the loader has the loader first and the program next.
st_program_pids() {
    local name=${1,,} dir arg0 arg1 base
    for dir in /proc/[0-9]*; do
        arg0="" arg1=""
        { IFS= read -r -d "" arg0; IFS= read -r -d "" arg1; } 2>/dev/null <"$dir/cmdline" || true
        base=${arg0##*[/\\]}
        case "${base,,}" in
        wine | wine64 | wine-preloader | wine64-preloader) base=${arg1##*[/\\]} ;;
        esac
        [ -n "$base" ] && [ "${base,,}" = "$name" ] || continue
        grep -qzxF "WINEPREFIX=$WINEPREFIX" "$dir/environ" 2>/dev/null && echo "${dir#/proc/}"
    done
    return 0
}
st_program_gone() {
    [ -z "$(st_program_pids "$1")" ]
}

# st_end_program NAME...: ends every Wine process of this prefix running one
# of the programs NAME (hostmon.exe, capstation.exe), ours or not, and waits
# until they are gone: SIGTERM, then SIGKILL after ST_END_GRACE seconds.
# A killed program's X windows outlive its process for a moment (the X
# server destroys them when it sees the connection close): they are waited
# for too. Says which it ended; fails if one is still there after the guard.
st_end_program() {
    local name pids pid status=0
    for name in "$@"; do
        pids=$(st_program_pids "$name")
        [ -n "$pids" ] || continue
        echo "ending $name left running: pid" $pids >&2
        # shellcheck disable=SC2086
        kill -TERM $pids 2>/dev/null || true
        if ! st_wait_for "$ST_END_GRACE" st_program_gone "$name"; then
            # shellcheck disable=SC2046
            kill -KILL $(st_program_pids "$name") 2>/dev/null || true
            if ! st_wait_for "$ST_GUARD_END" st_program_gone "$name"; then
                echo "$name still running after SIGKILL: pid" $(st_program_pids "$name") >&2
                status=1
            fi
        fi
        for pid in $pids; do
            wait "$pid" 2>/dev/null || true
        done
        # shellcheck disable=SC2086
        if ! st_wait_for "$ST_GUARD_END" st_windows_gone $pids; then
            echo "$name's windows still there after it ended: pid" $pids >&2
            status=1
        fi
    done
    return "$status"
}
# st_end_pids PID...: ends programs this shell started in the background
# (SIGTERM, then SIGKILL after ST_END_GRACE seconds) and waits until they
# and their X windows are gone.
st_end_pids() {
    local pid
    [ $# -gt 0 ] || return 0
    kill "$@" 2>/dev/null
    for pid in "$@"; do
        st_wait_for "$ST_END_GRACE" st_pid_gone "$pid" || kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    st_wait_for "$ST_GUARD_END" st_windows_gone "$@"
}
# st_windows_gone PID...: no X window of the private display belongs to them.
st_windows_gone() {
    local pid
    for pid in "$@"; do
        [ -z "$(xdotool search --pid "$pid" 2>/dev/null)" ] || return 1
    done
}

# st_check_no_hosts: fails, saying so, when a window of the front end or of
# the photo server is already open: a test's own host stand-ins would share
# the station's images with it, or the station would serve it instead. Wine
# names every X window's class after its program, so the host windows are
# found by title (the host monitor's titles start with the class) and the
# host monitor by its processes.
st_check_no_hosts() {
    local found="" w pids name
    for w in $(xdotool search --name "$ST_HOST_CLASSES" 2>/dev/null); do
        # One destroyed since the search (a program just ended) is not open.
        name=$(xdotool getwindowname "$w" 2>/dev/null) || continue
        found="$found \"$name\" (pid $(xdotool getwindowpid "$w" 2>/dev/null || echo '?'))"
    done
    pids=$(st_program_pids hostmon.exe)
    [ -n "$pids" ] && found="$found hostmon.exe running (pid $(echo $pids))"
    [ -z "$found" ] && return 0
    echo "a host window is already open before this test:$found, left by another program" >&2
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

# st_on_exit COMMAND: runs COMMAND when the script exits, however it
# ends: a failure, a guard's expiry, Ctrl+C or SIGTERM.
st_on_exit() {
    trap "$1" EXIT
    trap 'exit 129' HUP
    trap 'exit 130' INT
    trap 'exit 143' TERM
}

# st_guard_config FOLDER: saves the station's configuration into FOLDER and,
# when the script exits, ends the station and the host monitor (those it
# started and any other of this prefix) and puts the configuration back.
st_guard_config() {
    ST_SAVED=$1
    st_save_config "$ST_SAVED"
    st_on_exit st_end_and_restore
}
st_end_and_restore() {
    # shellcheck disable=SC2086
    st_end_pids ${ST_STATION_PID:-} ${ST_HOSTMON_PID:-}
    st_end_program capstation.exe hostmon.exe
    st_restore_config "$ST_SAVED"
}
