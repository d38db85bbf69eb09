#!/usr/bin/env python3
"""Writes docs/reliability.md from the results of the runs in a build tree:
    reliability-report.py BUILD [OUTPUT]
  BUILD/reports/suite-junit.xml  the suite (run-tests.sh --suite, ctest --output-junit)
  BUILD/reports/soak*.txt        the soaks (tests/soak/soak.sh)
  BUILD/reports/fuzz-*.txt       the fuzzers (make fuzz, or the suite's smoke)
Nothing in the page is typed by hand: a figure whose run is missing says
"not run"."""
import datetime
import glob
import os
import re
import sys
import xml.etree.ElementTree as ET

# What each test case feeds the station, by its GoogleTest suite and case
# name ("Suite.Case"); the first pattern that matches wins.
KINDS = [
    ("Hostile image handles (null, stale, not a live block)",
     r"NullImages|NotALive|LiveBlock|Garbage|Stale|HandleThat|Hostile"),
    ("Event storms and driver notices", r"Event|Notice(?!PhotoServer)|Storm"),
    ("Hung and slow hosts", r"^SlowHostTest\.|Hung|Slow|Delayed|Busy"),
    ("Corrupt and foreign DIBs through the clipboard", r"^ClipboardTest\.|Paste"),
    ("Corrupt and foreign DIBs through the driver",
     r"^(CheckDibLayout|PlanDibSourceRows|ImageBlocks|ViewPixels)\.|Corrupt|Invalid|Unsafe|Layout"),
    ("Fuzz smoke runs", r"^fuzz"),
    ("Soak through the real station", r"^soak\."),
    ("The rest of the station's behaviour", r""),
]
FIXTURES = r"^wine\.(setup|cleanup)$"


def read_pairs(path):
    figures = {}
    with open(path) as f:
        for line in f:
            if "=" in line:
                key, value = line.rstrip("\n").split("=", 1)
                figures[key] = value
    return figures


def suite_rows(junit):
    if not os.path.exists(junit):
        return None
    counts = {kind: [0, 0, 0] for kind, _ in KINDS}  # run, passed, failed
    for case in ET.parse(junit).getroot().iter("testcase"):
        name = case.get("name", "")
        if re.search(FIXTURES, name):
            continue
        kind = next(k for k, pattern in KINDS if re.search(pattern, name))
        failed = case.find("failure") is not None or case.get("status") == "fail"
        skipped = case.find("skipped") is not None or case.get("status") in ("notrun", "disabled")
        if skipped:
            continue
        counts[kind][0] += 1
        counts[kind][2 if failed else 1] += 1
    return counts


def mib(value):
    try:
        return "%.2f MiB" % (int(value) / 1048576.0)
    except (TypeError, ValueError):
        return "not measured"


def signed(value):
    try:
        return "%+d" % int(value)
    except (TypeError, ValueError):
        return "not measured"


def soak_section(reports):
    runs = []
    for path in sorted(glob.glob(os.path.join(reports, "soak-*.txt"))):
        runs.append(read_pairs(path))
    if not runs and os.path.exists(os.path.join(reports, "soak.txt")):
        runs.append(read_pairs(os.path.join(reports, "soak.txt")))
    if not runs:
        return ["Not run."]
    runs.sort(key=lambda r: int(r.get("images_requested", "0")))
    out = ["| | " + " | ".join("N=%s" % r.get("images_requested", "?") for r in runs) + " |",
           "|---|" + "---|" * len(runs)]

    def row(title, fn):
        out.append("| %s | %s |" % (title, " | ".join(fn(r) for r in runs)))

    row("Result", lambda r: r.get("result", "?"))
    row("Images paced / copy-and-paste pairs / burst",
        lambda r: "%s / %s / %s" % (r.get("images_paced"), r.get("pairs"), r.get("images_burst")))
    row("Image size", lambda r: "%s x %s, 8 bits" % (r.get("image_width"), r.get("image_height")))
    row("Images sent to each host (paced, one a pair, burst)", lambda r: r.get("delivered", "?"))
    for host, key in (("front end", "front"), ("photo server", "photo")):
        row("Received by the %s" % host, lambda r, k=key: r.get(k + "_received", "?"))
        row("Lost / duplicated / reordered at the %s" % host,
            lambda r, k=key: "%s / %s / %s" % (r.get(k + "_lost"), r.get(k + "_duplicated"),
                                                r.get(k + "_reordered")))
    row("Blocks handed over / freed by the station / leaked",
        lambda r: "%s / %s / %s" % (r.get("blocks_handed"), r.get("blocks_freed_by_station"),
                                    r.get("blocks_leaked")))
    row("Blocks the station allocated and still holds at the end (the clipboard's not counted)",
        lambda r: r.get("end_station_blocks", "?"))
    row("Highest lock count of the current image between messages", lambda r: r.get("lock_count_max", "?"))
    row("Private memory after 100 images",
        lambda r: mib(r.get("after100_" + r.get("memory_source", ""))))
    row("Growth over the paced images (bound: under 1 MiB)", lambda r: signed(r.get("growth_paced_end")) + " bytes")
    row("Growth after the pairs", lambda r: signed(r.get("growth_pairs_end")) + " bytes")
    row("Growth at the end (after the burst)", lambda r: signed(r.get("growth_end")) + " bytes")
    row("Private memory every 1000 paced images (MiB)",
        lambda r: ", ".join("%.2f" % (int(x.split("/")[0]) / 1048576.0)
                            for x in r.get("paced_private_commit_every_1000", "").split(",") if x) or "-")
    row("Process heap growth over the paced images", lambda r: signed(r.get("heap_growth_paced_end")) + " bytes")
    row("Busy bytes of all the process's heaps, growth over the paced images",
        lambda r: signed(int(r["paced_end_all_heaps_busy"]) - int(r["after100_all_heaps_busy"])) + " bytes"
        if "paced_end_all_heaps_busy" in r else "not measured")
    row("Process heap growth at the end", lambda r: signed(r.get("heap_growth_end")) + " bytes")
    row("GDI objects after 100 images / growth paced / at the end",
        lambda r: "%s / %s / %s" % (r.get("after100_gdi_objects"), signed(r.get("gdi_objects_growth_paced_end")),
                                    signed(r.get("gdi_objects_growth_end"))))
    row("USER objects after 100 images / growth paced / at the end",
        lambda r: "%s / %s / %s" % (r.get("after100_user_objects"), signed(r.get("user_objects_growth_paced_end")),
                                    signed(r.get("user_objects_growth_end"))))
    row("Heap per copy-and-paste pair: station / bare clipboard calls",
        lambda r: "%s / %s bytes" % (r.get("heap_per_pair"), r.get("clip_heap_per_cycle")))
    row("Bare clipboard calls, heap per cycle with 0 / 3 GetClipboardData",
        lambda r: "%s / %s bytes" % (r.get("clip_noget_heap_per_cycle"), r.get("clip_get3_heap_per_cycle")))
    row("Wall time of the run", lambda r: "%s s" % r.get("seconds"))
    last = runs[-1]
    station, bare = last.get("heap_per_pair"), last.get("clip_heap_per_cycle")
    noget, get3 = last.get("clip_noget_heap_per_cycle"), last.get("clip_get3_heap_per_cycle")
    if None in (station, bare, noget, get3):
        finding = "The heap per copy-and-paste pair was not measured."
    else:
        same = abs(float(station) - float(bare)) < 1.0
        follows = float(noget) == 0.0 and abs(float(get3) - 3 * float(bare)) < 1.0
        finding = (
            "Heap per copy-and-paste pair: the station's process heap grows by %s bytes a pair; a "
            "program making only the same clipboard calls (`tests/soak/clipcycle.cpp`) grows by %s "
            "bytes a cycle, by %s with no `GetClipboardData` and by %s with three. %s"
            % (station, bare, noget, get3,
               "The growth is the platform's clipboard bookkeeping, one fixed amount per "
               "`GetClipboardData` call, not a block of the station's."
               if same and follows else
               "The station's figure differs from the bare calls': part of the growth is the station's."))
    out += ["", finding]
    # The burst's blocks at their peak against what the end still shows,
    # for every run: the two need not be the same.
    try:
        kept, busy = [], []
        for r in runs:
            peak = int(r["images_burst"]) * (1064 + ((int(r["image_width"]) + 3) & ~3) * int(r["image_height"]))
            kept.append("%.1f MiB of the %.1f MiB that its %s images take at N=%s"
                        % (int(r["growth_end"]) / 1048576.0, peak / 1048576.0, r["images_burst"],
                           r["images_requested"]))
            busy.append("%s bytes at N=%s" % (signed(r["heap_growth_end"]), r["images_requested"]))
        out += ["", "The burst posts its images back to back, so up to all of its blocks wait in the "
                "station's queue at once. What the growth at the end shows is not that peak but how much "
                "of it is still committed once the blocks are freed: memory no longer in use that the "
                "allocator keeps rather than gives back to the system, more in one run than in another: "
                "%s. The station holds no block at the end (see the table), and the process heap's busy "
                "bytes, what is still allocated there, grew by %s."
                % ("; ".join(kept), ", ".join(busy))]
    except (KeyError, ValueError):
        pass
    out += [
        "",
        "Memory figures are %s. Private bytes come from `GetProcessMemoryInfo` "
        "(`PROCESS_MEMORY_COUNTERS_EX.PrivateUsage`, read %s after 100 images); where that "
        "reads 0 the committed `MEM_PRIVATE` pages found by walking the address space with "
        "`VirtualQuery` are used. GDI objects: %s; USER objects: %s. All are sampled from "
        "inside the station while it is held between two messages."
        % ("the committed private pages (`VirtualQuery`)" if last.get("memory_source") == "private_commit"
           else "`PrivateUsage` (`GetProcessMemoryInfo`)",
           last.get("after100_private_usage", "?"), last.get("gdi_method", "?"),
           last.get("user_method", "?")),
    ]
    return out


def fuzz_section(reports):
    paths = sorted(glob.glob(os.path.join(reports, "fuzz-*.txt")))
    if not paths:
        return ["Not run."]
    out = ["| Target | Seconds | Executions | Crashes | Corpus |", "|---|---|---|---|---|"]
    for path in paths:
        f = read_pairs(path)
        out.append("| %s | %s | %s | %s | %s |" % (f.get("target", os.path.basename(path)), f.get("seconds", "?"),
                                                  f.get("execs", "?"), f.get("crashes", "?"), f.get("corpus", "?")))
    return out


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    output = sys.argv[2] if len(sys.argv) > 2 else os.path.join(root, "docs", "reliability.md")
    reports = os.path.join(build, "reports")
    lines = [
        "# Reliability",
        "",
        "Generated by `make reliability-report` (`scripts/reliability-report.py`) from the "
        "results of the runs in the build tree on %s; do not edit by hand."
        % datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "",
        "## Inputs tried, by kind",
        "",
    ]
    counts = suite_rows(os.path.join(reports, "suite-junit.xml"))
    if counts is None:
        lines.append("Not run.")
    else:
        lines += ["Test cases of the suite (`ctest --output-junit`) by what they feed the station.", "",
                  "| Kind | Cases run | Passed | Failed |", "|---|---|---|---|"]
        total = [0, 0, 0]
        for kind, _ in KINDS:
            run, passed, failed = counts[kind]
            total = [total[0] + run, total[1] + passed, total[2] + failed]
            lines.append("| %s | %d | %d | %d |" % (kind, run, passed, failed))
        lines.append("| All | %d | %d | %d |" % tuple(total))
    lines += ["", "## Soak", "",
              "The real station with a test driver inside it (`tests/testdrivers/soak.cpp`) and the "
              "host monitor's two host windows beside it (`tests/soak/soak.sh`): paced images, "
              "then copy-and-paste pairs, then a burst posted back to back. Every image is "
              "checked by CRC-32 at both hosts against what the driver delivered.", ""]
    lines += soak_section(reports)
    lines += ["", "## Fuzzing", ""]
    lines += fuzz_section(reports)
    lines.append("")
    os.makedirs(os.path.dirname(output), exist_ok=True)
    with open(output, "w") as f:
        f.write("\n".join(lines))
    print("wrote", output)


if __name__ == "__main__":
    main()
