#!/usr/bin/env python3
"""guard-table.py TREE DEFAULT_TIMEOUT: each case of the tree's last suite
run beside the guard it runs under (its CTest TIMEOUT, else the run's
default), smallest margin first. The times come from the JUnit file that
run-tests.sh has ctest write (TREE/reports/suite-junit.xml); the guards from
ctest itself. A guard is only there against a hang: a healthy case should
stay far under it on the slowest machine the suite runs on.

A wait inside a case that reports its time ("time: WHAT: N s of the G s
guard" in the case's output) follows in a table of its own; the suite's
waits report when they took a tenth of their guard or more."""
import json
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

MARGIN = 5.0
WAIT_LINE = re.compile(r"^time: (.+): (\d+) s of the (\d+) s guard\r?$", re.M)


def guards(tree, default):
    shown = subprocess.run(["ctest", "--show-only=json-v1"], cwd=tree, capture_output=True, text=True, check=True)
    result = {}
    for test in json.loads(shown.stdout).get("tests", []):
        timeout = default
        for prop in test.get("properties", []):
            if prop.get("name") == "TIMEOUT":
                timeout = float(prop["value"])
        result[test["name"]] = timeout
    return result


def cases(tree):
    return ET.parse(f"{tree}/reports/suite-junit.xml").getroot().iter("testcase")


def times(tree):
    for case in cases(tree):
        status = case.get("status", "run")
        if case.find("failure") is not None:
            status = "failed"
        elif case.find("skipped") is not None:
            status = "not run"
        else:
            status = "passed" if status == "run" else status
        yield case.get("name"), float(case.get("time", "0")), status


def waits(tree):
    """(margin, case, what, seconds, guard) of each wait a case reported."""
    for case in cases(tree):
        output = "".join(out.text or "" for out in case.iter("system-out"))
        for match in WAIT_LINE.finditer(output):
            seconds, guard = int(match.group(2)), int(match.group(3))
            yield (guard / seconds if seconds > 0 else float("inf"), case.get("name"), match.group(1), seconds, guard)


def print_waits(tree):
    rows = sorted(waits(tree))
    if rows:
        print(f"{'wait inside a case':72} {'case':30} {'time s':>7} {'guard s':>8} {'margin':>8}")
    for margin, name, what, seconds, guard in rows:
        flag = "  < 5x" if margin < MARGIN else ""
        print(f"{what[:72]:72} {name[:30]:30} {seconds:7d} {guard:8d} {margin:7.1f}x{flag}")
    low = sum(1 for row in rows if row[0] < MARGIN)
    print(f"waits: {len(rows)} reported, {low} of them under {MARGIN:.0f}x their time")


def main():
    tree, default = sys.argv[1], float(sys.argv[2])
    limit = guards(tree, default)
    rows = []
    for name, seconds, status in times(tree):
        guard = limit.get(name, default)
        rows.append((guard / seconds if seconds > 0 else float("inf"), name, seconds, guard, status))
    rows.sort()
    print(f"{'case':72} {'result':8} {'time s':>9} {'guard s':>8} {'margin':>8}")
    for margin, name, seconds, guard, status in rows:
        flag = "  < 5x" if margin < MARGIN else ""
        print(f"{name[:72]:72} {status:8} {seconds:9.2f} {guard:8.0f} {margin:7.1f}x{flag}")
    low = sum(1 for row in rows if row[0] < MARGIN)
    worst = max((row[2] for row in rows), default=0.0)
    print(f"guards: {len(rows)} cases, {low} under {MARGIN:.0f}x their time, the longest case {worst:.1f} s")
    print_waits(tree)


if __name__ == "__main__":
    main()
