#!/usr/bin/env bash
# start_test.sh: a host monitor or a station started in the background that
# never shows what it is waited for (its READY lines, its window) is
# explained: ended with its exit code, or still running with its threads
# and windows, beside the Wine server, the display and its last stderr
# lines. One that starts says nothing. A stand-in loader; no Wine, no X.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/station-lib.sh"
tmp=$(mktemp -d)
trap 'kill "$(cat "$tmp/tree/hang.pid" 2>/dev/null)" 2>/dev/null; rm -rf "$tmp"' EXIT
mkdir -p "$tmp/tree/wineprefix" "$tmp/tree/wine-state" "$tmp/bin"
export WINEPREFIX="$tmp/tree/wineprefix" DISPLAY=:4242 WINE="$tmp/loader"

# The stand-in runs the program's part given in $STANDIN: "exit" says a
# line on stderr and ends with 4, "hang" sleeps, "ready" logs two hosts.
cat >"$WINE" <<'STANDIN'
#!/bin/bash
[ "$1" = winepath ] && { echo "$3"; exit 0; }
case "$STANDIN" in
exit) echo "cannot find the program's library" >&2; exit 4 ;;
hang) echo $$ >"${WINEPREFIX%/*}/hang.pid"; exec sleep 600 ;;
ready) printf 'READY host=TLumitaneWnd\nREADY host=PELK_FOTO_SERVER\n' >>"$3"; exit 0 ;;
esac
STANDIN
chmod +x "$WINE"

# expect WHAT STATUS OUTPUT LINE...: the start's status and its output's lines.
expect() {
    local what=$1 status=$2 out=$3 line
    shift 3
    check "$what: status" "$status" "$start_status"
    for line in "$@"; do
        check "$what: [$line]" yes "$(grep -qE -- "$line" <<<"$out" && echo yes || echo "no, in: $out")"
    done
}
starts() {  # starts STANDIN GUARD COMMAND...: output in $out, status in $start_status
    out=$(STANDIN=$1 ST_GUARD_START=$2 "${@:3}" 2>&1)
    start_status=$?
}

starts exit 1 st_start_hostmon "$tmp/bin" "$tmp/hosts.log" 2
expect "host monitor that ends" 1 "$out" \
    '^hostmon\.exe: pid [0-9]+ ended with exit code 4$' \
    "^hostmon\.exe: no Wine server of $WINEPREFIX was running$" \
    '^hostmon\.exe: the display :4242 was down$' \
    '^hostmon\.exe: the last lines it wrote to stderr:$' \
    "^  cannot find the program's library$"

starts hang 1 st_start_station "$tmp/bin"
expect "station that hangs" 1 "$out" \
    '^station: no window appeared$' \
    '^capstation\.exe: pid [0-9]+ is still running; its threads \(id:state/wait\): [0-9]+:[SR]/.*; its windows: none$' \
    '^capstation\.exe: it wrote nothing to stderr$'

starts ready 600 st_start_hostmon "$tmp/bin" "$tmp/ready.log" 2
expect "host monitor that starts" 0 "$out"
check "host monitor that starts: nothing said" "" "$out"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
