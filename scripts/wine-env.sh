#!/usr/bin/env bash
# The Wine side of a build tree: a throwaway prefix in BUILD/wineprefix and a
# private Xvfb display, never ~/.wine and never the user's display.
#   wine-env.sh BUILD start   prefix made once, Xvfb up, wineserver kept alive
#   wine-env.sh BUILD stop    wineserver and Xvfb ended; the prefix stays
#   wine-env.sh BUILD env     prints the variables to eval in a shell
set -euo pipefail

build=$(cd "${1:?build folder}" && pwd)
action=${2:-start}
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
# No crash debugger (it hangs for good without a desktop); no Mono or Gecko
# installer dialogs when the prefix is made.
export WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d"
export WINEARCH=win32
state="$build/wine-state"
mkdir -p "$state"

display_alive() {
    local n=$1
    [ -S "/tmp/.X11-unix/X$n" ] || return 1
    [ -f "$state/xvfb.pid" ] && kill -0 "$(cat "$state/xvfb.pid")" 2>/dev/null
}

start_xvfb() {
    if [ -f "$state/display" ] && display_alive "$(cat "$state/display")"; then
        return
    fi
    local n
    for n in $(seq 91 199); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        setsid Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >"$state/xvfb.log" 2>&1 </dev/null 9>&- &
        echo $! >"$state/xvfb.pid"
        local i
        for i in $(seq 1 100); do
            [ -S "/tmp/.X11-unix/X$n" ] && break
            sleep 0.05
        done
        if [ -S "/tmp/.X11-unix/X$n" ]; then
            echo "$n" >"$state/display"
            return
        fi
        kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true
    done
    echo "wine-env: no free X display" >&2
    exit 1
}

case "$action" in
start)
    exec 9>"$state/lock"
    flock 9
    start_xvfb
    export DISPLAY=":$(cat "$state/display")"
    if [ ! -f "$WINEPREFIX/system.reg" ] || [ ! -f "$state/prefix-ready" ]; then
        wineboot -i >"$state/wineboot.log" 2>&1 </dev/null 9>&-
        # Without a window manager Wine waits 2 s on every hide or destroy
        # of a visible window unless its windows are unmanaged.
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 </dev/null 9>&-
        wineserver -w 9>&-
        touch "$state/prefix-ready"
    fi
    wineserver -p 2>/dev/null 9>&- || true
    # The first process after the server starts launches Wine's background
    # services, which inherit its stdout and stderr: never a pipe of ours.
    wine cmd.exe /c exit >/dev/null 2>&1 </dev/null 9>&- || true
    ;;
stop)
    wineserver -k 2>/dev/null || true
    if [ -f "$state/xvfb.pid" ]; then
        kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true
        rm -f "$state/xvfb.pid" "$state/display"
    fi
    ;;
env)
    [ -f "$state/display" ] || { echo "wine-env: not started" >&2; exit 1; }
    echo "export WINEPREFIX='$WINEPREFIX' WINEDEBUG=-all WINEARCH=win32 WINEDLLOVERRIDES='$WINEDLLOVERRIDES' DISPLAY=':$(cat "$state/display")'"
    ;;
*)
    echo "usage: wine-env.sh BUILD start|stop|env" >&2
    exit 2
    ;;
esac
