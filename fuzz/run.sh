#!/usr/bin/env bash
# Builds the native fuzz targets if needed and runs one for a bounded time.
#
#   bash fuzz/run.sh BUILD TARGET [SECONDS]
#
# BUILD is the cross build folder (the native build goes to BUILD/fuzz-native),
# TARGET one of the targets in fuzz/CMakeLists.txt (diblayout, hosttag),
# SECONDS the run's bound (default 60). The run works on a copy of the seed
# corpus in fuzz/corpus/TARGET, so the committed seeds never grow; what it
# finds stays in BUILD/fuzz-native/artifacts/TARGET. It writes its figures to
# BUILD/reports/fuzz-TARGET-SECONDSs.txt (one file per bound, so the suite's
# short runs never hide a long one) and exits non-zero when libFuzzer stopped on a
# crash, a sanitizer report, a leak or a timeout.
#
#   bash fuzz/run.sh BUILD --build
#
# only builds the targets: make test does that on the host before the suite
# runs in the Debian guest, which has no compiler (and FUZZ_PREBUILT=1).
set -euo pipefail

build=${1:?usage: run.sh BUILD TARGET [SECONDS]}
target=${2:?usage: run.sh BUILD TARGET [SECONDS]}
seconds=${3:-60}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$build"
build=$(cd "$build" && pwd)
native="$build/fuzz-native"
seeds="$here/corpus/$target"
[ "$target" = --build ] || [ -d "$seeds" ] || { echo "run.sh: no seed corpus $seeds" >&2; exit 2; }

# Two runs started together (CTest -j) build once: the second waits here.
# FUZZ_PREBUILT=1 (the Debian guest, which has no compiler) runs the
# targets as the host's --build left them.
mkdir -p "$native"
[ "${FUZZ_PREBUILT:-}" = 1 ] && [ -x "$native/fuzz_diblayout" ] && [ -x "$native/fuzz_hosttag" ] ||
(
    flock 9
    if [ ! -f "$native/CMakeCache.txt" ]; then
        cmake -S "$here" -B "$native" -DCMAKE_CXX_COMPILER=clang++ \
              -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    fi
    cmake --build "$native" >/dev/null
) 9>"$native/.build.lock" || exit 1
[ "$target" = --build ] && exit 0

work="$native/work/$target"
artifacts="$native/artifacts/$target"
rm -rf "$work" "$artifacts"
mkdir -p "$work" "$artifacts" "$build/reports"
cp "$seeds"/* "$work/"
corpus=$(find "$seeds" -type f | wc -l)

# The tag target reads only the two doubles.
options=()
[ "$target" = hosttag ] && options+=(-max_len=16)

log="$native/$target.log"
start=$(date +%s)
status=0
"$native/fuzz_$target" -max_total_time="$seconds" -timeout=10 -use_value_profile=1 -print_final_stats=1 \
    "${options[@]}" -artifact_prefix="$artifacts/" "$work" >"$log" 2>&1 || status=$?
elapsed=$(( $(date +%s) - start ))

execs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -n 1)
if [ -z "$execs" ]; then
    # A run stopped by a crash prints no final stats, only the progress lines.
    execs=$(sed -n 's/^#\([0-9][0-9]*\).*/\1/p' "$log" | tail -n 1)
fi
crashes=$(find "$artifacts" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
                                      -o -name 'oom-*' \) | wc -l)
printf 'target=%s\nseconds=%s\nexecs=%s\ncrashes=%s\ncorpus=%s\n' \
    "$target" "$elapsed" "${execs:-0}" "$crashes" "$corpus" >"$build/reports/fuzz-$target-${seconds}s.txt"

rate=$(( ${execs:-0} / (elapsed > 0 ? elapsed : 1) ))
echo "fuzz $target: ${execs:-0} executions in ${elapsed} s (${rate}/s), $crashes crashes, $corpus seeds"
if [ "$status" != 0 ] || [ "$crashes" != 0 ]; then
    tail -n 40 "$log" >&2
    echo "fuzz $target: libFuzzer exited with $status; inputs kept in $artifacts" >&2
    exit 1
fi
