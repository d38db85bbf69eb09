#!/usr/bin/env bash
# The Wine side of a build tree: a throwaway prefix in BUILD/wineprefix and a
# private Xvfb display, never ~/.wine and never the user's display.
#   wine-env.sh BUILD start   prefix made once, Xvfb up, wineserver kept alive
#   wine-env.sh BUILD stop    wineserver and Xvfb ended; the prefix stays
#   wine-env.sh BUILD env     prints the variables to eval in a shell
#   wine-env.sh BUILD loader  prints the Wine loader of the build's flavour
#   wine-env.sh BUILD display the private X display alone, started if need be
# This is the one place that knows how to start Wine. Debian's /usr/bin/wine
# (and wineboot, wineserver, winepath, which go through it) picks the 32-bit
# loader whenever wine32 is installed, even on a kernel that cannot run it,
# so every script runs "$WINE" and "$WINESERVER" from `env` instead: the
# loader and server of the build tree's flavour, i686 (a win32 prefix) or
# x86_64 (a win64 prefix, the test flavour).
set -euo pipefail

build=$(cd "${1:?build folder}" && pwd)
action=${2:-start}

# The flavour is what CMake configured the tree for.
flavour=$(cat "$build/flavour" 2>/dev/null || true)
# WINE_LOADER_<FLAVOUR> and WINE_SERVER_<FLAVOUR> replace them (the test of
# the flavour choice uses stand-ins).
case "$flavour" in
x86_64)
    export WINEARCH=win64 WINE=${WINE_LOADER_X86_64:-/usr/lib/wine/wine64}
    export WINESERVER=${WINE_SERVER_X86_64:-/usr/lib/wine/wineserver64} ;;
i686 | "")
    flavour=i686
    export WINEARCH=win32 WINE=${WINE_LOADER_I686:-/usr/lib/wine/wine}
    export WINESERVER=${WINE_SERVER_I686:-/usr/lib/wine/wineserver32} ;;
*)
    echo "wine-env: unknown flavour '$flavour' in $build/flavour" >&2
    exit 2 ;;
esac
export WINELOADER="$WINE"
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
# No crash debugger (it hangs for good without a desktop); no Mono or Gecko
# installer dialogs when the prefix is made.
export WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d"
state="$build/wine-state"
mkdir -p "$state"
# The private display's screen, and so the one Wine's programs must see.
screen=1280x1024

display_alive() {
    [ -f "$state/xvfb.pid" ] && xvfb_owns "$1" "$(cat "$state/xvfb.pid")"
}

# xvfb_owns N PID: display N is the one this PID serves. Two trees that
# start at once may both try the same free number: the X server that loses
# exits, while the winner's socket appears all the same, so only the lock
# file's pid tells whose the display is.
xvfb_owns() {
    [ -S "/tmp/.X11-unix/X$1" ] && [ "$(tr -d ' \n' <"/tmp/.X$1-lock" 2>/dev/null)" = "$2" ] &&
        kill -0 "$2" 2>/dev/null
}

start_xvfb() {
    if [ -f "$state/display" ] && display_alive "$(cat "$state/display")"; then
        return
    fi
    local n pid start
    for n in $(seq 91 199); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        setsid Xvfb ":$n" -screen 0 "${screen}x24" -nolisten tcp >"$state/xvfb.log" 2>&1 </dev/null 9>&- &
        pid=$!
        # Until it serves the display or has given up on it; the guard is
        # only against an X server that neither starts nor exits.
        start=$SECONDS
        while kill -0 "$pid" 2>/dev/null && ! xvfb_owns "$n" "$pid" && [ $((SECONDS - start)) -lt 120 ]; do
            sleep 0.05
        done
        if xvfb_owns "$n" "$pid"; then
            echo "$pid" >"$state/xvfb.pid"
            echo "$n" >"$state/display"
            return
        fi
        kill "$pid" 2>/dev/null || true
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
    if [ ! -x "$WINE" ]; then
        echo "wine-env: $WINE is missing: the $flavour flavour needs it (scripts/install-deps.sh)" >&2
        exit 1
    fi
    if [ ! -f "$WINEPREFIX/system.reg" ] || [ ! -f "$state/prefix-ready" ]; then
        # The first process in a new prefix waits at most five minutes for
        # Wine to make it ("boot event wait timed out"), and then fails
        # while the making goes on. Where the CPU is emulated and busy the
        # making takes longer than that: it is waited for to its end, and
        # tried again.
        made=0
        : >"$state/wineboot.log"
        for try in 1 2 3; do
            if "$WINE" wineboot.exe -i >>"$state/wineboot.log" 2>&1 </dev/null 9>&-; then
                made=1
                break
            fi
            echo "wine-env: making the $WINEARCH prefix, try $try, did not end well; waiting for Wine to finish" >&2
            "$WINESERVER" -w 9>&-
        done
        if [ "$made" = 0 ]; then
            echo "wine-env: $WINE cannot make a $WINEARCH prefix here:" >&2
            tail -n 3 "$state/wineboot.log" >&2
            exit 1
        fi
        # Without a window manager Wine waits 2 s on every hide or destroy
        # of a visible window unless its windows are unmanaged.
        "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 </dev/null 9>&-
        "$WINESERVER" -w 9>&-
        touch "$state/prefix-ready"
    fi
    "$WINESERVER" -p 2>/dev/null 9>&- || true
    # The first process after the server starts launches Wine's background
    # services, which inherit its stdout and stderr: never a pipe of ours.
    "$WINE" cmd.exe /c exit >/dev/null 2>&1 </dev/null 9>&- || true
    # The desktop's process, started by the first program that makes a
    # window, inherits its stdout and stderr and stays until no program uses
    # the desktop: started by a test, it would hold the test's output pipe
    # open (and CTest would wait) until every program beside it had ended.
    # desktophold.exe makes it first and keeps it for the server's life.
    # Wine gives the desktop's process a few seconds to come up; where the
    # CPU is emulated and busy that is not enough, the program's first
    # window fails and it ends: it is started again (the desktop's process
    # goes on starting meanwhile), on a wall-clock guard. A desktop that
    # came up that way may show every later program a screen of another
    # size than the display's (1024x768 where it was seen), and windows
    # laid out for that screen fail tests by chance:
    # a fresh program is asked for the size, and on a wrong one Wine is
    # started again, a few times at most.
    hold="$build/bin/desktophold.exe"
    if [ -f "$hold" ] && ! { [ -f "$state/desktophold.pid" ] &&
                               kill -0 "$(cat "$state/desktophold.pid")" 2>/dev/null; }; then
        guard=${WINE_ENV_DESKTOP_GUARD_S:-600}
        start=$SECONDS tries=0 ready=0 restarts=0 seen=
        while [ "$ready" = 0 ] && [ $((SECONDS - start)) -lt "$guard" ]; do
            tries=$((tries + 1))
            rm -f "$state/desktophold.out"
            "$WINE" "$hold" </dev/null >"$state/desktophold.out" 2>&1 9>&- &
            echo $! >"$state/desktophold.pid"
            alive=1
            while [ $((SECONDS - start)) -lt "$guard" ]; do
                kill -0 "$(cat "$state/desktophold.pid")" 2>/dev/null || alive=0
                grep -q ready "$state/desktophold.out" 2>/dev/null && { ready=1; break; }
                [ "$alive" = 1 ] || break
                sleep 0.1
            done
            [ "$ready" = 1 ] || continue
            seen=$(timeout $((guard - (SECONDS - start) + 1)) "$WINE" "$hold" --screen </dev/null 2>/dev/null 9>&- |
                   tr -d '\r\n' || true)
            [ "$seen" = "$screen" ] && break
            ready=0
            restarts=$((restarts + 1))
            echo "wine-env: Wine's desktop came up showing its programs a ${seen:-sizeless} screen, not the display's $screen (start $tries of desktophold.exe, after $((SECONDS - start)) s)" >&2
            [ "$restarts" -le 3 ] || break
            echo "wine-env: Wine is started again" >&2
            "$WINESERVER" -k 2>/dev/null 9>&- || true
            "$WINESERVER" -w 2>/dev/null 9>&- || true
            "$WINESERVER" -p 2>/dev/null 9>&- || true
            "$WINE" cmd.exe /c exit >/dev/null 2>&1 </dev/null 9>&- || true
        done
        if [ "$ready" = 0 ]; then
            if [ "$restarts" -gt 3 ]; then
                echo "wine-env: Wine's desktop showed a ${seen:-sizeless} screen, not the display's $screen, $restarts times: the suite's windows would not fit it" >&2
            else
                echo "wine-env: Wine's desktop did not come up in $((SECONDS - start)) s ($tries starts of desktophold.exe; the last said: $(tr '\n' ' ' <"$state/desktophold.out" 2>/dev/null))" >&2
            fi
            exit 1
        fi
        [ "$tries" = 1 ] || echo "wine-env: Wine's desktop came up at start $tries of desktophold.exe, after $((SECONDS - start)) s" >&2
    fi
    ;;
stop)
    "$WINESERVER" -k 2>/dev/null || true
    rm -f "$state/desktophold.pid"
    if [ -f "$state/xvfb.pid" ]; then
        kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true
        rm -f "$state/xvfb.pid" "$state/display"
    fi
    ;;
env)
    [ -f "$state/display" ] || { echo "wine-env: not started" >&2; exit 1; }
    echo "export WINEPREFIX='$WINEPREFIX' WINEDEBUG=-all WINEARCH=$WINEARCH WINE='$WINE' WINESERVER='$WINESERVER' WINELOADER='$WINE' WINEDLLOVERRIDES='$WINEDLLOVERRIDES' DISPLAY=':$(cat "$state/display")'"
    ;;
loader)
    echo "$WINE"
    ;;
display)
    exec 9>"$state/lock"
    flock 9
    start_xvfb
    cat "$state/display"
    ;;
*)
    echo "usage: wine-env.sh BUILD start|stop|env|loader|display" >&2
    exit 2
    ;;
esac
