#!/usr/bin/env bash
# The soak: soak.sh BUILD [IMAGES [PAIRS [BURST]]]
# The real station runs with the soak driver (testdrv_soak.dll) inside it and
# the host monitor's two host windows beside it. The driver delivers IMAGES
# paced images, PAIRS copy-and-paste pairs and a burst of BURST images, and
# measures the station from inside (see tests/testdrivers/soak.cpp). This script
# compares what each host received with what the driver delivered, adds the
# bare clipboard's heap figure from clipcycle.exe, prints every figure,
# writes them to BUILD/reports/soak.txt (and soak-IMAGES.txt) and fails on any image lost,
# duplicated or reordered, a leaked block, a lock left on the current image,
# growth of 1 MiB or more over the paced images, or GDI or USER objects
# more at the end of the paced images than after the first 100.
set -uo pipefail
build=$(cd "$1" && pwd)
images=${2:-300}
pairs=${3:-100}
burst=${4:-100}
root=$(cd "$(dirname "$0")/../.." && pwd)
bin="$build/bin"
work="$build/soak"
reports="$build/reports"
rm -rf "$work"
mkdir -p "$work" "$reports"

. "$root/scripts/station-lib.sh"
st_wine_up "$build" || exit 1

st_guard_config "$work/saved"
st_configure "$bin" testdrv_soak.dll

hostlog="$work/hosts.log"
st_start_hostmon "$bin" "$hostlog" 2 --quiet || exit 1

export SOAK_IMAGES=$images SOAK_PAIRS=$pairs SOAK_BURST=$burst
export SOAK_REPORT; SOAK_REPORT=$("$WINE" winepath -w "$work/driver.txt")
export SOAK_EXPECT; SOAK_EXPECT=$("$WINE" winepath -w "$work/expected.txt")
# The driver closes the station when its plan is done. The deadline is only
# a guard against a hang (station-lib.sh sizes it): here a paced image takes
# tens of milliseconds, in an emulated guest up to sixty times that.
deadline=$((ST_GUARD_START + ST_GUARD_SOAK_ITEM * (images + pairs + burst)))
start=$(date +%s)
timeout "$deadline" "$WINE" "$bin/capstation.exe" >/dev/null 2>&1 </dev/null
station_exit=$?
seconds=$(($(date +%s) - start))
st_end_pids "$ST_HOSTMON_PID"
ST_HOSTMON_PID=""

# The bare clipboard calls of the same pairs, for the heap per pair: as the
# station makes them (one GetClipboardData a paste), with none, with three.
clipcycle() {  # clipcycle GETS PREFIX
    "$WINE" "$bin/clipcycle.exe" "$((pairs > 0 ? pairs : 1))" "${SOAK_WIDTH:-512}" "${SOAK_HEIGHT:-768}" "$1" \
        2>/dev/null </dev/null | tr -d '\r' | sed "s/^clip_/$2/"
}
clip=$(clipcycle 1 clip_; clipcycle 0 clip_noget_; clipcycle 3 clip_get3_)

python3 - "$work/driver.txt" "$work/expected.txt" "$hostlog" "$reports/soak.txt" \
    "$images" "$pairs" "$burst" "$station_exit" "$seconds" "$clip" <<'PY'
import difflib, re, sys
driver_txt, expected_txt, hostlog, out, images, pairs, burst, station_exit, seconds, clip = sys.argv[1:]
figures = {"images_requested": images, "pairs_requested": pairs, "burst_requested": burst,
           "station_exit": station_exit, "seconds": seconds}
try:
    figures.update(l.split("=", 1) for l in open(driver_txt).read().splitlines() if "=" in l)
except OSError:
    figures["driver_report"] = "missing"
figures.update(l.split("=", 1) for l in clip.splitlines() if "=" in l)
try:
    expected = [l.strip().upper() for l in open(expected_txt) if l.strip()]
except OSError:
    expected = []
figures["delivered"] = len(expected)
failures = []
for host, key in (("TLumitaneWnd", "front"), ("PELK_FOTO_SERVER", "photo")):
    got = [m.group(1).upper() for m in
           (re.search(r"^COPYDATA host=%s .*crc32=(0x[0-9A-Fa-f]+)" % host, l) for l in open(hostlog))
           if m]
    lost = dup = 0
    for crc in set(expected) | set(got):
        lost += max(0, expected.count(crc) - got.count(crc))
        dup += max(0, got.count(crc) - expected.count(crc))
    # Received in another order: those of the common images that the
    # longest in-order match leaves out.
    matched = sum(b.size for b in difflib.SequenceMatcher(None, expected, got, autojunk=False).get_matching_blocks())
    reordered = len(got) - dup - matched
    figures.update({key + "_received": len(got), key + "_lost": lost,
                    key + "_duplicated": dup, key + "_reordered": reordered})
    if lost or dup or reordered:
        failures.append("%s: %d lost, %d duplicated, %d reordered" % (host, lost, dup, reordered))

def num(key):
    try:
        return float(figures.get(key, "nan"))
    except ValueError:
        return float("nan")

# Private bytes as GetProcessMemoryInfo gives them; the committed private
# pages from VirtualQuery where that reads 0.
source = "private_usage" if num("after100_private_usage") > 0 else "private_commit"
figures["memory_source"] = source
for phase in ("paced_end", "pairs_end", "end"):
    figures["growth_" + phase] = int(num(phase + "_" + source) - num("after100_" + source))
    figures["heap_growth_" + phase] = int(num(phase + "_heap_busy") - num("after100_heap_busy"))
    for obj in ("gdi_objects", "user_objects"):
        figures[obj + "_growth_" + phase] = int(num(phase + "_" + obj) - num("after100_" + obj))
p = num("pairs")
figures["heap_per_pair"] = "%.1f" % ((num("pairs_end_heap_busy") - num("pairs_start_heap_busy")) / (p - 1) if p > 1 else 0)

expected_total = int(images) + int(pairs) + int(burst)
if figures.get("driver_report") == "missing":
    failures.append("the driver wrote no report")
if station_exit != "0":
    failures.append("station exit code %s" % station_exit)
if figures["delivered"] != expected_total or figures.get("stalled") != "0":
    failures.append("plan not completed: %s of %d delivered, stalled=%s" %
                    (figures["delivered"], expected_total, figures.get("stalled")))
if figures.get("paced_unpainted") != "0":
    failures.append("a paced image was never painted")
if figures.get("blocks_leaked") != "0":
    failures.append("blocks leaked: %s" % figures.get("blocks_leaked"))
if figures.get("lock_count_max") != "0":
    failures.append("lock count of the current image between messages: %s" % figures.get("lock_count_max"))
if not figures["growth_paced_end"] < 1 << 20:
    failures.append("paced growth %s bytes" % figures["growth_paced_end"])
for obj in ("gdi_objects", "user_objects"):
    if figures[obj + "_growth_paced_end"] != 0:
        failures.append("%s grew by %s over the paced images" % (obj, figures[obj + "_growth_paced_end"]))
figures["result"] = "FAILED" if failures else "passed"
for path in (out, out.replace("soak.txt", "soak-%s.txt" % images)):
    with open(path, "w") as f:
        for k, v in figures.items():
            f.write("%s=%s\n" % (k, v))
for k, v in figures.items():
    print("%s=%s" % (k, v))
for f in failures:
    print("FAILED:", f)
sys.exit(1 if failures else 0)
PY
