#!/usr/bin/env bash
# `make bench`: the station against the floor under Wine in the build's
# prefix, on its private display.
#   run-bench.sh BUILD            full run: the table on the terminal,
#                                 out/bench.csv, out/bench.png, and the copies
#                                 the README shows (docs/bench.md, docs/img/bench.png)
#   run-bench.sh BUILD --smoke    one image of each kind, for `make test`:
#                                 output in BUILD/bench-smoke, no plot
#   run-bench.sh BUILD --only=S   one section of the full run (throughput,
#                                 latency, paint, simulator), output in BUILD
# "xray.ini" and the registry key are put back as they were.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?build folder}" && pwd)
mode=${2:-full}
bin="$build/bin"
if [ "$mode" != full ]; then
    out="$build/bench-$mode"
    out=${out/--/}
else
    out="$root/out"
fi
mkdir -p "$out"

# shellcheck source=../scripts/station-lib.sh
. "$root/scripts/station-lib.sh"
st_wine_up "$build"

# bench.exe makes its own host windows: none may be open already.
st_check_no_hosts
saved="$build/bench-saved"
st_save_config "$saved"
# On every way out, bench.exe and the programs it started are ended too.
cleanup() {
    st_end_program bench.exe capstation.exe floor.exe || true
    st_restore_config "$saved"
    # Under CTest the wine fixture owns the server and the display.
    [ "$mode" = --smoke ] || bash "$root/scripts/wine-env.sh" "$build" stop
}
st_on_exit cleanup

printf '[Dll]\r\nFile=%s\r\n' "$("$WINE" winepath -w "$bin/benchdrv.dll")" >"$WINEPREFIX/drive_c/windows/xray.ini"
"$WINE" reg add 'HKCR\VESTRA\ZRK' /f >/dev/null 2>&1 </dev/null

csv="$out/bench.csv"
rm -f "$csv" "$out/bench.txt"
args=("$("$WINE" winepath -w "$bin/capstation.exe")" "$("$WINE" winepath -w "$bin/floor.exe")"
      "$("$WINE" winepath -w "$bin/xraysim.dll")" "$("$WINE" winepath -w "$csv")")
[ "$mode" = full ] || args+=("$mode")
status=0
"$WINE" "$bin/bench.exe" "${args[@]}" </dev/null 2>&1 | tee "$out/bench.txt" || status=$?

if [ "$mode" = --smoke ]; then
    # It ran, it printed a latency row, and bench.exe found nothing lost.
    grep -q '^latency ' "$out/bench.txt" || { echo "bench smoke: no latency row" >&2; exit 1; }
    grep -q '^delivery ' "$out/bench.txt" || { echo "bench smoke: no delivery row" >&2; exit 1; }
    exit "$status"
fi
[ "$mode" = full ] || exit "$status"
[ "$status" = 0 ] || { echo "bench: bench.exe failed ($status)" >&2; exit "$status"; }

gnuplot -e "csv='$csv'; png='$out/bench.png'" "$root/bench/bench.gp"
mkdir -p "$root/docs/img"
cp "$out/bench.png" "$root/docs/img/bench.png"
{
    echo "# Benchmark: the station against the floor"
    echo
    echo "Written by \`make bench\` on $(date -u '+%Y-%m-%d %H:%M UTC') ($(nproc) cores, Wine $("$WINE" --version 2>/dev/null | sed 's/^wine-//'))."
    echo "Every figure is the median [min..max] of repeated runs; every ratio the median [min..max] over pairs"
    echo "of rounds run in opposite orders; the A/A rows put a second floor against the floor, the noise to read"
    echo "the ratios against. How the figures are made: [bench/README.md](../bench/README.md)."
    echo "The same figures as CSV: \`out/bench.csv\`."
    echo
    echo '![latency against image bytes](img/bench.png)'
    echo
    echo '```'
    grep -v '^bench: ' "$out/bench.txt"
    echo '```'
} >"$root/docs/bench.md"
echo "Table: out/bench.csv and docs/bench.md; plot: out/bench.png and docs/img/bench.png"
